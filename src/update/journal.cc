#include "update/journal.h"

#include <utility>

#include "platform/errors.h"

namespace lumora {
namespace {

constexpr char kHeader[] = "LumoraUpdate journal 1";
constexpr char kSizeTag[] = "size ";
constexpr char kFolderTag[] = "folder ";
constexpr char kFileTag[] = "file ";
constexpr char kPartBaseName[] = "Partbase.txt";
constexpr char kPalDataName[] = "PalData.txt";

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
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) << 4 | HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A decimal size, or -1 when the text is not one.
int64_t SizeOf(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool StartsWith(const std::string& line, const char* tag, std::string* rest) {
  const std::string t(tag);
  if (line.compare(0, t.size(), t) != 0) return false;
  *rest = line.substr(t.size());
  return true;
}

}  // namespace

int64_t JournalBytes(int64_t entries, int64_t name_bytes) {
  // The header and the two sizes, then a line for each entry: its tag, its name (each
  // byte escaped at most to three) and the line end.
  const int64_t header = 128;
  return header + entries * static_cast<int64_t>(sizeof kFolderTag) + 3 * name_bytes;
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
  }
  JournalContents contents;
  // Only whole lines count: the one being written when the power went has no LF.
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    std::string rest;
    if (StartsWith(line, kSizeTag, &rest)) {
      const size_t space = rest.rfind(' ');
      if (space == std::string::npos) continue;
      const std::string name = rest.substr(0, space);
      const int64_t size = SizeOf(rest.substr(space + 1));
      if (name == kPartBaseName) contents.part_base_size = size;
      if (name == kPalDataName) contents.pal_data_size = size;
    } else if (StartsWith(line, kFolderTag, &rest) && !rest.empty()) {
      contents.folders.push_back(Unescaped(rest));
    } else if (StartsWith(line, kFileTag, &rest) && !rest.empty()) {
      contents.files.push_back(Unescaped(rest));
    }
  }
  return contents;
}

Journal::Journal(FileSystem& files, std::string install_dir)
    : files_(files), install_dir_(std::move(install_dir)) {}

Journal::~Journal() = default;

void Journal::Append(const std::string& text) {
  const IoResult r = file_->Write(text.data(), text.size());
  if (r.count != text.size()) throw IoError(r.error != 0 ? r.error : errc::kDiskFull);
  if (!file_->Flush()) throw IoError(errc::kGeneralFailure);
}

bool Journal::Begin(int64_t part_base_size, int64_t pal_data_size) {
  file_ = files_.Open(install_dir_ + journal::kJournalName, OpenMode::kCreateNew);
  Append(std::string(kHeader) + "\n" + kSizeTag + kPartBaseName + ' ' +
         std::to_string(part_base_size) + "\n" + kSizeTag + kPalDataName + ' ' +
         std::to_string(pal_data_size) + "\n");
  return files_.Sync(install_dir_);
}

void Journal::WillCreate(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    const bool folder = !name.empty() && name.back() == '\\';
    text += (folder ? kFolderTag : kFileTag) + Escaped(name) + "\n";
  }
  Append(text);
}

void Journal::Abandon() {
  file_.reset();
  files_.DeleteFile(install_dir_ + journal::kJournalName);
}

bool Journal::Finish() {
  file_.reset();
  if (!files_.DeleteFile(install_dir_ + journal::kJournalName)) return false;
  return files_.Sync(install_dir_);
}

}  // namespace lumora
