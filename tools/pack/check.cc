#include "pack/check.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "archive/archive_stream.h"
#include "archive/entry_name.h"
#include "archive/format.h"
#include "archive/offset_marker.h"
#include "archive/self_extractor.h"
#include "codec/decoder.h"
#include "pack/part_text.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "ui/null/null_backend.h"
#include "update/journal.h"
#include "update/key_set.h"
#include "update/part_base.h"
#include "update/update_run.h"

namespace lumora::pack {

namespace {

constexpr char kBasicIndexStop[] =
    "once appended, it makes every later update stop with \"Bad file PARTBASE.TXT. Basic "
    "index error.\"";

// The names the updater gives its own files at the top of the installation: an entry of
// that name is never delivered, or stops this update or a later one.
constexpr const char* kOwnNames[] = {partbase::kInstalledPartBase, partbase::kNewPartBase,
                                     partbase::kWorkingCopy, partbase::kPalDataArh,
                                     journal::kJournalName};

Finding Make(Severity severity, const char* code, const std::string& entry, int64_t line,
             std::string message) {
  return Finding{severity, code, entry, line, std::move(message), {}};
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// '/' separates components as '\' does; names compare with '\'.
std::string Backslashed(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

// The fields of a record line, each closed by ';', and the rest after the last ';'.
std::vector<std::string> Fields(const std::string& line, std::string* rest) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t semi = line.find(';'); semi != std::string::npos; semi = line.find(';', start)) {
    fields.push_back(line.substr(start, semi - start));
    start = semi + 1;
  }
  *rest = line.substr(start);
  return fields;
}

bool Blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

std::string Printable(const std::string& text) {
  std::string shown;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    } else {
      shown += c;
    }
  }
  return shown;
}

// ---- the archive's entries and texts ---------------------------------------------------

ArchiveCheck::ArchiveCheck(const NameCodec& names, InstalledLookup installed)
    : names_(names), installed_(std::move(installed)) {}

ArchiveCheck::Merged ArchiveCheck::MergedAs(const std::string& name) {
  // As the update tells its two files: by an ASCII upper case at the top.
  const std::string upper = UpperCase(name);
  if (upper == UpperCase(partbase::kPartBase)) return Merged::kPartBase;
  if (upper == UpperCase(partbase::kPalData)) return Merged::kPalData;
  return Merged::kNone;
}

void ArchiveCheck::AddEntry(const std::string& name, bool directory) {
  entries_.push_back({name, directory});
}

void ArchiveCheck::AddText(const std::string& name, const std::string& text) {
  switch (MergedAs(name)) {
    case Merged::kPartBase:
      if (has_part_base_) return;
      has_part_base_ = true;
      part_base_name_ = name;
      part_base_ = text;
      break;
    case Merged::kPalData:
      if (has_pal_data_) return;
      has_pal_data_ = true;
      pal_data_name_ = name;
      pal_data_ = text;
      break;
    case Merged::kNone:
      break;
  }
}

void ArchiveCheck::SetInstalledPartBase(const std::string& text) {
  installed_part_base_ = text;
  has_installed_part_base_ = true;
}

std::string ArchiveCheck::Shown(const std::string& name) const {
  std::string text;
  names_.ToText(name, &text);
  return Printable(text);
}

std::vector<Finding> ArchiveCheck::Run() const {
  std::vector<Finding> out;
  CheckNames(&out);
  // Each text's findings by line.
  const auto by_line = [&out](size_t from) {
    std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
  };
  if (has_part_base_) {
    const size_t from = out.size();
    CheckPartBase(&out);
    by_line(from);
  }
  if (has_pal_data_) {
    const size_t from = out.size();
    CheckText(pal_data_name_, pal_data_, false, &out);
    by_line(from);
  }
  return out;
}

