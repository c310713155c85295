// The rollback journal of an update run: a small text file in the installation folder,
// "~LumoraUpdate.jnl", that says how to undo the run exactly, and what the run made so that
// nothing else is ever undone. It is on the disk before the first installed file is renamed,
// holds the sizes of the part base and the data file before anything is appended to them,
// names every folder and file the run creates (a file with its size and CRC-32) before each
// stands under its name, and says where each merge starts appending before it does, then
// what it appended. Deleting it is the successful run's last change: while it stands, the
// installation is in the middle of an update, and repair (repair.h) undoes that update.
//
// Its lines, each ending in LF, each the CRC-32 of the rest of the line in 8 upper-case hex
// digits, a space, and a record; names relative to the installation folder, with '\'
// between components, bytes below 0x20 and '%' written as %XX:
//   LumoraUpdate journal 2
//   size Partbase.txt <bytes>
//   size PalData.txt <bytes>
//   archive <bytes> <crc>                    the archive this run unpacks
//   folder <name>\                           a folder the run creates
//   file <size> <crc> <name>                 a file the run creates
//   append <base> <offset>                   a merge appends to the base file from offset
//   appended <base> <offset> <length> <crc>  what it appended, once complete
// A last line without its LF (or a tail of NUL bytes) was cut off by a power loss and is not
// read: what it would have named never got its name. Every other line must be whole and
// carry its checksum, and every name must be one the update can make: a journal that breaks
// any rule is damaged, and nothing is done after it.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "archive/self_extractor.h"
#include "platform/filesystem.h"
#include "update/part_base.h"

namespace lumora {

namespace journal {
inline constexpr const char kJournalName[] = "~LumoraUpdate.jnl";
}  // namespace journal

// A journal that is not what an update writes: altered, damaged, or another program's.
class JournalDamaged : public std::exception {
 public:
  explicit JournalDamaged(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

struct JournalFile {
  std::string name;
  int64_t size = 0;
  uint32_t crc = 0;
};

// A merge's append to a base file (Partbase.txt or PalData.txt).
struct JournalAppend {
  std::string base;
  int64_t offset = 0;   // where the appended bytes start
  int64_t length = -1;  // -1: not complete (the run stopped while appending)
  uint32_t crc = 0;
};

// What a journal holds.
struct JournalContents {
  int64_t part_base_size = -1;  // -1: not recorded
  int64_t pal_data_size = -1;
  std::vector<std::string> folders;  // in the order they were created, each ending in '\'
  std::vector<JournalFile> files;
  std::vector<JournalAppend> appends;
  int64_t archive_bytes = -1;  // -1: not recorded
  uint32_t archive_crc = 0;
};

// The most a journal takes for an archive: entries, and the lines and bytes of every name
// and of every folder above it (ArchiveSummary::name_chain_lines, name_chain_bytes).
int64_t JournalBytes(int64_t entries, int64_t chain_lines, int64_t chain_bytes);

// True for a name the journal may hold for a file (folder: ending in '\') that the run
// created: relative, below the installation, no "." or ".." component, no drive, no NUL or
// control byte, and none of the names the update keeps the installed files or itself under.
bool IsJournalName(const std::string& name, bool folder);

// The lines of records as a journal holds them, each with its checksum and line end.
std::string JournalText(const std::vector<std::string>& records);

// Parses a journal's bytes. Throws JournalDamaged, saying why, when any rule is broken.
JournalContents ParseJournal(const std::string& text);
// Reads the journal of the installation (install_dir ends in '\'). Throws IoError when it
// cannot be read, JournalDamaged when it is damaged.
JournalContents ReadJournal(FileSystem& files, const std::string& install_dir);

class Journal : public CreationRecord, public AppendRecord {
 public:
  Journal(FileSystem& files, std::string install_dir);
  ~Journal() override;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal with the two sizes and puts it on the disk. Throws IoError when it
  // cannot be created or written (it may then stand, empty or in part: nothing is renamed
  // yet, and repair removes it); false when the sync fails.
  bool Begin(int64_t part_base_size, int64_t pal_data_size, int64_t archive_bytes,
             uint32_t archive_crc);
  // Closes the journal's file, which stays: an undo of the run reads and removes it.
  void Close() { file_.reset(); }
  // Adds the names and flushes them; the caller's next sync puts them on the disk.
  void WillCreate(const std::vector<CreatedEntry>& entries) override;
  // Before a merge appends to base from offset: the line, put on the disk. False when the
  // sync fails.
  bool WillAppend(const char* base, int64_t offset) override;
  // After the merge: what it appended, flushed; the run's next sync puts it on the disk.
  void Appended(const char* base, int64_t offset, int64_t length, uint32_t crc) override;
  // Removes the journal of a run that stops before it changed anything.
  void Abandon();
  // The commit point: deletes the journal and syncs. The caller has synced everything
  // else. False when the journal cannot be deleted.
  bool Finish();

 private:
  void Append(const std::string& records);

  FileSystem& files_;
  std::string install_dir_;
  std::unique_ptr<File> file_;
};

}  // namespace lumora
