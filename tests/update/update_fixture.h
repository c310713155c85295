// Shared set-up of the update suites: the native file system and registry over a real
// temporary folder, an application over the null front-end, and helpers that lay out and
// photograph an installation.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/application.h"
#include "testing/test_util.h"
#include "ui/null/null_backend.h"

namespace lumora::testing {

// Lines joined with CR LF after each, as the part base files hold them.
inline std::string CrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

// Every file below a folder, by relative path with '/', with its bytes; directories as
// entries ending in '/'.
std::map<std::string, std::string> Snapshot(const std::string& native_dir);
// Compares two snapshots byte for byte; on a difference, names what differs.
::testing::AssertionResult SameTree(const std::map<std::string, std::string>& expected,
                                    const std::map<std::string, std::string>& actual);

// The native file system, seen through: counts the reads and writes that reach the system,
// and can report a chosen free space (the one condition a test cannot make real here).
class WatchedFileSystem : public FileSystem {
 public:
  explicit WatchedFileSystem(FileSystem& inner) : inner_(inner) {}

  int reads = 0;
  int writes = 0;
  int64_t free_space = -2;  // -2: ask the real disk

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  bool FileExists(const std::string& p) override { return inner_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return inner_.DirectoryExists(p); }
  bool CreateDirectory(const std::string& p) override { return inner_.CreateDirectory(p); }
  bool RemoveDirectory(const std::string& p) override { return inner_.RemoveDirectory(p); }
  bool DeleteFile(const std::string& p) override { return inner_.DeleteFile(p); }
  bool Rename(const std::string& f, const std::string& t) override { return inner_.Rename(f, t); }
  bool ListDirectory(const std::string& p, std::vector<DirEntry>* e) override {
    return inner_.ListDirectory(p, e);
  }
  int64_t FreeSpace(const std::string& p) override {
    return free_space == -2 ? inner_.FreeSpace(p) : free_space;
  }
  std::string ModuleFileName() override { return inner_.ModuleFileName(); }

 private:
  FileSystem& inner_;
};

class UpdateFixture : public ::testing::Test {
 protected:
  UpdateFixture();
  ~UpdateFixture() override;

  // The installation folder as the core writes it (ending in '\') and natively.
  std::string Dir() const { return install_.Core(); }
  std::string At(const std::string& name) const { return install_.Native(name); }

  // Writes the registry file with the section Lumora holding these value lines, e.g.
  // "\"Version\"=\"1.0\"".
  void WriteRegistry(const std::vector<std::string>& lumora_values);
  // Version "1.0" and HDPath naming the installation folder (native path, no trailing '\').
  void RegisterInstallation();
  std::string RegistryText() const;

  TempDir home_;
  TempDir install_;
  std::string saved_xdg_;
  bool had_xdg_ = false;
  Platform platform_;
  NullBackend backend_;
  std::unique_ptr<Application> app_;
};

}  // namespace lumora::testing

namespace lumora::testing {

// Another process holding a file open, as a running Lumora holds its data: the file is
// open until the object goes away.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& native_path);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
  int pid_ = -1;
};

}  // namespace lumora::testing