void ArchiveCheck::CheckNames(std::vector<Finding>* out) const {
  struct Seen {
    size_t index;
    bool directory;
  };
  std::map<std::string, Seen> seen;        // folded name (no trailing '\') -> first entry
  std::map<std::string, size_t> holders;   // folded folder -> first entry that lies in it
  std::set<std::string> made;              // folded folders that earlier entries create
  std::set<std::string> missing_reported;  // folders already named as missing
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const std::string& name = e.name;
    const auto error = [&](const char* code, const std::string& message) {
      out->push_back(Make(Severity::kError, code, name, 0, message));
    };
    const auto warning = [&](const char* code, const std::string& message) {
      out->push_back(Make(Severity::kWarning, code, name, 0, message));
    };
    if (!IsSafeEntryName(name)) {
      error("name-refused",
            "the updater refuses this name (\"Invalid filename\"): it is empty, absolute, "
            "names a drive, holds ':' or a \".\" or \"..\" component");
      continue;
    }
    if (!IsWindowsEntryName(name)) {
      error("name-windows",
            "Windows cannot create it as itself (< > \" | ? *, a control character, a name "
            "that ends in a dot or a space, or a device name such as CON, NUL or COM1), and "
            "the updater refuses it (\"Invalid filename\")");
    }
    if (!names_.Defines(name)) {
      error("name-codepage", "code page " + names_.name() +
                                 " has no character for a byte of it: the updater refuses it");
    }
    std::string plain = Backslashed(name);
    if (e.directory && !plain.empty() && plain.back() == '\\') plain.pop_back();
    const std::string folded = names_.Folded(plain);
    if (!e.directory && IsWorkingFileName(name)) {
      error("name-working",
            "named like the updater's own working file (\"~LumoraUpdate.<n>.tmp\", or "
            "\"TempFile.tmp\" at the top): extraction would rename it onto itself or delete it");
    }
    if (plain.find('\\') == std::string::npos) {
      for (const char* own : kOwnNames) {
        if (folded != names_.Folded(own)) continue;
        error("name-reserved", std::string("the updater's own name \"") + own +
                                   "\" for its working files: the entry is never delivered, "
                                   "or stops this update or a later one with \"File error.\"");
      }
      if (e.directory && MergedAs(plain) != Merged::kNone) {
        error("merged-folder",
              "a folder where the merge needs its file: the updater stops with \"File error.\"");
      }
    }

    // Names that the updater takes for one another.
    const auto first = seen.find(folded);
    if (first != seen.end()) {
      const Entry& other = entries_[first->second.index];
      std::string other_plain = Backslashed(other.name);
      if (other.directory && !other_plain.empty() && other_plain.back() == '\\') {
        other_plain.pop_back();
      }
      const std::string twice = "the same name as \"" + Shown(other.name) + "\"" +
                                (other_plain == plain ? "" : ", letter case aside");
      if (e.directory && other.directory) {
        warning("folder-twin", twice + ": one folder");
      } else if (!e.directory && !other.directory) {
        error("name-twin", twice +
                               ": the updater writes only the first, and this one is never "
                               "delivered");
      } else {
        error("file-folder", twice +
                                 ", one a file and one a folder: the updater stops with "
                                 "\"File access denied\", or never delivers one of them");
      }
    } else {
      seen.emplace(folded, Seen{i, e.directory});
    }
    if (!e.directory && first == seen.end()) {
      const auto held = holders.find(folded);
      if (held != holders.end()) {
        error("file-folder", "a file, while \"" + Shown(entries_[held->second].name) +
                                 "\" lies in a folder of this name: the updater stops with "
                                 "\"Invalid filename\" or \"File access denied\"");
      }
    }
    // The folders the entry lies in, outermost first.
    for (size_t cut = plain.find('\\'); cut != std::string::npos; cut = plain.find('\\', cut + 1)) {
      const std::string folder = names_.Folded(plain.substr(0, cut));
      holders.emplace(folder, i);
      const auto file = seen.find(folder);
      if (file != seen.end() && !file->second.directory) {
        error("file-folder", "lies in \"" + Shown(entries_[file->second.index].name) +
                                 "\", which the archive packs as a file: the updater stops "
                                 "with \"Invalid filename\"");
      }
    }
    if (e.directory) {
      // Extraction makes a folder with every folder above it.
      for (size_t cut = plain.find('\\'); cut != std::string::npos;
           cut = plain.find('\\', cut + 1)) {
        made.insert(names_.Folded(plain.substr(0, cut)));
      }
      made.insert(folded);
      continue;
    }
    const size_t last = plain.rfind('\\');
    if (last != std::string::npos) {
      const std::string folder = plain.substr(0, last);
      const std::string folder_folded = names_.Folded(folder);
      if (made.count(folder_folded) == 0 && missing_reported.insert(folder_folded).second) {
        if (!installed_) {
          warning("folder-missing", "lies in \"" + Shown(folder + "\\") +
                                        "\", which no earlier entry creates (the updater makes "
                                        "no folder for a file): the installation must have it");
        } else if (installed_(folder) != Stands::kFolder) {
          error("folder-missing", "lies in \"" + Shown(folder + "\\") +
                                      "\", which neither an earlier entry nor the installation "
                                      "holds: the updater stops with \"Invalid filename\"");
        }
      }
    }
    if (installed_ && MergedAs(plain) == Merged::kNone) {
      switch (installed_(plain)) {
        case Stands::kFile:
          warning("installed-file",
                  "stands in the installation already: an update never replaces a file, so "
                  "this one is never delivered");
          break;
        case Stands::kFolder:
          error("file-folder",
                "a folder of this name stands in the installation: the updater "
                "stops with \"File access denied\"");
          break;
        case Stands::kNothing:
          break;
      }
    }
  }
}

