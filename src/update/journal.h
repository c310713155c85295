// The rollback journal of an update run: a small text file in the installation folder,
// "~LumoraUpdate.jnl", that says how to undo the run exactly. It is on the disk before the
// first installed file is renamed, holds the sizes of the part base and the data file
// before anything is appended to them, and names every folder and file the run creates
// before each stands under its name. Deleting it is the successful run's last change:
// while it stands, the installation is in the middle of an update, and
// `LumoraUpdate --repair` (repair.h) undoes that update.
//
// Its lines, each ending in LF; names relative to the installation folder, with '\'
// between components, bytes below 0x20 and '%' written as %XX:
//   LumoraUpdate journal 1
//   size Partbase.txt <bytes>
//   size PalData.txt <bytes>
//   folder <name>\      (a folder the run creates)
//   file <name>         (a file the run creates)
// A last line without its LF was cut off by a power loss and is not read: what it would
// have named was never given its name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/self_extractor.h"
#include "platform/filesystem.h"

namespace lumora {

namespace journal {
inline constexpr const char kJournalName[] = "~LumoraUpdate.jnl";
}  // namespace journal

// What a journal holds.
struct JournalContents {
  int64_t part_base_size = -1;  // -1: not recorded
  int64_t pal_data_size = -1;
  std::vector<std::string> folders;  // in the order they were created, each ending in '\'
  std::vector<std::string> files;
};

// The most a journal takes for an archive of `entries` entries whose names take
// name_bytes together (every name escaped as written in the archive).
int64_t JournalBytes(int64_t entries, int64_t name_bytes);

// Reads the journal of the installation (install_dir ends in '\'). Throws IoError when it
// cannot be read; a journal cut short gives what its whole lines hold.
JournalContents ReadJournal(FileSystem& files, const std::string& install_dir);

class Journal : public CreationRecord {
 public:
  Journal(FileSystem& files, std::string install_dir);
  ~Journal() override;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal with the two sizes and puts it on the disk. Throws IoError when it
  // cannot be created or written (it may then stand, empty or in part: nothing is renamed
  // yet, and --repair removes it); false when the sync fails.
  bool Begin(int64_t part_base_size, int64_t pal_data_size);
  // Adds the names and flushes them; the caller's next sync puts them on the disk.
  void WillCreate(const std::vector<std::string>& names) override;
  // Removes the journal of a run that stops before it changed anything.
  void Abandon();
  // The commit point: deletes the journal and syncs. The caller has synced everything
  // else. False when the journal cannot be deleted or the sync fails.
  bool Finish();

 private:
  void Append(const std::string& text);

  FileSystem& files_;
  std::string install_dir_;
  std::unique_ptr<File> file_;
};

}  // namespace lumora
