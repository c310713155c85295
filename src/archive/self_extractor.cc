#include "archive/self_extractor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_stream.h"
#include "archive/crc32.h"
#include "archive/entry_name.h"
#include "archive/extraction_plan.h"
#include "archive/format.h"
#include "archive/offset_marker.h"
#include "platform/errors.h"
#include "shell/application.h"

namespace lumora {
namespace {

constexpr char kDiskFullMessage[] = "Disk write error or disk is full.";
constexpr char kDamagedArchive[] = "The update archive is damaged (checksum mismatch)";
constexpr char kMisplacedEnd[] = "The update archive is damaged (an entry ends in the wrong place)";

// Hands a member's decoded pieces to its file gathered, so that a file of up to
// kGathered bytes costs one write: the pieces wait, and go with the last 1..256 bytes.
// More than that, and what waits goes at once and the rest passes straight on.
class FileSink : public ByteSink {
 public:
  static constexpr size_t kGathered = 64 * 1024;
  // Where a write that fell short stopped: within the whole pieces (the disk is full) or
  // within the last bytes (a stream write error), as when each went in a write of its own.
  enum class Shortfall { kNone, kPieces, kRest };

  FileSink(File& file, std::vector<uint8_t>& gathered) : file_(file), gathered_(gathered) {
    gathered_.clear();
  }
  bool Write(const uint8_t* data, size_t n) override {
    Count(data, n);
    if (!passing_ && gathered_.size() + n <= kGathered) {
      gathered_.insert(gathered_.end(), data, data + n);
      return true;
    }
    if (!passing_) {
      passing_ = true;
      if (!Put(gathered_.data(), gathered_.size())) return false;
    }
    return Put(data, n);
  }
  // The member's last n bytes, with whatever waits.
  Shortfall Finish(const uint8_t* rest, size_t n) {
    Count(rest, n);
    if (passing_) return Put(rest, n) ? Shortfall::kNone : Shortfall::kRest;
    const size_t pieces = gathered_.size();
    gathered_.insert(gathered_.end(), rest, rest + n);
    if (gathered_.empty()) return Shortfall::kNone;
    const size_t put = file_.Write(gathered_.data(), gathered_.size()).count;
    if (put == gathered_.size()) return Shortfall::kNone;
    return put < pieces ? Shortfall::kPieces : Shortfall::kRest;
  }
  // The member's bytes so far and their CRC-32, which the journal records for the file.
  int64_t size() const { return size_; }
  uint32_t crc() const { return crc_.Value(); }

 private:
  bool Put(const uint8_t* data, size_t n) { return n == 0 || file_.Write(data, n).count == n; }
  void Count(const uint8_t* data, size_t n) {
    crc_.Update(data, n);
    size_ += static_cast<int64_t>(n);
  }

  File& file_;
  std::vector<uint8_t>& gathered_;
  bool passing_ = false;
  int64_t size_ = 0;
  Crc32 crc_;
};

class CountingSink : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    count += static_cast<int64_t>(n);
    return also == nullptr || also->Write(data, n);
  }
  int64_t count = 0;
  ByteSink* also = nullptr;
};

// Keeps the driver's pointer to the open archive stream exactly as long as it is open.
class CurrentStream {
 public:
  CurrentStream(ArchiveStream*& slot, ArchiveStream& stream) : slot_(slot) { slot_ = &stream; }
  ~CurrentStream() { slot_ = nullptr; }

 private:
  ArchiveStream*& slot_;
};

// Folded for comparing names as the file system compares them: its own letter case fold,
// '\' for '/'.
std::string FoldedName(FileSystem& files, const std::string& name) {
  std::string folded = files.FoldCase(name);
  for (char& c : folded) {
    if (c == '/') c = '\\';
  }
  return folded;
}

}  // namespace

std::string ProgressPercentText(int position, int max) {
  const double p = position;
  const double m = max;
  const long percent = m > 0 ? std::lrint(p / m * 100.0) : 0;  // halves to the even neighbour
  return std::to_string(percent) + "%";
}