void ArchiveCheck::CheckPartBase(std::vector<Finding>* out) const {
  const std::string& entry = part_base_name_;
  CheckText(entry, part_base_, true, out);
  int64_t eof_at = -1;
  const std::vector<EditorLine> lines = EditorLines(part_base_, &eof_at);

  std::set<std::string> files;  // the archive's files, folded
  for (const Entry& e : entries_) {
    if (!e.directory) files.insert(names_.Folded(Backslashed(e.name)));
  }
  // The records that the merge would drop as installed already: their keys occur in a line
  // of the installed part base that does not begin with '#'.
  KeySet installed_keys;
  if (has_installed_part_base_) {
    for (const EditorLine& line : lines) {
      const std::string key = DuplicateKey(line.text);
      if (!IsCommentLine(line.text) && !key.empty()) installed_keys.Add(key);
    }
    if (installed_keys.size() != 0) {
      installed_keys.Build();
      for (const std::string& line : UpdaterLines(installed_part_base_)) {
        if (!(!line.empty() && line[0] == '#')) installed_keys.Scan(line);
      }
    }
  }

  std::unordered_map<std::string, int64_t> keys;  // key -> the line that has it first
  for (const EditorLine& line : lines) {
    const std::string& text = line.text;
    if (IsCommentLine(text)) continue;
    const auto error = [&](const char* code, const std::string& message) {
      out->push_back(Make(Severity::kError, code, entry, line.number, message));
    };
    const auto warning = [&](const char* code, const std::string& message) {
      out->push_back(Make(Severity::kWarning, code, entry, line.number, message));
    };
    const std::string index = BasicIndexText(text);
    if (!IsValidBasicIndex(index)) {
      std::string why = "basic index \"" + Printable(index) + "\" is not a whole number";
      if (index.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        why += " (the text begins with a UTF-8 byte order mark)";
      }
      error("basic-index", why + ": " + kBasicIndexStop);
    }
    std::string rest;
    const std::vector<std::string> fields = Fields(text, &rest);
    if (fields.size() < 5) {
      warning("record-shape", "a record of " +
                                  Plural(static_cast<int64_t>(fields.size()), "field", "fields") +
                                  " closed by ';', not five: \"basic index; whole number; "
                                  "whole number;image path;name;\"");
    } else if (fields.size() > 5 || !Blank(rest)) {
      warning("record-shape",
              "text after the record's fifth ';': \"basic index; whole number; "
              "whole number;image path;name;\" ends there");
    }
    for (size_t f = 1; f < 3 && f < fields.size(); ++f) {
      if (!IsValidBasicIndex(fields[f])) {
        warning("record-shape", std::string(f == 1 ? "second" : "third") + " field \"" +
                                    Printable(fields[f]) + "\" is not a whole number");
      }
    }
    const std::string key = DuplicateKey(text);
    if (key.empty()) {
      if (fields.size() >= 4) {
        warning("record-shape",
                "no image path: the merge never finds such a record installed, "
                "so every run of the update appends it again");
      }
      continue;
    }
    const auto earlier = keys.emplace(key, line.number);
    if (!earlier.second) {
      warning("duplicate-key", "the same image path as line " +
                                   std::to_string(earlier.first->second) +
                                   ": the merge appends both records");
    }
    if (has_installed_part_base_ && installed_keys.Found(key)) {
      warning("installed-duplicate",
              "its image path is in the installed part base already: the merge drops the "
              "record and warns \"Duplication elements!\"");
    }
    const std::string path = Backslashed(fields[3]);
    if (files.count(names_.Folded(path)) != 0) continue;
    if (!IsSafeEntryName(path)) {
      warning("image-missing",
              "image path \"" + Shown(fields[3]) + "\" does not lie below the installation folder");
    } else if (!installed_) {
      warning("image-missing", "image path \"" + Shown(fields[3]) +
                                   "\" names no file of the archive: the installation must "
                                   "have it");
    } else if (installed_(path) != Stands::kFile) {
      warning("image-missing", "image path \"" + Shown(fields[3]) +
                                   "\" names no file of the archive or the installation");
    }
  }
}

