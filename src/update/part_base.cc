#include "update/part_base.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "archive/crc32.h"
#include "platform/errors.h"
#include "shell/application.h"
#include "update/key_set.h"
#include "update/text_file.h"

namespace lumora {
namespace {

constexpr char kDiskFullText[] = "Disk write error or disk is full.";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool IsCommentLine(const std::string& line) {
  return line.empty() || line[0] == '#' || line[0] == '\n' || line[0] == '\r';
}

std::string BasicIndexText(const std::string& line) { return line.substr(0, line.find(';')); }

bool IsValidBasicIndex(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return false;
  if (text[i] == '$') {
    ++i;
    if (i == text.size()) return false;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
      const int digit = HexValue(text[i]);
      if (digit < 0) return false;
      value = (value << 4) | static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFull) return false;  // leading zeros never get here
    }
    return true;
  }
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > limit) return false;
  }
  return true;
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string DuplicateKey(const std::string& record_line) {
  size_t pos = 0;
  for (int field = 0; field < 3; ++field) {
    pos = record_line.find(';', pos);
    if (pos == std::string::npos) return std::string();
    ++pos;
  }
  const size_t end = record_line.find(';', pos);
  if (end == std::string::npos) return std::string();
  return UpperCase(record_line.substr(pos, end - pos));
}

PartBaseFiles::PartBaseFiles(FileSystem& files, Application& app, std::string install_dir)
    : files_(files), app_(app), install_dir_(std::move(install_dir)) {}

bool PartBaseFiles::FileError() {
  app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
  return false;
}

bool PartBaseFiles::OnDisk() {
  // The lines appended to the part base and the data file reach the disk before the data
  // file gets its name back.
  if (files_.Sync(install_dir_)) return true;
  app_.ShowMessageDialog(kDiskFullText, MessageKind::Error, kButtonOk, 0);
  return false;
}

bool PartBaseFiles::WillAppend(const char* base, TextWriter& writer) {
  if (!append_record || append_record->WillAppend(base, writer.start())) return true;
  writer.Close();
  app_.ShowMessageDialog(kDiskFullText, MessageKind::Error, kButtonOk, 0);
  return false;
}

void PartBaseFiles::Appended(const char* base, const std::string& path, int64_t offset) {
  if (!append_record) return;
  std::unique_ptr<File> file = files_.Open(path, OpenMode::kRead);
  const int64_t size = file->Size();
  if (size < offset || file->Seek(offset) != offset) throw IoError(errc::kGeneralFailure);
  Crc32 crc;
  std::vector<uint8_t> piece(64 * 1024);
  for (int64_t left = size - offset; left > 0;) {
    const IoResult r = file->Read(piece.data(), piece.size());
    if (r.error != 0) throw IoError(r.error);
    if (r.count == 0) throw IoError(errc::kGeneralFailure);
    crc.Update(piece.data(), r.count);
    left -= static_cast<int64_t>(r.count);
  }
  append_record->Appended(base, offset, size - offset, crc.Value());
}

bool PartBaseFiles::CheckPartBase() {
  std::string line;
  {
    TextReader installed(files_, Path(partbase::kPartBase));
    TextWriter copy = TextWriter::Create(files_, Path(partbase::kWorkingCopy));
    while (!installed.Eof()) {
      app_.PumpMessages();
      installed.ReadLine(&line);
      copy.WriteLine(line);
    }
    copy.Close();
    installed.Close();
  }
  TextReader copy(files_, Path(partbase::kWorkingCopy));
  while (!copy.Eof()) {
    app_.PumpMessages();
    copy.ReadLine(&line);
    if (IsCommentLine(line)) continue;
    if (!IsValidBasicIndex(BasicIndexText(line))) {
      app_.ShowMessageDialog(partbase::kBasicIndexErrorText, MessageKind::Error, kButtonOk, 0);
      return false;
    }
  }
  copy.Close();
  return true;
}

