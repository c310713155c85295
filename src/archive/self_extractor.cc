#include "archive/self_extractor.h"

#include <cmath>
#include <cstring>
#include <set>
#include <string>

#include "archive/archive_stream.h"
#include "archive/crc32.h"
#include "archive/entry_name.h"
#include "archive/format.h"
#include "archive/offset_marker.h"
#include "platform/errors.h"
#include "shell/application.h"

namespace lumora {
namespace {

constexpr char kDiskFullMessage[] = "Disk write error or disk is full.";
constexpr char kDamagedArchive[] = "The update archive is damaged (checksum mismatch)";
constexpr char kMisplacedEnd[] = "The update archive is damaged (an entry ends in the wrong place)";

class FileSink : public ByteSink {
 public:
  explicit FileSink(File& file) : file_(file) {}
  bool Write(const uint8_t* data, size_t n) override { return file_.Write(data, n).count == n; }

 private:
  File& file_;
};

class CountingSink : public ByteSink {
 public:
  bool Write(const uint8_t*, size_t n) override {
    count += static_cast<int64_t>(n);
    return true;
  }
  int64_t count = 0;
};

// Keeps the driver's pointer to the open archive stream exactly as long as it is open.
class CurrentStream {
 public:
  CurrentStream(ArchiveStream*& slot, ArchiveStream& stream) : slot_(slot) { slot_ = &stream; }
  ~CurrentStream() { slot_ = nullptr; }

 private:
  ArchiveStream*& slot_;
};

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
    name.push_back(static_cast<char>(b));
  }
  // Names that could reach outside the extraction directory are refused before anything
  // is created for them.
  if (!IsSafeEntryName(name)) throw IoError(errc::kPathNotFound);
  return name;
}

void SelfExtractor::Selfextract() {
  progressShift = 0;
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

  SkipToFirstEntry(archive);
  do {
    ExtractFile(archive);
  } while (NextEntryFollows(archive));
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
  // which is deleted below.
  const std::string scratch = extractDir + format::kScratchName;
  std::string target = extractDir + name;
  if (files_.FileExists(target)) target = scratch;

  files_.Open(target, OpenMode::kCreate).reset();  // an I/O error tells why it failed
  std::unique_ptr<File> output;
  try {
    output = files_.Open(target, OpenMode::kWriteExisting);
  } catch (const IoError&) {
    throw RuntimeError(CannotOpenFileText(target));
  }
  FileSink sink(*output);
  try {
    decoder_.makeExtract(archive, in_, out_, sink, this);
  } catch (const OutputWriteFailed&) {
    // The disk took less than a full buffer: release the file, tell the user, and stop
    // the update so that nothing is merged into the installation.
    output.reset();
    // The scratch file holds only a member that was never to be kept.
    if (target == scratch) files_.DeleteFile(scratch);
    if (!app_) throw RuntimeError("Disk write error or disk is full");
    app_->ShowMessageDialog(kDiskFullMessage, MessageKind::Error, kButtonOk, 0);
    app_->CloseMainWindow();
    throw StopRun();
  }
  if (out_.outCount > 0 && !out_.WriteRest(sink)) throw RuntimeError(kStreamWriteError);
  output.reset();

  if (files_.FileExists(scratch)) files_.DeleteFile(scratch);
}