void ArchiveCheck::CheckText(const std::string& entry, const std::string& text, bool part_base,
                             std::vector<Finding>* out) const {
  int64_t eof_at = -1;
  const std::vector<EditorLine> lines = EditorLines(text, &eof_at);
  int64_t lf = 0, cr = 0, outside = 0;
  int64_t first_lf = 0, first_cr = 0, first_outside = 0;
  for (const EditorLine& line : lines) {
    if (line.end == EditorLine::kLf && lf++ == 0) first_lf = line.number;
    if (line.end == EditorLine::kCr && cr++ == 0) first_cr = line.number;
    if (!names_.Defines(line.text) && outside++ == 0) first_outside = line.number;
  }
  const auto also = [](int64_t n) {
    return n > 1 ? " (and " + Plural(n - 1, "line", "lines") + " more)" : std::string();
  };
  if (lf != 0) {
    // The updater reads a line up to a CR: an LF alone joins this line and the next.
    if (part_base) {
      out->push_back(Make(Severity::kError, "line-end", entry, first_lf,
                          "the line ends in an LF alone" + also(lf) +
                              ": the updater reads lines only up to a CR, so it takes this "
                              "line and the next for one, and the records after it escape "
                              "the basic index test and the duplicate check"));
    } else {
      out->push_back(Make(Severity::kWarning, "line-end", entry, first_lf,
                          "the line ends in an LF alone" + also(lf) +
                              ": the updater reads lines only up to a CR and appends this "
                              "line and the next as one"));
    }
  }
  if (cr != 0) {
    out->push_back(
        Make(Severity::kWarning, "line-end", entry, first_cr,
             "the line ends in a CR alone" + also(cr) + ": the merge writes CR LF for it"));
  }
  if (!lines.empty() && lines.back().end == EditorLine::kNone) {
    out->push_back(Make(Severity::kWarning, "last-line-end", entry, lines.back().number,
                        "the last line has no line end: the merge adds CR LF"));
  }
  if (eof_at >= 0 && static_cast<size_t>(eof_at) + 1 < text.size()) {
    const int64_t after = static_cast<int64_t>(text.size()) - eof_at - 1;
    const int64_t line = lines.empty()                           ? 1
                         : lines.back().end == EditorLine::kNone ? lines.back().number
                                                                 : lines.back().number + 1;
    out->push_back(Make(Severity::kError, "text-end", entry, line,
                        "a 0x1A byte ends the text for the updater: the " +
                            Plural(after, "byte", "bytes") + " after it are never merged"));
  }
  if (outside != 0) {
    out->push_back(Make(Severity::kWarning, "codepage", entry, first_outside,
                        "the line holds bytes that code page " + names_.name() +
                            " has no character for" + also(outside)));
  }
}