SelfExtractor::SelfExtractor(FileSystem& files, Application* app) : files_(files), app_(app) {}
SelfExtractor::~SelfExtractor() = default;

void SelfExtractor::SetArchive(const std::string& path, int64_t start_offset) {
  archive_path_ = path;
  start_offset_ = start_offset;
}

const std::string& SelfExtractor::ArchivePath() {
  if (archive_path_.empty()) archive_path_ = files_.ModuleFileName();
  return archive_path_;
}

int64_t SelfExtractor::StartOffset() {
  if (start_offset_ < 0) start_offset_ = ReadStartOffset(files_, ArchivePath());
  return start_offset_;
}

void SelfExtractor::Pump() {
  if (app_) app_->PumpMessages();
}

void SelfExtractor::SkipToFirstEntry(ArchiveStream& archive) {
  while (in_.readByte(archive) != format::kEntryMark) {
  }
}

bool SelfExtractor::NextEntryFollows(ArchiveStream& archive) {
  uint8_t b;
  do {
    b = in_.readByte(archive);
  } while (b == format::kPadding);
  last_mark_ = b;
  return b == format::kEntryMark;
}

std::string SelfExtractor::ReadEntryName(ArchiveStream& archive) {
  std::string name;
  for (uint8_t b = in_.readByte(archive); b != format::kNameEnd; b = in_.readByte(archive)) {
    // No system creates a path this long: the name is refused before it fills memory.
    if (name.size() == format::kMaxNameLength) throw IoError(errc::kPathNotFound);
    name.push_back(static_cast<char>(b));
  }
  // Names that could reach outside the extraction directory are refused before anything
  // is created for them.
  // So are names that Windows cannot create as themselves: an updater is made for it.
  if (!IsSafeEntryName(name) || !IsWindowsEntryName(name)) throw IoError(errc::kPathNotFound);
  return name;
}

void SelfExtractor::Selfextract() {
  HeldFolderIndexes held(files_);
  progressShift = 0;
  scratch_may_exist_ = true;
  ArchiveStream archive(files_, ArchivePath());
  CurrentStream current(current_, archive);

  // The bar holds 16-bit values: halve the file's size until it fits.
  int64_t size = archive.Size();
  while (size > 65535) {
    size >>= 1;
    ++progressShift;
  }
  if (app_) app_->Form1.ProgressBar1.SetMax(size);
  int64_t start = archive.Seek(StartOffset());
  if (app_) app_->Form1.ProgressBar1.SetMin(start >> progressShift);
  Pump();

  pending_.clear();
  pending_names_.clear();
  syncing_.clear();
  syncing_names_.clear();
  synced_ = nullptr;
  new_files_ = 0;
  try {
    SkipToFirstEntry(archive);
    do {
      ExtractFile(archive);
    } while (NextEntryFollows(archive));
  } catch (const RuntimeError&) {
    // The files unpacked before the failure are whole: they stay, under their names.
    NameBatch();
    throw;
  }
  NameBatch();
}

void SelfExtractor::DiskFailed() {
  if (!app_) throw RuntimeError("Disk write error or disk is full");
  app_->ShowMessageDialog(kDiskFullMessage, MessageKind::Error, kButtonOk, 0);
  app_->CloseMainWindow();
  throw StopRun();
}

void SelfExtractor::Record(const std::vector<std::string>& folders) {
  if (!creation_record) return;
  std::vector<CreatedEntry> entries;
  entries.reserve(folders.size() + pending_.size());
  for (const std::string& f : folders) entries.push_back({f, -1, 0});
  for (const Pending& p : pending_) {
    entries.push_back({p.target.substr(extractDir.size()), p.size, p.crc});
  }
  creation_record->WillCreate(entries);
}

void SelfExtractor::Name(std::vector<Pending>& batch) {
  bool refused = false;
  for (const Pending& p : batch) {
    // Never replaces: whatever took the name meanwhile stays, and this file goes. The
    // others still get theirs (nothing is left under a working name), then the run stops.
    if (!files_.RenameWritten(p.written, p.target)) {
      files_.DeleteFile(p.written);
      refused = true;
    }
  }
  batch.clear();
  if (refused) throw IoError(errc::kAccessDenied);
}

