// Helpers shared by the test suites: a real temporary folder, and whole-file reads and
// writes for setting up and checking installations byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::testing {

// A fresh folder under the system's temporary directory, removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's native path, without a trailing separator.
  const std::string& path() const { return path_; }
  // path() + "/" + relative (relative may use '/' between components).
  std::string Native(const std::string& relative) const;
  // The folder as the core writes it: the native path followed by '\', so that
  // Core() + "Partbase.txt" names a file in it.
  std::string Core() const { return path_ + "\\"; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& native_path);
void WriteFile(const std::string& native_path, const std::string& bytes);
bool Exists(const std::string& native_path);
std::vector<std::string> ListNames(const std::string& native_dir);  // sorted, no "." ".."

}  // namespace lumora::testing