// ---- create's check ------------------------------------------------------------------

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + TextOf(path));
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + TextOf(path));
  return s.str();
}

namespace {

// The installation's folder as the core names paths in it: ending in '\'.
std::string InstallDir(const std::string& folder) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder;
  return folder + "\\";
}

InstalledLookup LookupIn(FileSystem& files, const std::string& folder) {
  const std::string dir = InstallDir(folder);
  return [&files, dir](const std::string& relative) {
    switch (files.Kind(dir + relative)) {
      case EntryKind::kFile:
        return Stands::kFile;
      case EntryKind::kDirectory:
        return Stands::kFolder;
      default:
        return Stands::kNothing;
    }
  };
}

// The installed part base's text, "" when there is none to read.
std::string InstalledPartBase(FileSystem& files, const std::string& folder) {
  std::string text;
  try {
    std::unique_ptr<File> file =
        files.Open(InstallDir(folder) + partbase::kPartBase, OpenMode::kRead);
    std::vector<uint8_t> piece(64 * 1024);
    for (;;) {
      const IoResult r = file->Read(piece.data(), piece.size());
      if (r.error != 0 || r.count == 0) break;
      text.append(reinterpret_cast<const char*>(piece.data()), r.count);
    }
  } catch (const RuntimeError&) {
  }
  return text;
}

}  // namespace

std::vector<Finding> CheckPacking(const NameCodec& names, const std::vector<PackedEntry>& entries,
                                  const std::string& installation) {
  Platform platform;
  std::unique_ptr<HeldFolderIndexes> held;
  if (!installation.empty()) {
    platform = CreateNativePlatform();
    // Every image path is looked up: each folder is read once, not once a lookup.
    held = std::make_unique<HeldFolderIndexes>(*platform.files);
  }
  ArchiveCheck check(
      names, installation.empty() ? InstalledLookup() : LookupIn(*platform.files, installation));
  for (const PackedEntry& e : entries) {
    check.AddEntry(e.name, e.source.empty());
    if (!e.source.empty() && ArchiveCheck::MergedAs(e.name) != ArchiveCheck::Merged::kNone) {
      check.AddText(e.name, ReadFile(e.source));
    }
  }
  return check.Run();
}

std::string FindingText(const NameCodec& names, const Finding& f, const std::string& whole) {
  std::string where = f.place.empty() ? whole : f.place;
  if (f.place.empty() && !f.entry.empty()) {
    where.clear();
    names.ToText(f.entry, &where);
    where = Printable(where);
  }
  if (f.line > 0) where += ":" + std::to_string(f.line);
  return std::string(f.severity == Severity::kError ? "error: " : "warning: ") + where + ": " +
         f.message;
}

void ReportPacking(const NameCodec& names, const std::vector<Finding>& findings,
                   const std::string& output) {
  // More than a screenful of warnings hides the errors: check lists them all.
  constexpr int64_t kShownWarnings = 20;
  int64_t errors = 0, warnings = 0;
  for (const Finding& f : findings) {
    // The manifest reader has said it already, and a PATH brings its folders.
    if (f.severity == Severity::kWarning && f.code == "folder-missing") continue;
    if (f.severity == Severity::kError) {
      ++errors;
    } else if (++warnings > kShownWarnings) {
      continue;
    }
    std::fprintf(stderr, "lumora-pack: %s\n", FindingText(names, f, output).c_str());
  }
  if (warnings > kShownWarnings) {
    std::fprintf(stderr, "lumora-pack: warning: %s more (lumora-pack check %s lists them all)\n",
                 Plural(warnings - kShownWarnings, "warning", "warnings").c_str(), output.c_str());
  }
  if (errors != 0) {
    throw std::runtime_error(output + " not written: " + Plural(errors, "error", "errors") +
                             " that the update would meet (--no-check packs it anyway)");
  }
}