void SelfExtractor::NameSynced() {
  if (!synced_) return;
  const std::function<bool()> synced = std::exchange(synced_, nullptr);
  // A batch whose sync failed never gets its names: its files go with the process.
  if (!synced()) DiskFailed();
  Name(syncing_);
  syncing_names_.clear();
}

void SelfExtractor::StartNaming() {
  NameSynced();
  Record({});
  // The batch's record and data go to the disk while the next batch is written; the batch
  // gets its names when that one is full, or at the end.
  synced_ = files_.BeginSync(extractDir);
  syncing_.swap(pending_);
  syncing_names_.swap(pending_names_);
  pending_names_.clear();
}

void SelfExtractor::NameBatch(const std::vector<std::string>& folders) {
  NameSynced();
  if (pending_.empty() && folders.empty()) return;
  Record(folders);
  // One sync for the whole batch: a power cut never leaves one of these names on a file
  // whose data did not reach the disk.
  if (!files_.Sync(extractDir)) DiskFailed();
  Name(pending_);
  pending_names_.clear();
}

bool SelfExtractor::Waiting(const std::string& folded) const {
  return pending_names_.count(folded) != 0 || syncing_names_.count(folded) != 0;
}

void SelfExtractor::ExtractFile(ArchiveStream& archive) {
  out_.Reset();
  std::string name = ReadEntryName(archive);
  if (app_) app_->Form1.Label4.Caption = DisplayName(name);
  if (on_entry) on_entry(name, !name.empty() && name.back() == '\\');
  Pump();

  uint8_t first_length = in_.readByte(archive);
  in_.Prime(first_length);
  if (first_length == 0) {
    ExtractEmptyDirectory(extractDir + name);
    return;
  }

  // Existing files are never overwritten: the member goes to the scratch file instead,
  // which is deleted below. A new file is written under a working name of its own in its
  // folder and takes its name only once its data is on the disk, so that neither a run
  // cut short nor a power cut leaves part of a file under a real name. A file still
  // waiting for its name counts as existing for a later entry of the same name.
  const std::string scratch = extractDir + format::kScratchName;
  const std::string target = extractDir + name;
  if (name.back() == '\\' || !files_.PathFits(target, false)) throw IoError(errc::kPathNotFound);
  // A member named like a working file would be renamed onto itself or deleted as scratch.
  if (IsWorkingFileName(name)) throw IoError(errc::kAccessDenied);
  const std::string folded = FoldedName(files_, name);
  const bool exists = Waiting(folded) || files_.FileExists(target);
  const std::string written =
      exists ? scratch : extractDir + EntryFolder(name) + WorkingName(new_files_++);

  std::unique_ptr<File> output;
  if (exists) {
    scratch_may_exist_ = true;
    output = files_.Open(written, OpenMode::kCreate);
  } else {
    try {
      output = files_.CreatePending(written);
    } catch (const IoError& e) {
      // A working file left by a run that was cut short: removed, and made anew.
      if (e.code() != errc::kFileExists) throw;
      if (!files_.FileExists(written)) throw IoError(errc::kAccessDenied);
      files_.DeleteFile(written);
      output = files_.CreatePending(written);
    }
  }
  // What was written under the working name never stays when the member fails.
  struct Discard {
    FileSystem& files;
    const std::string& path;
    std::unique_ptr<File>& output;
    bool armed = true;
    ~Discard() {
      if (!armed) return;
      output.reset();
      files.DeleteFile(path);
    }
  } discard{files_, written, output};

  FileSink sink(*output, gathered_);
  FileSink::Shortfall shortfall = FileSink::Shortfall::kNone;
  try {
    decoder_.makeExtract(archive, in_, out_, sink, this);
    shortfall = sink.Finish(out_.outBuffer, static_cast<size_t>(out_.outCount));
    out_.Reset();
    if (shortfall == FileSink::Shortfall::kPieces) throw OutputWriteFailed();
  } catch (const OutputWriteFailed&) {
    // The disk took less than a full buffer: release the file, tell the user, and stop
    // the update so that nothing is merged into the installation.
    discard.output.reset();
    files_.DeleteFile(written);
    discard.armed = false;
    DiskFailed();
  }
  if (shortfall == FileSink::Shortfall::kRest) throw RuntimeError(kStreamWriteError);
  if (!exists && !output->Flush()) throw RuntimeError(kStreamWriteError);
  output.reset();
  discard.armed = false;
  if (!exists) {
    pending_.push_back({written, target, sink.size(), sink.crc()});
    pending_names_.insert(folded);
    // Two batches wait at once, one being written and one being synced: each takes half
    // of the files that may wait.
    const int pending = static_cast<int>(pending_.size());
    if (pending >= naming_batch || pending >= std::max(1, files_.MaxPendingFiles() / 2)) {
      StartNaming();
    }
  }

  if (scratch_may_exist_) {
    scratch_may_exist_ = files_.FileExists(scratch) && !files_.DeleteFile(scratch);
  }
}

