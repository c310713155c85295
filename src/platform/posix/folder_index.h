// The per-folder name indexes that answer case-insensitive lookups while the core holds
// them (an extraction or its check), and the small native path helpers they share with the
// file layer.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
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

// The native names of one folder by their folded form: an open-addressing table whose
// records (the folded form, then its native names in name order joined by '/', which no
// name holds) lie in one buffer of text. Reading a folder of 20,000 names then makes a
// handful of allocations instead of two or three per name, and dropping it a few frees.
class FoldedNames {
 public:
  // Adds native under folded (once), or takes it away.
  void Insert(std::string_view folded, std::string_view native);
  void Erase(std::string_view folded, std::string_view native);
  // The native names of the folded form, in name order; none when there are none.
  std::vector<std::string> Find(std::string_view folded) const;
  size_t size() const { return live_; }  // folded forms

 private:
  struct Slot {
    uint32_t hash = 0;
    uint32_t at = 0;      // the record's offset in text_
    uint32_t length = 0;  // the record's length
    uint16_t folded = 0;  // the folded form's length (a name has 255 bytes at most)
    uint8_t state = 0;    // kFree, kUsed or kGone (a record erased: probes go on past it)
  };
  static constexpr uint8_t kFree = 0, kUsed = 1, kGone = 2;
  // The slot of folded, or the slot where it would go (the first gone one on the way, else
  // the free one that ended the probe). Only with a table.
  size_t Probe(std::string_view folded, uint32_t hash, bool* found) const;
  void Store(Slot& slot, uint32_t hash, std::string_view folded, std::string_view natives);
  std::vector<std::string> Natives(const Slot& slot) const;  // the slot's, in name order
  void Grow();  // rebuilds the table at twice the size when needed, and the text with it

  std::vector<Slot> slots_;
  std::string text_;
  size_t live_ = 0;       // used slots
  size_t gone_ = 0;       // gone slots
  size_t live_text_ = 0;  // bytes of text_ that used slots hold
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
  // is resolved once for all the files in it. Remembered only when every folder on the
  // native path is watched (else it is resolved anew at each lookup), and forgotten when
  // a folder is removed or renamed, by this process or, on that path, by any other.
  bool ResolvedFolder(const std::string& folder, std::string* native);
  void RememberFolder(const std::string& folder, const std::string& native);
  void ForgetFolders();

  // Every entry of the native folder dir whose name equals name (in the code page)
  // without regard to case, as native names in name order. An entry the code page cannot
  // name matches nothing.
  std::vector<std::string> Matches(const std::string& dir, const std::string& name);
  // ResolvedFolder and then Matches in the native folder, with one look at the queued
  // changes for both: false (and nothing looked up) when the folder is not remembered.
  bool MatchesInFolder(const std::string& folder, const std::string& name, std::string* native,
                       std::vector<std::string>* matches);

  // New files this process made (core path -> native path) while held, so that naming one
  // needs no lookup of the name it was written under: Take returns and forgets one. Like
  // folders, only those whose folder's path is watched all the way up.
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
    FoldedNames names;
  };

  static std::string Key(const std::string& dir) { return dir.empty() ? "." : dir; }
  static void Apply(Folder& folder, const std::string& native, bool stands);
  static std::vector<std::string> Find(const Folder& folder, const std::string& name);
  static std::vector<std::string> Scan(const std::string& dir, const std::string& name);
  // Watches every folder on the absolute path dir (with its trailing '/'), from the root
  // down to dir itself; false when one is a symbolic link or cannot be watched.
  bool Anchor(const std::string& dir);
  // Applies every change the watches have queued.
  void Drain();
  // Matches, once the queue is drained.
  std::vector<std::string> MatchesDrained(const std::string& dir, const std::string& name);
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