// ---- lumora-pack check -----------------------------------------------------------------

namespace {

// An entry as the framing lays it out, read without the updater's refusals, so that every
// name is judged, not only those before the first refused one.
struct WalkedEntry {
  std::string name;
  bool directory = false;
  int64_t member_at = -1;  // the first length byte of a file's blocks
};

// Walks the framing from the start offset to the ';'; stops quietly where it breaks (the
// updater's own reading then says why).
std::vector<WalkedEntry> WalkEntries(FileSystem& files, const std::string& path, int64_t start) {
  std::vector<WalkedEntry> entries;
  try {
    ArchiveStream archive(files, path);
    archive.Seek(start);
    uint8_t b = 0;
    const auto next = [&archive, &b]() {
      archive.ReadExact(&b, 1);
      return b;
    };
    while (next() != format::kEntryMark) {
    }
    for (;;) {
      WalkedEntry e;
      while (next() != format::kNameEnd) {
        if (e.name.size() == format::kMaxNameLength) return entries;
        e.name.push_back(static_cast<char>(b));
      }
      e.member_at = archive.Position();
      uint8_t length = next();
      e.directory = length == 0;
      uint8_t block[format::kMaxBlockLength];
      while (length != 0) {
        archive.ReadExact(block, length);
        length = next();
      }
      if (e.directory) e.member_at = -1;
      entries.push_back(std::move(e));
      while (next() == format::kPadding) {
      }
      if (b != format::kEntryMark) return entries;
    }
  } catch (const RuntimeError&) {
  }
  return entries;
}

class StringSink : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    text.append(reinterpret_cast<const char*>(data), n);
    return true;
  }
  std::string text;
};

// A member's decoded text; false when it cannot be decoded (the archive check says why).
bool DecodeMember(FileSystem& files, const std::string& path, int64_t member_at,
                  std::string* text) {
  try {
    ArchiveStream archive(files, path);
    archive.Seek(member_at);
    BlockReader in;
    OutputBuffer out;
    Decoder decoder;
    StringSink sink;
    in.Prime(in.readByte(archive));
    decoder.makeExtract(archive, in, out, sink, nullptr);
    if (out.outCount > 0) sink.Write(out.outBuffer, static_cast<size_t>(out.outCount));
    *text = std::move(sink.text);
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    // Valid UTF-8 stays as it is; a byte outside it stands for the character of that
    // number.
    size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    char hex[8];
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b < 0x20 || b == 0x7F || !valid) {
      std::snprintf(hex, sizeof hex, "\\u%04x", b);
      out += hex;
    } else {
      out.append(text, i, length);
      i += length - 1;
    }
  }
  return out + "\"";
}

std::string Count(int64_t n) { return n < 0 ? "null" : std::to_string(n); }

struct Installation {
  bool checked = false;
  bool would_run = false;
  UpdateFigures figures;
};

