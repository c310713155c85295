// The per-folder name indexes that answer case-insensitive lookups while the core holds
// them (an extraction or its check), and the small native path helpers they share with the
// file layer.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumora {

// A directory stream that closes itself.
class DirHandle {
 public:
  explicit DirHandle(const std::string& path) : dir_(opendir(path.c_str())) {}
  ~DirHandle() {
    if (dir_) closedir(dir_);
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// The folder part of a native path, with its trailing '/' ("" for a bare name).
std::string NativeParent(const std::string& native);
std::string NativeBaseName(const std::string& native);

// The names of folders, by their folded form in the code page, kept while the core holds
// them (an extraction or its check): a lookup that misses then costs a hash probe and one
// stat of the folder instead of a scan of it, so unpacking thousands of files into one
// folder stays linear. An index is used only while its folder's modification time is the
// one it was read or last changed at, and this process's own creates, deletes and renames
// are applied to it as they happen.
class FolderIndexes {
 public:
  void Hold(bool on);
  bool held();

  // Folders as the core writes them, with their native paths, while held: a file's folder
  // is resolved once for all the files in it. Forgotten when a folder is removed or
  // renamed.
  bool ResolvedFolder(const std::string& folder, std::string* native);
  void RememberFolder(const std::string& folder, const std::string& native);
  void ForgetFolders();

  // Every entry of the native folder dir whose name equals name (in the code page)
  // without regard to case, as native names in name order. An entry the code page cannot
  // name matches nothing.
  std::vector<std::string> Matches(const std::string& dir, const std::string& name);

  // After this process created (stands) or removed native_path: its folder's index
  // learns of it.
  void Changed(const std::string& native_path, bool stands);

 private:
  static constexpr size_t kMaxFolders = 4096;
  static constexpr std::chrono::milliseconds kTrustFor{2};
  struct Folder {
    struct stat stat = {};
    bool changed_here = false;  // this process changed the folder since stat was taken
    struct timespec changed_at = {};
    std::chrono::steady_clock::time_point checked_at;
    std::unordered_map<std::string, std::vector<std::string>> names;  // sorted natives
  };

  static std::string Key(const std::string& dir) { return dir.empty() ? "." : dir; }
  static bool Current(const Folder& folder, const struct stat& st);
  static void Insert(Folder& folder, const char* native);
  static std::vector<std::string> Scan(const std::string& dir, const std::string& name);

  std::mutex mutex_;
  int held_ = 0;
  std::unordered_map<std::string, Folder> folders_;
  std::unordered_map<std::string, std::string> resolved_;
};

// The process's one set of indexes.
FolderIndexes& Indexes();

}  // namespace lumora
