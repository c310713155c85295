// The per-folder name indexes that answer case-insensitive lookups while the core holds
// them (an extraction or its check), and the small native path helpers they share with the
// file layer.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

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
// them (an extraction or its check): a lookup that misses then costs a hash probe instead
// of a scan of the folder, so unpacking thousands of files into one folder stays linear.
//
// Each indexed folder is watched with inotify, which queues every create, delete and
// rename in it, by any process, before the call that made it returns. Every lookup first
// applies what is queued, so an index answers as a scan made at that moment would: a file
// that another process created, in the same clock tick or not, is never missed. A folder
// that cannot be watched (or a queue that overflowed) is scanned instead.
//
// The folders above an indexed one are watched too (its anchors), so that a move, removal
// or creation of any name on its path is queued as well: every index is then dropped, and
// a lookup needs no stat to know that its path still names the folder it read. A path
// that is relative, goes through a symbolic link or cannot be watched all the way up is
// checked with a stat at every lookup instead.
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

  // New files this process made (core path -> native path) while held, so that naming one
  // needs no lookup of the name it was written under: Take returns and forgets one.
  void Created(const std::string& path, const std::string& native);
  bool TakeCreated(const std::string& path, std::string* native);

  // After this process created (stands) or removed native_path: its folder's index
  // learns of it at once (the watch reports it too, at the next lookup).
  void Changed(const std::string& native_path, bool stands);

 private:
  static constexpr size_t kMaxFolders = 4096;
  static constexpr size_t kMaxCreated = 1 << 16;
  struct Folder {
    dev_t dev = 0;  // the folder watched: a path that names another folder now is read anew
    ino_t ino = 0;
    std::string anchored_as;  // the path whose every folder is watched, if any
    // Folded name -> the native names of that form, in name order, joined by '/' (which
    // no name holds): one string, short enough to need no allocation of its own mostly.
    std::unordered_map<std::string, std::string> names;
  };

  static std::string Key(const std::string& dir) { return dir.empty() ? "." : dir; }
  static void Apply(Folder& folder, const std::string& native, bool stands);
  static std::vector<std::string> Find(const Folder& folder, const std::string& name);
  static std::vector<std::string> Split(const std::string& natives);
  static std::vector<std::string> Scan(const std::string& dir, const std::string& name);
  // Watches every folder on the absolute path dir (with its trailing '/'), from the root
  // down to dir itself; false when one is a symbolic link or cannot be watched.
  bool Anchor(const std::string& dir);
  // Applies every change the watches have queued.
  void Drain();
  // Forgets every index and closes the watches.
  void DropAll();

  std::mutex mutex_;
  int held_ = 0;
  int watch_fd_ = -1;                              // the inotify instance, while indexes exist
  std::unordered_map<std::string, int> watch_of_;  // folder path -> watch
  std::unordered_map<int, Folder> folders_;        // watch -> index
  // The anchors: folder path (no trailing '/', the root "/") -> watch, and back.
  std::unordered_map<std::string, int> anchor_of_;
  std::unordered_map<int, std::vector<std::string>> anchor_paths_;
  std::unordered_map<std::string, std::string> resolved_;
  std::unordered_map<std::string, std::string> created_;
};

// The process's one set of indexes.
FolderIndexes& Indexes();

}  // namespace lumora