// The updater's own check of the update against a copy of an installation, changing
// nothing: the finding of its refusal, if it refuses.
Installation CheckAgainst(const NameCodec& names, FileSystem& files, Registry& registry,
                          const CheckOptions& o, int64_t start,
                          const std::vector<WalkedEntry>& walked, std::vector<Finding>* findings) {
  Installation result;
  result.checked = true;
  const std::string dir = InstallDir(o.against);
  const bool interrupted = files.Kind(dir + journal::kJournalName) != EntryKind::kNone;
  if (!interrupted && (!files.FileExists(dir + partbase::kPartBase) ||
                       !files.FileExists(dir + partbase::kPalData))) {
    Finding f = Make(Severity::kError, "installation", "", 0,
                     std::string("no ") + partbase::kPartBase + " and " + partbase::kPalData +
                         " here: the updater finds no installation (\"You have not correct "
                         "installation for Lumora.\")");
    f.place = o.against;
    findings->push_back(std::move(f));
    return result;
  }
  NullBackend backend;
  Application app(backend, "LumoraUpdate");
  SelfExtractor extractor(files, &app);
  extractor.SetArchive(o.updater, start);
  size_t verified = 0;
  extractor.on_verified = [&verified](const std::string&, bool, int64_t, int64_t) { ++verified; };
  UpdateRun run(registry, files, app, extractor);
  run.check_only = true;
  HeldFolderIndexes held(files);
  std::string refusal;
  try {
    result.would_run = run.CheckUpdate(dir);
    if (!result.would_run && !app.ShownMessages().empty()) {
      refusal = app.ShownMessages().back().text;
    }
  } catch (const RuntimeError& e) {
    refusal = e.what();
    std::string entry;
    if (verified < walked.size() && names.ToText(walked[verified].name, &entry)) {
      refusal += " (at " + Printable(entry) + ")";
    }
  }
  if (result.would_run) {
    result.figures = run.figures();
    return result;
  }
  for (size_t at = refusal.find("\n\r"); at != std::string::npos; at = refusal.find("\n\r")) {
    refusal.replace(at, 2, " ");
  }
  Finding f = Make(Severity::kError, "installation", "", 0,
                   "the updater's check refuses the update here: \"" + refusal + "\"");
  f.place = o.against;
  findings->push_back(std::move(f));
  return result;
}

}  // namespace

