// lumora-pack diff: the update that takes one installed release of the database to the
// next. OLD and NEW are the two releases as installed (folders that hold Partbase.txt and
// PalData.txt); the update holds what the updater will add to OLD to make NEW:
//   - the files and folders of NEW that OLD lacks, names compared as the updater compares
//     them (letter case aside, over the code page), each folder before what lies in it;
//   - partbase.txt: NEW's records whose duplicate key OLD's part base does not hold, each
//     with the comment lines after it (the merge keeps or drops a comment line with the
//     record before it);
//   - PalData.txt: the lines NEW's data file adds after OLD's.
// What no update can deliver is an error: a file that OLD and NEW hold with other bytes (an
// update never replaces a file), a file or folder of OLD that NEW lacks, a record of OLD
// that NEW lacks, an OLD data file that is not the start of NEW's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/check.h"
#include "pack/host.h"

namespace lumora::pack {

// A folder for the members the diff writes (partbase.txt, PalData.txt), in the temporary
// folder; it goes, with what it holds, when the object does.
class StagingFolder {
 public:
  StagingFolder() = default;
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  // Writes a file of that name and content into the folder (made at the first call) and
  // returns its path. Throws std::runtime_error when it cannot.
  std::filesystem::path Write(const std::string& name, const std::string& content);

 private:
  std::filesystem::path folder_;
};

struct DiffOptions {
  std::string old_dir, new_dir;
  bool allow_changed = false;  // a changed file is a warning, and stays out of the update
};

struct Diff {
  std::vector<Finding> findings;
  std::vector<PackedEntry> entries;  // the update's entries, in archive order
  int64_t folders = 0, files = 0;    // new folders and files
  int64_t records = 0;               // records of its part base
  int64_t data_lines = 0;            // lines of its data file
};

// Compares the two releases. Throws std::runtime_error when a folder or file cannot be
// read, or a release lacks Partbase.txt or PalData.txt.
Diff MakeDiff(const NameCodec& names, const DiffOptions& options, StagingFolder& staging);

}  // namespace lumora::pack
