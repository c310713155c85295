// Shared set-up of the update suites: the native file system and registry over a real
// temporary folder, an application over the null front-end, and helpers that lay out and
// photograph an installation. The same suites run on Linux (the registry is a text file
// in a folder of each test's own) and on Windows (the registry is the system's own, under
// HKEY_CURRENT_USER).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
  int syncs = 0;
  int64_t free_space = -2;    // -2: ask the real disk
  int64_t free_entries = -2;  // -2: ask the real disk

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  bool FileExists(const std::string& p) override { return inner_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return inner_.DirectoryExists(p); }
  EntryKind Kind(const std::string& p) override { return inner_.Kind(p); }
  EntryKind KindForCreate(const std::string& p) override { return inner_.KindForCreate(p); }
  std::string FoldCase(const std::string& name) override { return inner_.FoldCase(name); }
  bool PathFits(const std::string& p, bool d) override { return inner_.PathFits(p, d); }
  void HoldFolderIndexes(bool on) override { inner_.HoldFolderIndexes(on); }
  bool Sync(const std::string& p) override {
    ++syncs;
    return inner_.Sync(p);
  }
  bool CreateDirectory(const std::string& p) override { return inner_.CreateDirectory(p); }
  bool RemoveDirectory(const std::string& p) override { return inner_.RemoveDirectory(p); }
  bool DeleteFile(const std::string& p) override { return inner_.DeleteFile(p); }
  bool Rename(const std::string& f, const std::string& t) override { return inner_.Rename(f, t); }
  bool RenameWritten(const std::string& f, const std::string& t) override {
    return inner_.RenameWritten(f, t);
  }
  bool ListDirectory(const std::string& p, std::vector<DirEntry>* e) override {
    return inner_.ListDirectory(p, e);
  }
  int64_t FreeSpace(const std::string& p) override {
    return free_space == -2 ? inner_.FreeSpace(p) : free_space;
  }
  int64_t FreeFileEntries(const std::string& p) override {
    return free_entries == -2 ? inner_.FreeFileEntries(p) : free_entries;
  }
  std::string ModuleFileName() override { return inner_.ModuleFileName(); }

 private:
  FileSystem& inner_;
};

// One value of HKEY_CURRENT_USER\SOFTWARE\Quandrix\Lumora as a test stores it: a string
// (its bytes as stored, without escapes) or a DWORD, the type the update does not accept.
struct RegValue {
  std::string name;
  std::string text;
  bool is_dword = false;
  uint32_t dword = 0;
};
inline RegValue Sz(const std::string& name, const std::string& text) { return {name, text}; }
inline RegValue Dword(const std::string& name, uint32_t value) {
  return {name, std::string(), true, value};
}

// While a fixture exists, the registry key the update reads belongs to it: on Windows the
// key SOFTWARE\Quandrix is the real one of the user, so fixtures of test processes running
// at the same time wait for each other, the key starts out missing, and a key that was
// there before the test is put back afterwards.
class RegistryScope {
 public:
  RegistryScope();
  ~RegistryScope();
  RegistryScope(const RegistryScope&) = delete;
  RegistryScope& operator=(const RegistryScope&) = delete;

 private:
#ifdef _WIN32
  void* lock_ = nullptr;
#endif
};

class UpdateFixture : public ::testing::Test {
 protected:
  UpdateFixture();
  ~UpdateFixture() override;

  // The installation folder as the core writes it (ending in '\') and natively.
  std::string Dir() const { return install_.Core(); }
  std::string At(const std::string& name) const { return install_.Native(name); }

  // Replaces the keys SOFTWARE\Quandrix and SOFTWARE\Quandrix\Lumora with ones where
  // Lumora holds just these values.
  void WriteRegistry(const std::vector<RegValue>& lumora_values);
  // Version "1.0" and HDPath naming the installation folder (native path, no trailing '\').
  void RegisterInstallation();
  // Whether HKEY_CURRENT_USER has the key, spelled as the update spells it.
  bool KeyExists(const std::string& key) const;

  RegistryScope registry_scope_;
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

// A file held open as a running Lumora holds its data, until the object goes away. On
// Linux the holder is another process (the file services look for other processes' open
// files); on Windows it is a handle that shares reading only, and the system refuses a
// rename of the file while it is open, whichever process holds it.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& native_path);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int pid_ = -1;
#endif
};

}  // namespace lumora::testing