int CheckCommand(const NameCodec& names, const CheckOptions& o) {
  Platform platform = CreateNativePlatform();
  FileSystem& files = *platform.files;
  HeldFolderIndexes held(files);
  const int64_t start = o.offset >= 0 ? o.offset : ReadStartOffset(files, o.updater);
  const std::vector<WalkedEntry> walked = WalkEntries(files, o.updater, start);

  std::vector<Finding> findings;
  // The framing, the trailer and every member, as the updater reads them.
  SelfExtractor extractor(files, nullptr);
  extractor.SetArchive(o.updater, start);
  size_t verified = 0;
  extractor.on_verified = [&verified](const std::string&, bool, int64_t, int64_t) { ++verified; };
  ArchiveSummary summary;
  bool sound = true;
  std::string damage;
  std::string damaged_entry;
  bool name_refused = false;
  try {
    summary = extractor.Verify();
  } catch (const RuntimeError& e) {
    sound = false;
    damage = e.what();
    name_refused = dynamic_cast<const IoError*>(&e) != nullptr;
    if (verified < walked.size()) damaged_entry = walked[verified].name;
  }

  std::unique_ptr<ArchiveCheck> check;
  check = std::make_unique<ArchiveCheck>(
      names, o.against.empty() ? InstalledLookup() : LookupIn(files, o.against));
  if (!o.against.empty()) check->SetInstalledPartBase(InstalledPartBase(files, o.against));
  for (const WalkedEntry& e : walked) {
    check->AddEntry(e.name, e.directory);
    std::string text;
    if (!e.directory && ArchiveCheck::MergedAs(e.name) != ArchiveCheck::Merged::kNone &&
        DecodeMember(files, o.updater, e.member_at, &text)) {
      check->AddText(e.name, text);
    }
  }
  std::vector<Finding> named = check->Run();
  if (!sound) {
    // A name the updater refuses stops its reading there; the name's own finding says so.
    const bool explained =
        name_refused && std::any_of(named.begin(), named.end(), [&](const Finding& f) {
          return f.severity == Severity::kError && f.entry == damaged_entry;
        });
    if (!explained) {
      findings.push_back(Make(Severity::kError, "archive", damaged_entry, 0,
                              "the updater stops reading the archive here: " + damage));
    }
  }
  findings.insert(findings.end(), named.begin(), named.end());

  Installation installation;
  if (!o.against.empty() && sound) {
    installation = CheckAgainst(names, files, *platform.registry, o, start, walked, &findings);
  }

  int64_t errors = 0, warnings = 0;
  for (const Finding& f : findings) ++(f.severity == Severity::kError ? errors : warnings);
  const int status = errors != 0 || (o.strict && warnings != 0) ? 1 : 0;

  if (o.json) {
    std::string j = "{\n  \"updater\": " + JsonString(o.updater) + ",\n  \"archive\": ";
    if (sound) {
      j += "{\"sound\": true, \"files\": " + std::to_string(summary.files) +
           ", \"directories\": " + std::to_string(summary.directories) +
           ", \"decoded_bytes\": " + std::to_string(summary.decoded_bytes) +
           ", \"checksum\": " + (summary.has_trailer ? "\"matches\"" : "null") + "}";
    } else {
      j += "{\"sound\": false}";
    }
    j += ",\n  \"findings\": [";
    for (size_t i = 0; i < findings.size(); ++i) {
      const Finding& f = findings[i];
      std::string entry;
      names.ToText(f.entry, &entry);
      j += std::string(i ? "," : "") + "\n    {\"severity\": " +
           (f.severity == Severity::kError ? "\"error\"" : "\"warning\"") +
           ", \"code\": " + JsonString(f.code) +
           ", \"entry\": " + (f.entry.empty() ? "null" : JsonString(entry)) +
           ", \"line\": " + (f.line > 0 ? std::to_string(f.line) : "null") +
           (f.place.empty() ? "" : ", \"place\": " + JsonString(f.place)) +
           ", \"message\": " + JsonString(f.message) + "}";
    }
    j += std::string(findings.empty() ? "" : "\n  ") +
         "],\n  \"errors\": " + std::to_string(errors) +
         ",\n  \"warnings\": " + std::to_string(warnings);
    if (installation.checked) {
      j += ",\n  \"installation\": {\"folder\": " + JsonString(o.against) +
           ", \"would_run\": " + (installation.would_run ? "true" : "false");
      if (installation.would_run) {
        const UpdateFigures& fig = installation.figures;
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", fig.archive_crc);
        j += ", \"figures\": {\"archive_bytes\": " + std::to_string(fig.archive_bytes) +
             ", \"archive_crc\": \"" + crc + "\", \"new_files\": " + Count(fig.files) +
             ", \"new_folders\": " + Count(fig.folders) + ", \"records\": " + Count(fig.records) +
             ", \"duplicates\": " + Count(fig.duplicates) +
             ", \"data_lines\": " + Count(fig.data_lines) +
             ", \"bytes_needed\": " + Count(fig.bytes_needed) +
             ", \"bytes_free\": " + Count(fig.bytes_free) +
             "}, \"figures_text\": " + JsonString(FiguresText(fig));
      }
      j += "}";
    }
    j += ",\n  \"status\": " + std::to_string(status) + "\n}\n";
    std::fputs(j.c_str(), stdout);
    return status;
  }

  if (sound) {
    std::printf("%s: %d files, %d directories, %lld bytes decoded, %s\n", o.updater.c_str(),
                summary.files, summary.directories, static_cast<long long>(summary.decoded_bytes),
                summary.has_trailer ? "checksum matches" : "no checksum trailer");
  }
  for (const Finding& f : findings) {
    std::printf("%s\n", FindingText(names, f, o.updater).c_str());
  }
  if (installation.would_run) {
    std::printf("%s: the update would run: %s\n", o.against.c_str(),
                FiguresText(installation.figures).c_str());
  }
  std::printf("%s: %s, %s\n", o.updater.c_str(), Plural(errors, "error", "errors").c_str(),
              Plural(warnings, "warning", "warnings").c_str());
  return status;
}

}  // namespace lumora::pack
