// The self-extraction driver: unpacks the archive appended to the updater's own file
// into extractDir, entry by entry, showing the file name, the bar and the percentage.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/format.h"
#include "codec/byte_io.h"
#include "codec/decoder.h"
#include "platform/filesystem.h"

namespace lumora {

class Application;
class ArchiveStream;
class ExtractionPlan;

// What Verify found: the archive is sound, with these totals.
struct ArchiveSummary {
  int files = 0;
  int directories = 0;
  int64_t decoded_bytes = 0;  // sum of the members' decoded sizes
  // What unpacking takes of the disk at most: each decoded size rounded up to whole
  // clusters, and a cluster for each directory entry.
  int64_t disk_bytes = 0;
  bool has_trailer = false;  // the integrity trailer was present (and matched)
  // The archive from its magic to its ';': its bytes and CRC-32, which name this update.
  int64_t archive_bytes = 0;
  uint32_t archive_crc = 0;
  int64_t name_bytes = 0;  // the entries' names, all together
  // Each entry's name and the name of every folder above it (a run records a folder it
  // makes under its whole name): how many, and their bytes all together.
  int64_t name_chain_lines = 0;
  int64_t name_chain_bytes = 0;
};

// The unit a disk allocates files in, as the free-space check counts it.
constexpr int64_t kClusterBytes = 4096;

// The percentage caption of the progress window: Position / Max, rounded half to even,
// followed by '%'. Max alone is the divisor, so the image before the archive counts as done.
std::string ProgressPercentText(int position, int max);

// Told what an extraction is about to create, before it stands under its own name, so that
// an interrupted run can be undone. What it records must be written (and flushed, where
// the system needs that per file) when it returns; the extraction's next Sync puts it on
// the disk before any of the names it was told stands.
struct CreatedEntry {
  std::string name;   // relative to extractDir: a folder ends in '\', a file does not
  int64_t size = -1;  // a file's bytes; -1 for a folder
  uint32_t crc = 0;   // a file's CRC-32
};
class CreationRecord {
 public:
  virtual ~CreationRecord() = default;
  virtual void WillCreate(const std::vector<CreatedEntry>& entries) = 0;
};

class SelfExtractor : private ProgressListener {
 public:
  // app may be null: nothing is shown and no message is pumped (the packer's use).
  SelfExtractor(FileSystem& files, Application* app);
  ~SelfExtractor() override;

  // Prefix of every entry name, by plain concatenation; set by the update sequence to the
  // installation directory (ending in '\'). Empty: names resolve against the current
  // directory.
  std::string extractDir;
  // How many times the program file's size was halved to fit the bar's 16-bit range.
  int32_t progressShift = 0;
  // Told of every folder and file before it is created under its name (may be null).
  CreationRecord* creation_record = nullptr;
  // New files given their names after each sync.
  int naming_batch = format::kNamingBatch;

  // The file that carries the archive and the absolute offset the reader starts at. By
  // default the running executable, with the offset its marker holds.
  void SetArchive(const std::string& path, int64_t start_offset);
  const std::string& ArchivePath();
  int64_t StartOffset();

  // Extracts every entry in stored order. Errors propagate to the caller.
  void Selfextract();
  // One entry; the stream stands on the first byte of its name.
  void ExtractFile(ArchiveStream& archive);
  // Creates a directory and every missing parent; never reports a failure of its own (a
  // sync of the creation record that fails stops the run as a full disk does).
  void ExtractEmptyDirectory(const std::string& path);
  // Selfextract with its own captions before and after, then closes the main window.
  void Selfextract1Click();

  // Reads the whole archive without writing anything: walks its entries to its ';' and
  // checks the integrity trailer that may follow, then decodes every member to nowhere
  // and checks every entry name. Throws RuntimeError with the failure's text when the
  // archive is truncated or damaged. With an extractDir, every entry also goes through an
  // extraction plan (plan, or one of its own), which throws the IoError that extraction
  // into that folder would stop with. tap, when given, names for each file entry a sink
  // that its decoded bytes go to as well (or null).
  ArchiveSummary Verify(ExtractionPlan* plan = nullptr,
                        const std::function<ByteSink*(const std::string& name)>& tap = {});

