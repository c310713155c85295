#include "update/journal.h"

#include <utility>

#include "archive/crc32.h"
#include "archive/entry_name.h"
#include "archive/format.h"
#include "platform/errors.h"
#include "update/part_base.h"

namespace lumora {
namespace {

constexpr char kHeader[] = "LumoraUpdate journal 2";
constexpr char kSizeTag[] = "size ";
constexpr char kFolderTag[] = "folder ";
constexpr char kFileTag[] = "file ";
constexpr char kAppendTag[] = "append ";
constexpr char kAppendedTag[] = "appended ";
constexpr char kArchiveTag[] = "archive ";
// The checksum, its space and the line end around every record.
constexpr int64_t kLineFrame = 10;
// The longest record fields beside a name: "appended PalData.txt", an offset, a length and
// a checksum; a file's size and checksum.
constexpr int64_t kLineFields = 64;

uint32_t CrcOf(const std::string& text) {
  Crc32 crc;
  crc.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return crc.Value();
}

// Eight upper-case hex digits. Not through printf: in the Windows stub that would link
// the C library's whole formatter, floating point included, for this one format.
std::string Hex8(uint32_t value) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 15];
  return text;
}

std::string Escaped(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '%') {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The name a record holds; every '%' must start an escape of two upper-case hex digits.
std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0) {
      throw JournalDamaged("a name holds a broken escape");
    }
    out += static_cast<char>(HexDigit(text[i + 1]) << 4 | HexDigit(text[i + 2]));
    i += 2;
  }
  return out;
}

// A decimal number of at most 18 digits.
int64_t Decimal(const std::string& text) {
  if (text.empty() || text.size() > 18) throw JournalDamaged("a number is malformed");
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw JournalDamaged("a number is malformed");
    value = value * 10 + (c - '0');
  }
  return value;
}

uint32_t Hex32(const std::string& text) {
  if (text.size() != 8) throw JournalDamaged("a checksum is malformed");
  uint32_t value = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) throw JournalDamaged("a checksum is malformed");
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}

// Splits off the first space-separated field of rest.
std::string Field(std::string* rest) {
  const size_t space = rest->find(' ');
  if (space == std::string::npos) {
    std::string all = std::move(*rest);
    rest->clear();
    return all;
  }
  std::string field = rest->substr(0, space);
  rest->erase(0, space + 1);
  return field;
}

bool StartsWith(const std::string& line, const char* tag, std::string* rest) {
  const std::string t(tag);
  if (line.compare(0, t.size(), t) != 0) return false;
  *rest = line.substr(t.size());
  return true;
}

// The base file a size or append record names, spelled as the update writes it.
std::string BaseName(const std::string& text) {
  if (text != partbase::kPartBase && text != partbase::kPalData) {
    throw JournalDamaged("a record names " + text + ", which is not a base file");
  }
  return text;
}

bool SameUpper(const std::string& a, const char* b) { return UpperCase(a) == UpperCase(b); }

}  // namespace

int64_t JournalBytes(int64_t entries, int64_t chain_lines, int64_t chain_bytes) {
  // The header, the two sizes and the four append records; then, for every entry and every
  // folder above it, a line of its own (the most: each byte of a name escaped to three).
  const int64_t fixed = 8 * (kLineFrame + kLineFields);
  return fixed + (entries + chain_lines) * (kLineFrame + kLineFields) + 3 * chain_bytes;
}

bool IsJournalName(const std::string& name, bool folder) {
  if (name.empty() || (name.back() == '\\') != folder) return false;
  if (!IsSafeEntryName(name) || name.find('/') != std::string::npos) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  // Every component has a name: no "", "." (a folder's own '\' ends the name).
  const std::string body = folder ? name.substr(0, name.size() - 1) : name;
  for (size_t start = 0;;) {
    const size_t end = body.find('\\', start);
    const std::string part = body.substr(start, end - start);
    if (part.empty() || part == ".") return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (folder) return true;
  // A file the update made never stands under the names it keeps the installed files or
  // itself under: a journal naming one points at the user's data.
  for (const char* kept :
       {partbase::kInstalledPartBase, partbase::kPalDataArh, partbase::kWorkingCopy,
        partbase::kNewPartBase, journal::kJournalName, format::kScratchName}) {
    if (SameUpper(name, kept)) return false;
  }
  return true;
}

JournalContents ParseJournal(const std::string& text) {
  JournalContents contents;
  bool header = false;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.size() < 10 || line[8] != ' ') throw JournalDamaged("a line is malformed");
    std::string record = line.substr(9);
    if (Hex32(line.substr(0, 8)) != CrcOf(record)) {
      throw JournalDamaged("a line does not match its checksum");
    }
    if (!header) {
      if (record != kHeader) throw JournalDamaged("its first line is not an update's journal");
      header = true;
      continue;
    }
    std::string rest;
    if (StartsWith(record, kSizeTag, &rest)) {
      const std::string base = BaseName(Field(&rest));
      const int64_t size = Decimal(rest);
      (base == partbase::kPartBase ? contents.part_base_size : contents.pal_data_size) = size;
    } else if (StartsWith(record, kArchiveTag, &rest)) {
      contents.archive_bytes = Decimal(Field(&rest));
      contents.archive_crc = Hex32(rest);
    } else if (StartsWith(record, kFolderTag, &rest)) {
      std::string name = Unescaped(rest);
      if (!IsJournalName(name, true)) throw JournalDamaged("it names a folder it cannot have made");
      contents.folders.push_back(std::move(name));
    } else if (StartsWith(record, kFileTag, &rest)) {
      JournalFile file;
      file.size = Decimal(Field(&rest));
      file.crc = Hex32(Field(&rest));
      file.name = Unescaped(rest);
      if (!IsJournalName(file.name, false)) {
        throw JournalDamaged("it names a file it cannot have made");
      }
      contents.files.push_back(std::move(file));
    } else if (StartsWith(record, kAppendTag, &rest)) {
      JournalAppend append;
      append.base = BaseName(Field(&rest));
      append.offset = Decimal(rest);
      contents.appends.push_back(std::move(append));
    } else if (StartsWith(record, kAppendedTag, &rest)) {
      const std::string base = BaseName(Field(&rest));
      const int64_t offset = Decimal(Field(&rest));
      const int64_t length = Decimal(Field(&rest));
      const uint32_t crc = Hex32(rest);
      // It completes the last append to that file, which must start where it says.
      JournalAppend* open = nullptr;
      for (JournalAppend& a : contents.appends) {
        if (a.base == base) open = &a;
      }
      if (!open || open->length >= 0 || open->offset != offset) {
        throw JournalDamaged("an append is completed that never began");
      }
      open->length = length;
      open->crc = crc;
    } else {
      throw JournalDamaged("a line holds no record an update writes");
    }
  }
  // What follows the last line end (or the whole text, when the header never reached the
  // disk: the run had changed nothing yet) is a line the power cut short, or the NUL bytes a
  // file system may leave where a write did not reach the disk. It names nothing that got
  // its name, and nothing is done after it.
  return contents;
}

