// A file system that loses its power: it passes every call to the real one and keeps
// count of the changes (a file opened for writing, a write, a cut, a rename, a deletion, a
// folder made or removed, a sync). At the change chosen, the power goes: that change and
// every later one is refused (the first with PowerCut thrown), and DropUnsynced then
// leaves on the disk what a machine finds after a power loss on a file system that keeps
// its metadata changes in order: every name change made so far, and of each file's bytes
// only what the last sync covered. A new file keeps none of its unsynced data; a file
// appended to keeps the bytes it had at the last sync.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/filesystem.h"

namespace lumora::testing {

// Thrown at the change where the power goes. Not an std::exception: nothing in the
// updater catches it, as nothing runs on after a power loss.
struct PowerCut {};

class PowerCutFileSystem : public FileSystem {
 public:
  // cut_at: the number of the change (from 1) where the power goes; 0: never. With
  // fail_only, that change fails instead (as a disk error refuses it) and the power stays:
  // every later change goes through.
  PowerCutFileSystem(FileSystem& inner, int cut_at, bool fail_only = false)
      : inner_(inner), cut_at_(cut_at), fail_only_(fail_only) {}

  int changes() const { return changes_; }
  bool cut() const { return cut_; }
  bool failed() const { return failed_; }
  // After the cut: drops every byte that no sync covered.
  void DropUnsynced();

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  // A new file that gets its name later (unnamed until then on Linux): a change, as a
  // create is.
  std::unique_ptr<File> CreatePending(const std::string& path) override;
  int MaxPendingFiles() override { return inner_.MaxPendingFiles(); }
  bool FileExists(const std::string& p) override { return inner_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return inner_.DirectoryExists(p); }
  EntryKind Kind(const std::string& p) override { return inner_.Kind(p); }
  bool PathFits(const std::string& p, bool d) override { return inner_.PathFits(p, d); }
  void HoldFolderIndexes(bool on) override { inner_.HoldFolderIndexes(on); }
  bool Sync(const std::string& p) override;
  bool CreateDirectory(const std::string& p) override {
    return Change() && inner_.CreateDirectory(p);
  }
  bool RemoveDirectory(const std::string& p) override {
    return Change() && inner_.RemoveDirectory(p);
  }
  bool DeleteFile(const std::string& p) override;
  bool Rename(const std::string& f, const std::string& t) override;
  bool RenameWritten(const std::string& f, const std::string& t) override;
  bool ListDirectory(const std::string& p, std::vector<DirEntry>* e) override {
    return inner_.ListDirectory(p, e);
  }
  int64_t FreeSpace(const std::string& p) override { return inner_.FreeSpace(p); }
  std::string ModuleFileName() override { return inner_.ModuleFileName(); }

  // What is known of a file written through this file system: its size, and how much of
  // it the last sync covered.
  struct Written {
    std::string path;  // as last named
    int64_t size = 0;
    int64_t synced = 0;
  };
  // Counts one change; false (or PowerCut thrown, at the cut itself) once the power is gone.
  bool Change();

 private:
  bool Moved(const std::string& from, const std::string& to, bool done);

  FileSystem& inner_;
  int cut_at_;
  bool fail_only_;
  int changes_ = 0;
  bool cut_ = false;
  bool failed_ = false;
  // By path, upper-cased with '\' between components: a file keeps its record through
  // renames, as it keeps its data.
  std::map<std::string, std::shared_ptr<Written>> written_;
};

}  // namespace lumora::testing