  // For callers without a window (the packer): told at each entry and at each progress
  // report with the archive position and the file's size.
  std::function<void(const std::string& name, bool directory)> on_entry;
  std::function<void(int64_t position, int64_t size)> on_progress;
  // Told by Verify for every entry: its compressed size (blocks with their length bytes
  // and the terminator) and its decoded size.
  std::function<void(const std::string& name, bool directory, int64_t compressed, int64_t decoded)>
      on_verified;

 private:
  void OnProgress() override;  // the progress report
  void Pump();
  // Reads one entry's name up to its 0x00 and refuses names that would leave extractDir.
  std::string ReadEntryName(ArchiveStream& archive);
  // Reads from the start offset up to and including the first ','.
  void SkipToFirstEntry(ArchiveStream& archive);
  // After an entry: skips 0x00 padding; true when a ',' announces another entry. The
  // byte that ended the padding is kept in last_mark_.
  bool NextEntryFollows(ArchiveStream& archive);
  // Walks the entries' framing from the magic to the ';' and checks the integrity trailer
  // when one follows it; true when present.
  bool CheckFrame(ArchiveStream& archive);
  // When the framing is broken: true when a trailer stands at the end of the file and the
  // archive before it does not match its CRC.
  bool TrailerAtEndMismatches(ArchiveStream& archive, int64_t magic_at);
  // Gives every written file its name, after one sync that puts their data on the disk,
  // and what the creation record was told of them and of folders about to be made
  // (relative names ending in '\'): the batch being synced first, once its sync ends.
  void NameBatch(const std::vector<std::string>& folders = {});
  // A full batch: the one before gets its names, once its sync ends; this one is recorded
  // and its sync started, and the next batch is written meanwhile.
  void StartNaming();
  // The batch being synced gets its names once its sync ends (nothing when none is).
  void NameSynced();
  // Tells the creation record of the folders and of the batch being written.
  void Record(const std::vector<std::string>& folders);
  struct Pending;
  // Renames each file of batch to its own name and empties it; a file that cannot take its
  // name is deleted, and once the others have theirs the run stops.
  void Name(std::vector<Pending>& batch);
  // True when a file of that folded name waits for its name.
  bool Waiting(const std::string& folded) const;
  // A write or a sync the disk refused: the message, and the run stops.
  [[noreturn]] void DiskFailed();
  // After a member whose end code stands before its last block: that block must hold only
  // 0x00 bytes (the reader takes them for padding) and be the last.
  void SkipZeroTail(ArchiveStream& archive);

  FileSystem& files_;
  Application* app_;
  std::string archive_path_;
  int64_t start_offset_ = -1;
  ArchiveStream* current_ = nullptr;  // the archive stream while Selfextract runs
  bool verifying_ = false;
  // The scratch file may stand: left from an earlier run until the first file entry has
  // looked, or written by this one since.
  bool scratch_may_exist_ = true;
  std::vector<uint8_t> gathered_;  // a member's decoded bytes waiting for their write
  uint8_t last_mark_ = 0;
  int64_t frame_bytes_ = 0;  // what CheckFrame walked, and its CRC-32
  uint32_t frame_crc_ = 0;
  // Files written under working names and waiting for their names (working, own), and
  // their own names folded, so that a later entry of the same name is not taken for new.
  struct Pending {
    std::string written;
    std::string target;
    int64_t size;
    uint32_t crc;
  };
  std::vector<Pending> pending_;
  std::set<std::string> pending_names_;
  // The batch before, whose sync runs while pending_ is written, and that sync's outcome
  // (null when none runs).
  std::vector<Pending> syncing_;
  std::set<std::string> syncing_names_;
  std::function<bool()> synced_;
  int64_t new_files_ = 0;  // new files of this extraction so far: numbers the working names
  BlockReader in_;
  OutputBuffer out_;
  Decoder decoder_;
};

}  // namespace lumora