JournalContents ReadJournal(FileSystem& files, const std::string& install_dir) {
  std::unique_ptr<File> file = files.Open(install_dir + journal::kJournalName, OpenMode::kRead);
  std::string text;
  char piece[64 * 1024];
  for (;;) {
    const IoResult r = file->Read(piece, sizeof piece);
    if (r.error != 0) throw IoError(r.error);
    if (r.count == 0) break;
    text.append(piece, r.count);
    // An update's journal holds a line for each entry of an archive: far below this.
    if (text.size() > (size_t{1} << 30)) throw JournalDamaged("it is larger than any update's");
  }
  return ParseJournal(text);
}

Journal::Journal(FileSystem& files, std::string install_dir)
    : files_(files), install_dir_(std::move(install_dir)) {}

Journal::~Journal() = default;

std::string JournalText(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& record : records) text += Hex8(CrcOf(record)) + ' ' + record + '\n';
  return text;
}

void Journal::Append(const std::string& records) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = records.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(records.substr(start, end - start));
  }
  const std::string text = JournalText(lines);
  const IoResult r = file_->Write(text.data(), text.size());
  if (r.count != text.size()) throw IoError(r.error != 0 ? r.error : errc::kDiskFull);
  if (!file_->Flush()) throw IoError(errc::kGeneralFailure);
}

bool Journal::Begin(int64_t part_base_size, int64_t pal_data_size, int64_t archive_bytes,
                    uint32_t archive_crc) {
  file_ = files_.Open(install_dir_ + journal::kJournalName, OpenMode::kCreateNew);
  Append(std::string(kHeader) + "\n" + kSizeTag + partbase::kPartBase + ' ' +
         std::to_string(part_base_size) + "\n" + kSizeTag + partbase::kPalData + ' ' +
         std::to_string(pal_data_size) + "\n" + kArchiveTag + std::to_string(archive_bytes) + ' ' +
         Hex8(archive_crc) + "\n");
  return files_.Sync(install_dir_);
}

void Journal::WillCreate(const std::vector<CreatedEntry>& entries) {
  std::string text;
  for (const CreatedEntry& e : entries) {
    if (e.size < 0) {
      text += kFolderTag + Escaped(e.name) + "\n";
    } else {
      text += kFileTag + std::to_string(e.size) + ' ' + Hex8(e.crc) + ' ' + Escaped(e.name) + "\n";
    }
  }
  Append(text);
}

bool Journal::WillAppend(const char* base, int64_t offset) {
  Append(kAppendTag + std::string(base) + ' ' + std::to_string(offset) + "\n");
  return files_.Sync(install_dir_);
}

void Journal::Appended(const char* base, int64_t offset, int64_t length, uint32_t crc) {
  Append(kAppendedTag + std::string(base) + ' ' + std::to_string(offset) + ' ' +
         std::to_string(length) + ' ' + Hex8(crc) + "\n");
}

void Journal::Abandon() {
  file_.reset();
  files_.DeleteFile(install_dir_ + journal::kJournalName);
}

bool Journal::Finish() {
  file_.reset();
  if (!files_.DeleteFile(install_dir_ + journal::kJournalName)) return false;
  // Everything else is on the disk already (the caller synced it): this sync only makes the
  // deletion stand. Should it fail and the power go, the journal comes back with the
  // update finished, and the next run or repair sees that and removes it: the update
  // stands either way.
  files_.Sync(install_dir_);
  return true;
}

}  // namespace lumora