bool PartBaseFiles::MergePartBase() {
  if (!files_.Rename(Path(partbase::kPartBase), Path(partbase::kNewPartBase))) {
    return FileError();
  }
  if (!files_.Rename(Path(partbase::kInstalledPartBase), Path(partbase::kPartBase))) {
    return FileError();
  }
  TextWriter installed = TextWriter::Append(files_, Path(partbase::kPartBase));
  const int64_t start = installed.start();
  if (!WillAppend(partbase::kPartBase, installed)) return false;
  std::string line;

  // First the keys of the new records, then one pass over the working copy that finds all
  // of them at once: every record gets the answer a search of the whole working copy for
  // its key alone would give, at the cost of reading each file once or twice.
  KeySet keys;
  bool has_records = false;
  {
    TextReader fresh(files_, Path(partbase::kNewPartBase));
    while (!fresh.Eof()) {
      app_.PumpMessages();
      fresh.ReadLine(&line);
      if (IsCommentLine(line)) continue;
      has_records = true;
      keys.Add(DuplicateKey(line));
    }
  }
  if (has_records) {
    TextReader copy(files_, Path(partbase::kWorkingCopy));
    if (keys.size() != 0) {
      keys.Build();
      while (!keys.AllFound() && !copy.Eof()) {
        app_.PumpMessages();
        copy.ReadLine(&line);
        if (!line.empty() && line[0] == '#') continue;
        keys.Scan(line);
      }
    }
    copy.Close();
  }

  // A comment line shares the fate of the nearest record line before it; comment lines
  // before the first record are kept.
  TextReader fresh(files_, Path(partbase::kNewPartBase));
  bool keep = true;
  while (!fresh.Eof()) {
    app_.PumpMessages();
    fresh.ReadLine(&line);
    if (!IsCommentLine(line)) {
      keep = !keys.Found(DuplicateKey(line));
      if (!keep) duplicatesFound = true;
    }
    if (keep) installed.WriteLine(line);
  }
  fresh.Close();
  installed.Close();
  Appended(partbase::kPartBase, Path(partbase::kPartBase), start);
  return true;
}

bool PartBaseFiles::MergePalData() {
  {
    TextWriter installed = TextWriter::Append(files_, Path(partbase::kPalDataArh));
    const int64_t start = installed.start();
    if (!WillAppend(partbase::kPalData, installed)) return false;
    TextReader fresh(files_, Path(partbase::kPalData));
    std::string line;
    while (!fresh.Eof()) {
      app_.PumpMessages();
      fresh.ReadLine(&line);
      installed.WriteLine(line);
    }
    fresh.Close();
    installed.Close();
    Appended(partbase::kPalData, Path(partbase::kPalDataArh), start);
  }
  if (files_.FileExists(Path(partbase::kPalData))) files_.DeleteFile(Path(partbase::kPalData));
  if (!OnDisk()) return false;
  if (!files_.Rename(Path(partbase::kPalDataArh), Path(partbase::kPalData))) return FileError();
  return true;
}

bool PartBaseFiles::RestoreBaseFiles() {
  if (files_.FileExists(Path(partbase::kWorkingCopy))) {
    files_.DeleteFile(Path(partbase::kWorkingCopy));
  }
  if (files_.FileExists(Path(partbase::kNewPartBase))) {
    files_.DeleteFile(Path(partbase::kNewPartBase));
  }
  if (files_.FileExists(Path(partbase::kInstalledPartBase)) &&
      !files_.FileExists(Path(partbase::kPartBase))) {
    if (!files_.Rename(Path(partbase::kInstalledPartBase), Path(partbase::kPartBase))) {
      return FileError();
    }
  }
  if (!files_.FileExists(Path(partbase::kPalData)) &&
      files_.FileExists(Path(partbase::kPalDataArh))) {
    if (!OnDisk()) return false;
    if (!files_.Rename(Path(partbase::kPalDataArh), Path(partbase::kPalData))) {
      return FileError();
    }
  }
  return true;
}

}  // namespace lumora