void SelfExtractor::ExtractEmptyDirectory(const std::string& path) {
  // The chain of folders from path up to the top, by the length of each: a trailing '\'
  // is dropped, the parent is the prefix up to the last '\' or ':', and a bare drive
  // letter with its colon (anything under 3 characters) is never created.
  std::vector<size_t> chain;
  for (size_t n = path.size();;) {
    if (n > 0 && path[n - 1] == '\\') --n;
    if (n < 3) break;
    chain.push_back(n);
    const size_t cut = path.find_last_of("\\:", n - 1);
    const size_t next = cut == std::string::npos ? 0 : cut + 1;
    // A drive behind the long-path prefix ("\\?\C:") ends in its ':': nothing above it.
    if (next >= n) break;
    n = next;
  }
  const auto folder = [&path, &chain](size_t i) { return path.substr(0, chain[i]); };
  // The first index in [low, high) that holds, for a test that holds from some index on;
  // `hint` indexes are tried one by one first.
  const auto first = [](size_t low, size_t high, size_t hint, const auto& holds) {
    for (size_t end = low + hint; low < high && low < end; ++low) {
      if (holds(low)) return low;
    }
    while (low < high) {
      const size_t mid = low + (high - low) / 2;
      if (holds(mid)) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    return high;
  };
  // A folder that the system cannot name is never created, nor anything below it.
  const size_t fits =
      first(0, chain.size(), 0, [&](size_t i) { return files_.PathFits(folder(i), true); });
  // Folders stand from the top down to some depth: the deepest standing one is found with
  // a few lookups, not one per level (most often it is the folder or its parent), and
  // everything below it is created in order.
  const size_t stands =
      first(fits, chain.size(), 2, [&](size_t i) { return files_.DirectoryExists(folder(i)); });
  if (stands > fits) {
    // The folders are on record, and the record on the disk, before the first of them is
    // made: an interrupted run leaves no folder that it cannot name. The files waiting for
    // their names get them with the same sync, and first: a folder never takes the name
    // of a file unpacked before it.
    std::vector<std::string> made;
    bool collides = false;
    for (size_t i = stands; i-- > fits;) {
      if (chain[i] <= extractDir.size()) continue;
      made.push_back(folder(i).substr(extractDir.size()) + '\\');
      collides = collides || Waiting(FoldedName(files_, folder(i).substr(extractDir.size())));
    }
    if (creation_record && path.compare(0, extractDir.size(), extractDir) == 0) {
      NameBatch(made);
    } else if (collides) {
      NameBatch();
    }
  }
  for (size_t i = stands; i-- > fits;) files_.CreateDirectory(folder(i));
}

void SelfExtractor::Selfextract1Click() {
  if (!app_) {
    Selfextract();
    return;
  }
  TForm1& f = app_->Form1;
  f.Label1.Caption = "0%";
  f.Label2.Caption = "Please WAIT...";
  f.Label3.Caption = "Extracting file:";
  Selfextract();
  f.ProgressBar1.SetPosition(f.ProgressBar1.Min());
  f.Label1.Caption = "    ";
  f.Label4.Caption = " ";
  f.Label3.Caption = std::string(16, ' ');
  f.Label2.Caption = "Complete.     ";
  app_->PumpMessages();
  app_->CloseMainWindow();
}

void SelfExtractor::OnProgress() {
  if (!current_) return;
  if (on_progress) on_progress(current_->Position(), current_->Size());
  if (!app_) return;
  if (verifying_) {
    // The check before the update changes no caption; it only keeps the window alive.
    app_->PumpMessages();
    return;
  }
  ProgressBar& bar = app_->Form1.ProgressBar1;
  bar.SetPosition(current_->Position() >> progressShift);
  app_->Form1.Label1.Caption = ProgressPercentText(bar.Position(), bar.Max());
  app_->PumpMessages();
}

bool SelfExtractor::TrailerAtEndMismatches(ArchiveStream& archive, int64_t magic_at) {
  const int64_t trailer_at = archive.Size() - static_cast<int64_t>(format::kTrailerLength);
  if (magic_at < 0 || trailer_at <= magic_at) return false;
  uint8_t trailer[format::kTrailerLength];
  archive.Seek(trailer_at);
  archive.ReadExact(trailer, sizeof trailer);
  if (std::memcmp(trailer, format::kTrailerTag, format::kTrailerTagLength) != 0) return false;
  uint32_t expected = 0;
  for (int i = 3; i >= 0; --i) expected = expected << 8 | trailer[format::kTrailerTagLength + i];
  Crc32 crc;
  archive.Seek(magic_at);
  uint8_t piece[64 * 1024];
  for (int64_t left = trailer_at - magic_at; left > 0;) {
    const size_t n =
        left < static_cast<int64_t>(sizeof piece) ? static_cast<size_t>(left) : sizeof piece;
    archive.ReadExact(piece, n);
    crc.Update(piece, n);
    left -= static_cast<int64_t>(n);
    Pump();
  }
  return crc.Value() != expected;
}

bool SelfExtractor::CheckFrame(ArchiveStream& archive) {
  // The trailer's CRC covers the archive from its magic to its ';'.
  const int64_t magic_at = StartOffset() - 1;
  Crc32 crc;
  uint8_t piece[format::kMaxBlockLength + 1];
  int64_t pumped = 0;
  const auto read = [&](size_t n) {
    archive.ReadExact(piece, n);
    crc.Update(piece, n);
    if (archive.Position() - pumped >= 64 * 1024) {
      pumped = archive.Position();
      Pump();
    }
  };
  archive.Seek(magic_at < 0 ? 0 : magic_at);
  uint8_t mark = 0;
  try {
    if (magic_at >= 0) read(1);
    do {
      read(1);
    } while (piece[0] != format::kEntryMark);
    do {
      do {
        read(1);
      } while (piece[0] != format::kNameEnd);
      read(1);
      for (size_t length = piece[0]; length != 0; length = piece[length]) read(length + 1);
      do {
        read(1);
      } while (piece[0] == format::kPadding);
      mark = piece[0];
    } while (mark == format::kEntryMark);
  } catch (const RuntimeError&) {
    // The framing is broken: a trailer at the end of the file that does not match says
    // that the archive is damaged rather than merely cut short.
    if (TrailerAtEndMismatches(archive, magic_at)) throw RuntimeError(kDamagedArchive);
    throw;
  }
  if (mark != format::kEndMark && TrailerAtEndMismatches(archive, magic_at)) {
    throw RuntimeError(kDamagedArchive);
  }
  frame_bytes_ = archive.Position() - (magic_at < 0 ? 0 : magic_at);
  frame_crc_ = crc.Value();
  // Anything but ';' is refused by the walk that follows.
  if (mark != format::kEndMark || magic_at < 0) return false;

  // The trailer stands right after the ';', also when something was appended after it
  // (a code signature). Its tag cut short is an updater cut short.
  const int64_t left = archive.Size() - archive.Position();
  if (left <= 0) return false;
  uint8_t trailer[format::kTrailerLength];
  const size_t have =
      left < static_cast<int64_t>(sizeof trailer) ? static_cast<size_t>(left) : sizeof trailer;
  archive.ReadExact(trailer, have);
  const size_t tag = have < format::kTrailerTagLength ? have : format::kTrailerTagLength;
  if (std::memcmp(trailer, format::kTrailerTag, tag) != 0) return false;
  if (have < format::kTrailerLength) throw RuntimeError(kStreamReadError);
  uint32_t expected = 0;
  for (int i = 3; i >= 0; --i) expected = expected << 8 | trailer[format::kTrailerTagLength + i];
  if (crc.Value() != expected) throw RuntimeError(kDamagedArchive);
  return true;
}

void SelfExtractor::SkipZeroTail(ArchiveStream& archive) {
  for (int32_t i = 0; i < in_.nextBlockLen; ++i) {
    if (in_.readByte(archive) != format::kPadding) throw RuntimeError(kMisplacedEnd);
  }
  if (in_.readByte(archive) != 0) throw RuntimeError(kMisplacedEnd);
  in_.lastBlock = true;
}

ArchiveSummary SelfExtractor::Verify(ExtractionPlan* plan,
                                     const std::function<ByteSink*(const std::string&)>& tap) {
  ArchiveSummary summary;
  HeldFolderIndexes held(files_);
  ArchiveStream archive(files_, ArchivePath());
  CurrentStream current(current_, archive);
  verifying_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{verifying_};

  // The framing and the trailer first, so that a damaged archive is named as such before
  // its members are decoded.
  summary.has_trailer = CheckFrame(archive);
  summary.archive_bytes = frame_bytes_;
  summary.archive_crc = frame_crc_;
  archive.Seek(StartOffset());
  SkipToFirstEntry(archive);
  std::unique_ptr<ExtractionPlan> own_plan;
  if (plan == nullptr && !extractDir.empty()) {
    own_plan = std::make_unique<ExtractionPlan>(files_, extractDir);
    plan = own_plan.get();
  }
  do {
    out_.Reset();
    std::string name = ReadEntryName(archive);
    summary.name_bytes += static_cast<int64_t>(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] != '\\' && name[i] != '/' && i + 1 != name.size()) continue;
      ++summary.name_chain_lines;
      summary.name_chain_bytes += static_cast<int64_t>(i + 1);
    }
    const int64_t member_at = archive.Position();
    uint8_t first_length = in_.readByte(archive);
    in_.Prime(first_length);
    if (first_length == 0) {
      if (plan) plan->AddDirectory(name);
      ++summary.directories;
      summary.disk_bytes += kClusterBytes;
      if (on_verified) on_verified(name, true, 0, 0);
      continue;
    }
    if (plan) plan->AddFile(name);
    CountingSink sink;
    if (tap) sink.also = tap(name);
    decoder_.makeExtract(archive, in_, out_, sink, this);
    // The end code may stand before a last block that holds only 0x00 bytes: the reader
    // takes them for padding. Anything else leaves the archive out of step, and the
    // extraction would take the rest of the member for the next entry's mark.
    if (!in_.lastBlock) SkipZeroTail(archive);
    if (sink.also && out_.outCount > 0) sink.also->Write(out_.outBuffer, out_.outCount);
    const int64_t decoded = sink.count + out_.outCount;
    summary.decoded_bytes += decoded;
    summary.disk_bytes += (decoded + kClusterBytes - 1) / kClusterBytes * kClusterBytes;
    ++summary.files;
    if (on_verified) on_verified(name, false, archive.Position() - member_at, decoded);
  } while (NextEntryFollows(archive));
  // Only ';' ends an archive: any other byte here means the archive is cut short or
  // damaged, and extracting it would stop early with nothing said.
  if (last_mark_ != format::kEndMark) throw RuntimeError(kMisplacedEnd);
  return summary;
}

}  // namespace lumora
