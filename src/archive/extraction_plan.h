// What unpacking an archive will meet in the installation, worked out before anything is
// written: for every entry, the folders it creates, whether its file is new or goes to the
// scratch file, and the failure extraction would stop with. The check before the update
// runs every entry through a plan, so that an update that would fail half-way fails while
// the installation is as it was.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/filesystem.h"

namespace lumora {

class ExtractionPlan {
 public:
  // extract_dir: the prefix of every entry name (ending in '\').
  ExtractionPlan(FileSystem& files, std::string extract_dir);

  // Has the plan take a name (relative to the extraction folder) as standing, or as
  // missing, when extraction starts: the update moves its database files aside first.
  void Assume(const std::string& name, EntryKind kind);

  // A directory entry: notes the folders that extraction creates for it. A name longer
  // than the system takes throws IoError ("Invalid filename"); a folder that cannot be
  // created for another reason (a file in the way) is no failure of its own, but a file
  // inside it fails.
  void AddDirectory(const std::string& name);
  // A file entry: throws the IoError that extraction would stop with (a name the system
  // cannot create or whose folder is missing: "Invalid filename"; a folder, a pipe or a
  // device where the file, its working name or the scratch file goes: "File access
  // denied"). New files are numbered in the order they are added, as extraction numbers
  // their working names. Returns true when the file exists already, so that its member goes to the
  // scratch file.
  bool AddFile(const std::string& name);

  // What stands under a name once every entry added so far has been unpacked.
  EntryKind KindAfter(const std::string& name);

  // Files and folders that unpacking the entries added so far creates.
  int64_t entries_made() const { return entries_made_; }
  // Of those, the files (the rest are folders).
  int64_t files_made() const { return static_cast<int64_t>(files_made_.size()); }

 private:
  EntryKind Planned(const std::string& folded);  // kNone when the plan knows nothing
  // True when folder (folded, ending in '\') lies in a folder that the archive
  // creates: nothing of the installation stands there.
  bool InFreshFolder(const std::string& folder);
  // The name in the file system's letter case, with '\' for '/'.
  std::string Folded(const std::string& name);
  // What stands under a name; with create, as a create that never follows a link meets it.
  EntryKind KindOf(const std::string& name, bool create = false);
  bool IsFolder(const std::string& folder);  // relative, ending in '\'; "" is the top
  // Throws "File access denied" unless nothing or a file stands under the name (with
  // create: a file that is no link, since the scratch file is emptied through no link).
  void NeedWritable(const std::string& name, bool create);

  FileSystem& files_;
  std::string dir_;
  // Folders the archive creates, folded, each ending in '\': only the deepest of each
  // chain is kept, every folder above it is implied.
  std::set<std::string> folders_;
  std::set<std::string> files_made_;  // folded names of the files it creates
  // The first missing folder of each chain the archive creates, folded, ending in '\'.
  std::set<std::string> fresh_;
  // What was found out about folders of file entries, so that each is asked once: whether
  // it is fresh.
  std::map<std::string, bool> folder_fresh_;
  // Folders of file entries found standing (or planned): each is asked of the file system
  // once, not once per file in it.
  std::set<std::string> known_folders_;
  int64_t new_files_ = 0;  // new files so far: numbers their working names
  std::map<std::string, EntryKind> assumed_;
  int64_t entries_made_ = 0;
};

}  // namespace lumora
