// The file services the core asks of the system. Paths are byte strings in the system's
// 8-bit code page with '\' between components, exactly as the archive and the registry hold
// them; an implementation turns them into its own paths. Names match without regard to
// letter case, as the Windows file system does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace lumora {

// Attribute bits of a directory entry, with the Windows values.
namespace attr {
constexpr uint32_t kHidden = 2;
constexpr uint32_t kSystem = 4;
constexpr uint32_t kVolumeLabel = 8;
constexpr uint32_t kDirectory = 16;
// A junction or symbolic link (Windows): removing it removes the link, not its target.
constexpr uint32_t kReparsePoint = 0x400;
}  // namespace attr

struct DirEntry {
  std::string name;
  uint32_t attributes = 0;
};

// Outcome of one read or write: how many bytes moved, and the Windows-style error code of
// the failure that stopped it short (0 when there was none: a short read without an error
// is the end of the file).
struct IoResult {
  size_t count = 0;
  int error = 0;
};

// An open file. Closed by its destructor.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at the current position.
  virtual IoResult Read(void* data, size_t n) = 0;
  // Writes n bytes at the current position; a short count carries the reason (a full disk
  // gives errc::kDiskFull or errc::kHandleDiskFull).
  virtual IoResult Write(const void* data, size_t n) = 0;
  // Moves to an absolute offset; returns the new position, or -1 on failure.
  virtual int64_t Seek(int64_t offset) = 0;
  virtual int64_t Position() const = 0;
  // Size of the file in bytes, or -1 when it cannot be told.
  virtual int64_t Size() = 0;
  // Cuts the file at size bytes. Returns false on failure.
  virtual bool Truncate(int64_t size) = 0;
  // Hands what was written to the disk before the file is closed, where the system needs
  // that per file (Windows); elsewhere FileSystem::Sync does it for all files at once.
  // Returns false on failure.
  virtual bool Flush() { return true; }
};

// What stands under a name.
enum class EntryKind {
  kNone,       // nothing
  kFile,       // a regular file (also through a link)
  kDirectory,  // a directory (also through a link)
  kOther,      // anything else: a pipe, a socket, a device, a dangling link
};

enum class OpenMode {
  kRead,           // existing file, reading; others may read but not write it
  kWriteExisting,  // existing file, writing from its start, no sharing
  kReadWrite,      // existing file, reading and writing (text files opened for appending)
  kCreate,         // create, or truncate an existing file, for writing
  kCreateNew,      // create a new file for writing; fails when anything has the name
};

// Held by an update or a repair for its whole run: no second one works in the same
// installation meanwhile. Released by its destructor (and by the system when the process
// ends, however it ends).
class FolderLock {
 public:
  virtual ~FolderLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a file. Throws IoError with the Windows-style code when it cannot (2 no such
  // file, 3 a directory of the path is missing, 5 access denied, a directory or anything
  // else that is not a regular file, 32 held open by another process, ...). Only regular
  // files are ever opened: a pipe or a device under the name is refused, never waited on.
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;

  // True when path names an existing file; false for a directory or nothing.
  virtual bool FileExists(const std::string& path) = 0;
  // True when path names an existing directory.
  virtual bool DirectoryExists(const std::string& path) = 0;
  // What stands under path.
  virtual EntryKind Kind(const std::string& path) = 0;
  // What a create that empties or makes a file (OpenMode::kCreate) meets under path: as
  // Kind, but a symbolic link, which such a create never follows, is kOther.
  virtual EntryKind KindForCreate(const std::string& path) { return Kind(path); }
  // A name in the one letter case that the system compares names in: two names fold alike
  // exactly when the system takes them for the same name. '\' and '/' stay as they are.
  virtual std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
  }
  // True when the system can create a file (or, with directory, a directory) under this
  // path: its length and the length of each of its names are within the system's limits.
  virtual bool PathFits(const std::string& path, bool directory) = 0;
  // Creates one directory; false when it exists already or its parent is missing.
  virtual bool CreateDirectory(const std::string& path) = 0;
  // Removes an empty directory; false when it is not empty or does not exist.
  virtual bool RemoveDirectory(const std::string& path) = 0;
  // Deletes a file; false when it is missing, a directory, or cannot be deleted.
  virtual bool DeleteFile(const std::string& path) = 0;
  // Renames a file. Never replaces: false when the source is missing, when the target
  // exists in any letter case, or when another process holds the source open.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // Gives a file that this process has just written and closed its name: like Rename,
  // but no other process can be holding it, so that is not asked.
  virtual bool RenameWritten(const std::string& from, const std::string& to) {
    return Rename(from, to);
  }
  // Creates a new file for writing, as Open with OpenMode::kCreateNew, that the caller
  // gives its own name with RenameWritten once it is written and on the disk (or deletes).
  // Until then the system may keep it without any name on the disk, known under path to
  // this object alone (FileExists, Kind, Open and DeleteFile find it there), so that
  // nothing of it stands when the process or the power goes first.
  virtual std::unique_ptr<File> CreatePending(const std::string& path) {
    return Open(path, OpenMode::kCreateNew);
  }
  // Lists the entries of a directory, "." and ".." included, in the order the file
  // system delivers them. False when the directory cannot be searched.
  virtual bool ListDirectory(const std::string& path, std::vector<DirEntry>* entries) = 0;
  // Bytes free for this user on the disk that holds path; -1 when unknown.
  virtual int64_t FreeSpace(const std::string& path) = 0;
  // Files and folders that can still be made on the disk that holds path (its free
  // inodes); -1 when the system sets no such limit or cannot tell.
  virtual int64_t FreeFileEntries(const std::string& /*path*/) { return -1; }
  // While held (calls nest), the system may keep what it read of folders to answer later
  // lookups, and keeps it current with this process's own changes: for long runs of work
  // in folders that nothing else changes meanwhile, such as an extraction.
  virtual void HoldFolderIndexes(bool /*on*/) {}
  // Puts everything written so far on the disk that holds path (files written through a
  // File that was flushed, where the system needs that). False when the system reports
  // that written data was lost.
  virtual bool Sync(const std::string& path) = 0;
  // Sync(path), begun now: the call returned gives its outcome, and waits for it first. A
  // system that can sync while the caller goes on writing does; here it is done at once.
  virtual std::function<bool()> BeginSync(const std::string& path) {
    const bool ok = Sync(path);
    return [ok] { return ok; };
  }
  // Takes the lock of a folder for this run; null when another run (any process, this one
  // included) holds it. A system without such locks gives one that holds nothing.
  virtual std::unique_ptr<FolderLock> LockFolder(const std::string& /*path*/) {
    return std::make_unique<FolderLock>();
  }
  // Full path of the running executable, in the form Open accepts.
  virtual std::string ModuleFileName() = 0;
  // How many files made by CreatePending may wait at once, written and closed, for their
  // RenameWritten: a system that holds each open meanwhile has only so many handles.
  virtual int MaxPendingFiles() { return std::numeric_limits<int>::max(); }
};

// Has the file system keep its folder indexes while it stands (an extraction, its check, or
// a whole update that runs both).
class HeldFolderIndexes {
 public:
  explicit HeldFolderIndexes(FileSystem& files) : files_(files) { files_.HoldFolderIndexes(true); }
  ~HeldFolderIndexes() { files_.HoldFolderIndexes(false); }
  HeldFolderIndexes(const HeldFolderIndexes&) = delete;
  HeldFolderIndexes& operator=(const HeldFolderIndexes&) = delete;

 private:
  FileSystem& files_;
};

}  // namespace lumora