void SelfExtractor::ExtractEmptyDirectory(const std::string& path) {
  std::string p = path;
  if (!p.empty() && p.back() == '\\') p.pop_back();
  // A bare drive letter with its colon is never created.
  if (p.size() < 3 || files_.DirectoryExists(p)) return;
  size_t cut = p.find_last_of("\\:");
  ExtractEmptyDirectory(cut == std::string::npos ? std::string() : p.substr(0, cut + 1));
  files_.CreateDirectory(p);
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

bool SelfExtractor::CheckTrailerAt(ArchiveStream& archive, int64_t trailer_at) {
  const int64_t magic_at = StartOffset() - 1;
  if (trailer_at <= magic_at ||
      archive.Size() - trailer_at < static_cast<int64_t>(format::kTrailerLength)) {
    return false;
  }
  uint8_t trailer[format::kTrailerLength];
  archive.Seek(trailer_at);
  archive.ReadExact(trailer, sizeof trailer);
  if (std::memcmp(trailer, format::kTrailerTag, format::kTrailerTagLength) != 0) return false;
  uint32_t expected = 0;
  for (int i = 3; i >= 0; --i) expected = expected << 8 | trailer[format::kTrailerTagLength + i];

  Crc32 crc;
  archive.Seek(magic_at);
  int64_t left = trailer_at - magic_at;
  uint8_t piece[64 * 1024];
  while (left > 0) {
    size_t n = left < static_cast<int64_t>(sizeof piece) ? static_cast<size_t>(left) : sizeof piece;
    archive.ReadExact(piece, n);
    crc.Update(piece, n);
    left -= static_cast<int64_t>(n);
    Pump();
  }
  if (crc.Value() != expected) throw RuntimeError(kDamagedArchive);
  return true;
}

namespace {

std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

// The folder an entry lies in, with its trailing '\' ("" for the top).
std::string FolderOf(const std::string& name) {
  const size_t cut = name.find_last_of('\\');
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

}  // namespace

ArchiveSummary SelfExtractor::Verify() {
  ArchiveSummary summary;
  ArchiveStream archive(files_, ArchivePath());
  CurrentStream current(current_, archive);
  verifying_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{verifying_};

  // The usual place of the trailer is the end of the file; it is checked first, so that a
  // damaged archive is named as such before its members are decoded.
  const int64_t at_end = archive.Size() - static_cast<int64_t>(format::kTrailerLength);
  summary.has_trailer = CheckTrailerAt(archive, at_end);
  archive.Seek(StartOffset());
  SkipToFirstEntry(archive);
  // Folders that the archive's directory entries make, with every folder above them: a
  // file whose folder is neither made nor in extractDir already could not be created.
  std::set<std::string> made;
  do {
    out_.Reset();
    std::string name = ReadEntryName(archive);
    const int64_t member_at = archive.Position();
    uint8_t first_length = in_.readByte(archive);
    in_.Prime(first_length);
    if (first_length == 0) {
      std::string folder = Folded(name);
      if (folder.back() != '\\') folder.push_back('\\');
      for (size_t cut = folder.find('\\'); cut != std::string::npos;
           cut = folder.find('\\', cut + 1)) {
        made.insert(folder.substr(0, cut + 1));
      }
      ++summary.directories;
      if (on_verified) on_verified(name, true, 0, 0);
      continue;
    }
    const std::string folder = FolderOf(name);
    if (!extractDir.empty() && !folder.empty() && made.count(Folded(folder)) == 0 &&
        !files_.DirectoryExists(extractDir + folder.substr(0, folder.size() - 1))) {
      throw RuntimeError(CannotOpenFileText(extractDir + name));
    }
    CountingSink sink;
    decoder_.makeExtract(archive, in_, out_, sink, this);
    // A member ends in its last block, the one before the terminating length byte: an
    // end code earlier leaves the archive out of step, and the extraction would take
    // the rest of the member for the next entry's mark.
    if (!in_.lastBlock) throw RuntimeError(kMisplacedEnd);
    const int64_t decoded = sink.count + out_.outCount;
    summary.decoded_bytes += decoded;
    ++summary.files;
    if (on_verified) on_verified(name, false, archive.Position() - member_at, decoded);
  } while (NextEntryFollows(archive));
  // Only ';' ends an archive: any other byte here means the archive is cut short or
  // damaged, and extracting it would stop early with nothing said.
  if (last_mark_ != format::kEndMark) throw RuntimeError(kMisplacedEnd);
  // Something appended after the trailer (a code signature) moves it off the end of the
  // file; it then stands right after the ';'.
  if (!summary.has_trailer) summary.has_trailer = CheckTrailerAt(archive, archive.Position());
  return summary;
}

}  // namespace lumora
