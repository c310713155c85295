// lumora-pack: builds updaters from a stub and a folder of files, and lists, tests and
// extracts existing updaters or raw archives.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/crc32.h"
#include "archive/entry_name.h"
#include "archive/format.h"
#include "archive/offset_marker.h"
#include "archive/self_extractor.h"
#include "archive/writer.h"
#include "pack/check.h"
#include "pack/diff.h"
#include "pack/host.h"
#include "pack/pe_image.h"
#include "pack/pipeline.h"
#include "platform/errors.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the work failed: damaged archive, unreadable file, ...
constexpr int kExitUsage = 2;   // the command line is wrong

const char kUsage[] =
    "Usage:\n"
    "  lumora-pack create --stub STUB -o OUT [-C DIR] PATH...   build an updater\n"
    "  lumora-pack create --raw -o OUT [-C DIR] PATH...         archive alone (read it with "
    "--offset 1)\n"
    "  lumora-pack create ... --manifest LIST                   entries exactly as listed, in "
    "order\n"
    "  lumora-pack list    [--offset N] FILE                    kind, name, compressed and "
    "decoded sizes\n"
    "  lumora-pack test    [--offset N] FILE                    decode everything; exit 0 only "
    "if all is sound\n"
    "  lumora-pack extract [--offset N] FILE -C DIR             extract, never overwriting\n"
    "  lumora-pack check   [--offset N] UPDATER [--against DIR] [--strict] [--format json]\n"
    "                                                           what the update would meet\n"
    "  lumora-pack diff    OLD NEW (--stub STUB | --raw) -o OUT [--allow-changed]\n"
    "                      [--manifest-out LIST]                the update from release OLD "
    "to NEW\n"
    "\n"
    "Options:\n"
    "  -C DIR          folder that PATHs and manifest names are relative to (create), or the\n"
    "                  folder to extract into, made with its parents if missing (extract)\n"
    "  --stub STUB     the LumoraUpdate executable to append the archive to\n"
    "  --raw           write the archive alone, without a stub\n"
    "  --manifest LIST one archive name a line ('\\' between components, a name ending in\n"
    "                  '\\' is a directory entry); nothing else is added\n"
    "  --clear-policy full|adaptive\n"
    "                  when the encoder starts its dictionary afresh: only when it is full,\n"
    "                  or when compression suffers; adaptive also looks ahead to choose\n"
    "                  shorter codes where that saves codes (default: adaptive)\n"
    "  -j N            encode N files at a time, one per core (default: the number of\n"
    "                  cores); the archive is the same for every N\n"
    "  --codepage CP   the 8-bit code page that names are stored in, by its iconv name\n"
    "                  (default: $LUMORA_CODEPAGE, else CP1252, that is Windows-1252);\n"
    "                  on Windows CP1250, 1250 or Windows-1250 (default: the ANSI code page)\n"
    "  --no-trailer    leave out the integrity trailer\n"
    "  --no-check      pack even what the check calls an error (for tests of the\n"
    "                  updater's own refusals)\n"
    "  --against DIR   check: also run the updater's own check against DIR, a copy of a\n"
    "                  customer's installation, changing nothing, and show its figures\n"
    "  --strict        check: warnings fail too\n"
    "  --format text|json\n"
    "                  check: the report as text (default) or as one JSON object\n"
    "  --allow-changed diff: a file that OLD and NEW hold with other bytes is left out with\n"
    "                  a warning, not an error\n"
    "  --manifest-out LIST\n"
    "                  diff: write the names it packed, one a line, as --manifest reads them\n"
    "  --offset N      archive start offset (image length + 1); default: read the stub's\n"
    "                  marker, else 214529\n"
    "  -v, --verbose   one line per entry with its sizes\n"
    "  -q, --quiet     no progress display\n"
    "  -h, --help      this text\n"
    "\n"
    "A PATH names a file or a folder below DIR; a folder adds its own directory entry, then\n"
    "its contents in name order, and a PATH inside a folder first adds the entries of the\n"
    "folders it lies in. Progress is shown on standard error when it is a terminal.\n"
    "\n"
    "Names are read in the encoding of the locale (LC_ALL, LC_CTYPE, LANG; the C locale\n"
    "counts as UTF-8), on Windows from the file system and the manifest in the ANSI code\n"
    "page, and stored in the code page; list and extract turn them back. A name\n"
    "that the code page cannot write, or that holds '\\', ':', a NUL or a control\n"
    "character, is refused and nothing is written.\n"
    "\n"
    "\n"
    "create writes OUT.part beside OUT and renames it to OUT when it is whole; a failure,\n"
    "Ctrl-C, SIGTERM or SIGHUP removes it. After a kill that cannot be caught (SIGKILL, a\n"
    "crash, a power cut; on Windows any interruption) OUT.part stays: delete it by hand.\n"
    "OUT itself is never left half-written. Members waiting for their turn spill to\n"
    "unnamed temporary files in $TMPDIR (default /tmp; on Windows the TEMP folder),\n"
    "which never stay.\n"
    "\n"
    "check reads the whole archive as the updater does (its framing, the checksum trailer\n"
    "and every member, as test does) and judges it by the updater's own rules: names it\n"
    "refuses; names it takes for one another (letter case aside, a file and a folder of one\n"
    "name); its working and reserved names; in partbase.txt each record's basic index and\n"
    "shape (index; n; n;image path;name;), image paths that name no file of the archive\n"
    "(with --against, nor of the installation), records with one image path, line ends\n"
    "other than CR LF, a missing last line end; in PalData.txt its line ends and text that\n"
    "the code page lacks. With --against it runs the updater's check against DIR as\n"
    "LumoraUpdate --check does and prints the same figures. A finding names the entry and\n"
    "line and is an error (the update would fail, deliver less than the archive holds, or\n"
    "leave something that stops a later update, as a bad basic index does: \"Bad file\n"
    "PARTBASE.TXT. Basic index error.\") or a warning. create runs the same checks on what\n"
    "it packs, shows the warnings and refuses an error.\n"
    "\n"
    "diff compares two releases of the database as installed (folders that hold\n"
    "Partbase.txt and PalData.txt) and packs the update that takes OLD to NEW: the files\n"
    "and folders that NEW adds (names compared letter case aside), partbase.txt with NEW's\n"
    "records whose image path OLD's part base does not hold, each with the comment lines\n"
    "after it (the merge keeps or drops a comment with the record before it), and\n"
    "PalData.txt with the lines NEW adds after OLD's. What no update can deliver is an\n"
    "error, one a line: a file that OLD and NEW hold with other bytes, a file, folder or\n"
    "record of OLD that NEW lacks, an OLD PalData.txt that is not the start of NEW's. Run a\n"
    "second time, the update changes nothing more but PalData.txt, to which every run\n"
    "appends.\n"
    "\n"
    "The same inputs give the same updater byte for byte, whatever -j, the folder the\n"
    "packer runs in, TMPDIR or the locale (as long as it reads the names as the same\n"
    "characters); only another stub gives another updater.\n"
    "\n"
    "Exit status: 0 success, 1 the work failed (the message says why) or check found an\n"
    "error (with --strict also a warning), 2 wrong usage.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string command;
  std::string stub, output, dir, manifest, codepage;
  bool raw = false, verbose = false, quiet = false, trailer = true;
  std::optional<int64_t> offset;
  int jobs = 0;  // 0: one per core
  lumora::ClearPolicy policy = lumora::ClearPolicy::kAdaptive;
  std::vector<std::string> paths;
  const lumora::pack::NameCodec* names = nullptr;  // the code page of archive names
  // check and diff
  bool check = true, strict = false, allow_changed = false;
  std::string against, format, manifest_out;
  std::string installation;  // where create's check looks for image paths and folders
};

// Progress on standard error, only when it is a terminal, about six times a second.
class Progress {
 public:
  Progress(bool enabled, std::string what)
      : enabled_(enabled && lumora::pack::IsTerminal(stderr)), what_(std::move(what)) {}
  ~Progress() { Done(); }
  void Update(int64_t done, int64_t total) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(160)) return;
    last_ = now;
    shown_ = true;
    int pct = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    int bar = pct * 30 / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", what_.c_str(), std::string(bar, '#').c_str(),
                 std::string(30 - bar, '.').c_str(), pct);
    std::fflush(stderr);
  }
  void Done() {
    // Spaces rather than an erase sequence, which older Windows consoles print as it is.
    if (enabled_ && shown_)
      std::fprintf(stderr, "\r%*s\r", static_cast<int>(what_.size()) + 38, "");
    shown_ = false;
  }

 private:
  bool enabled_;
  std::string what_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

int64_t ParseOffset(const std::string& s) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (errno || end == s.c_str() || *end || v < 1) throw UsageError("bad --offset: " + s);
  return v;
}

Options Parse(const std::vector<std::string>& args) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      o.command = "help";
      return o;
    } else if (a == "--stub") {
      o.stub = value();
    } else if (a == "-o" || a == "--output") {
      o.output = value();
    } else if (a == "-C") {
      o.dir = value();
    } else if (a == "--manifest") {
      o.manifest = value();
    } else if (a == "--codepage") {
      o.codepage = value();
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--no-trailer") {
      o.trailer = false;
    } else if (a == "--no-check") {
      o.check = false;
    } else if (a == "--against") {
      o.against = value();
    } else if (a == "--strict") {
      o.strict = true;
    } else if (a == "--format") {
      o.format = value();
      if (o.format != "text" && o.format != "json") {
        throw UsageError("unknown --format: " + o.format);
      }
    } else if (a == "--allow-changed") {
      o.allow_changed = true;
    } else if (a == "--manifest-out") {
      o.manifest_out = value();
    } else if (a == "--offset") {
      o.offset = ParseOffset(value());
    } else if (a == "-j" || a == "--jobs") {
      const std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (end == v.c_str() || *end || n < 1 || n > 256) throw UsageError("bad -j: " + v);
      o.jobs = static_cast<int>(n);
    } else if (a.size() > 2 && a.compare(0, 2, "-j") == 0 &&
               a.find_first_not_of("0123456789", 2) == std::string::npos) {
      o.jobs = std::atoi(a.c_str() + 2);
      if (o.jobs < 1 || o.jobs > 256) throw UsageError("bad -j: " + a.substr(2));
    } else if (a == "--clear-policy") {
      std::string p = value();
      if (p == "full") {
        o.policy = lumora::ClearPolicy::kBaseline;
      } else if (p == "adaptive") {
        o.policy = lumora::ClearPolicy::kAdaptive;
      } else {
        throw UsageError("unknown --clear-policy: " + p);
      }
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.paths.push_back(a);
    }
  }
  if (o.command.empty()) throw UsageError("no command given");
  return o;
}

// ---- names --------------------------------------------------------------------------

// A name as the terminal shows it: in the locale's encoding, control bytes as \xNN.
std::string Shown(const std::string& native) { return lumora::pack::Printable(native); }

// An archive name as the terminal shows it.
std::string ShownArchiveName(const lumora::pack::NameCodec& names, const std::string& name) {
  std::string native;
  names.ToText(name, &native);
  return Shown(native);
}

// What keeps a native name from the archive, "" when nothing does: a byte that no Windows
// name holds, or a character the code page lacks (fits is false). With separators the name
// is a whole manifest line, '\\' between its components.
constexpr char kNotWindowsName[] =
    "Windows cannot create it as itself (< > \" | ? *, a name that ends in a dot or a space, "
    "or a device name such as CON, NUL or COM1), and the updater refuses it";

std::string NameProblem(const lumora::pack::NameCodec& names, const std::string& native,
                        bool separators, bool fits) {
  for (char c : native) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0) return "it holds a NUL byte";
    if (b < 0x20 || b == 0x7F) {
      char text[64];
      std::snprintf(text, sizeof text, "it holds the control character 0x%02X", b);
      return text;
    }
    if (c == '\\' && !separators) {
      return "it holds '\\', which the updater takes for a folder separator";
    }
    if (c == ':') return "it holds ':', which no Windows file name may hold";
  }
  if (!fits) {
    return "code page " + names.name() + " cannot write every character of it";
  }
  if (separators && !lumora::IsSafeEntryName(native)) {
    return "the updater refuses it (a \".\" or \"..\" component, or a name that is not "
           "relative)";
  }
  return "";
}

// ---- create -------------------------------------------------------------------------

struct Entry {
  std::string name;  // archive name, '\' separated, in the code page
  fs::path source;   // empty for a directory
};

// The archive name of a path below the -C folder; throws when one of its names cannot be
// packed.
std::string ArchiveName(const lumora::pack::NameCodec& names, const fs::path& relative) {
  std::string s, name;
  for (const fs::path& component : relative) {
    std::string text;
    name.clear();
    const bool fits = names.FromPath(component, &text, &name);
    std::string problem = NameProblem(names, text, false, fits);
    if (!problem.empty()) {
      throw std::runtime_error("cannot pack \"" + Shown(lumora::pack::TextOf(relative)) +
                               "\": " + problem);
    }
    if (!s.empty()) s += '\\';
    s += name;
  }
  return s;
}

void AddTree(const lumora::pack::NameCodec& names, const fs::path& base, const fs::path& relative,
             std::vector<Entry>* out) {
  fs::path full = base / relative;
  std::error_code ec;
  auto status = fs::status(full, ec);
  if (ec || !fs::exists(status)) {
    throw std::runtime_error("cannot read " + lumora::pack::TextOf(full));
  }
  if (fs::is_directory(status)) {
    out->push_back({ArchiveName(names, relative) + "\\", {}});
    std::vector<fs::path> children;
    for (const auto& e : fs::directory_iterator(full)) children.push_back(e.path().filename());
    std::sort(children.begin(), children.end());
    for (const auto& c : children) AddTree(names, base, relative / c, out);
  } else {
    out->push_back({ArchiveName(names, relative), full});
  }
}

// The folders an archive name lies in, outermost first, each with its trailing '\'.
std::vector<std::string> FoldersOf(const std::string& name) {
  std::vector<std::string> folders;
  std::string trimmed = name;
  if (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
  for (size_t cut = trimmed.find('\\'); cut != std::string::npos;
       cut = trimmed.find('\\', cut + 1)) {
    folders.push_back(trimmed.substr(0, cut + 1));
  }
  return folders;
}

std::vector<Entry> CollectEntries(const Options& o) {
  const lumora::pack::NameCodec& names = *o.names;
  fs::path base = lumora::pack::PathOf(o.dir.empty() ? "." : o.dir);
  std::vector<Entry> entries;
  if (!o.manifest.empty()) {
    if (!o.paths.empty()) throw UsageError("give either PATHs or --manifest, not both");
    std::ifstream in(lumora::pack::PathOf(o.manifest), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read manifest " + o.manifest);
    std::string line;
    std::set<std::string> folders;  // folder entries listed so far
    for (int number = 1; std::getline(in, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      // '/' separates folders as '\\' does (as on Windows); the archive holds '\\'.
      std::replace(line.begin(), line.end(), '/', '\\');
      const std::string native = line;
      line.clear();
      const bool fits = names.FromText(native, &line);
      std::string problem = NameProblem(names, native, true, fits);
      if (problem.empty() && !lumora::IsWindowsEntryName(line)) problem = kNotWindowsName;
      if (!problem.empty()) {
        throw std::runtime_error(o.manifest + ":" + std::to_string(number) + ": cannot pack \"" +
                                 Shown(native) + "\": " + problem);
      }
      // The updater makes no folder for a file: one that no earlier line creates must
      // already be in the installation. That is the vendor's choice, but worth a word.
      for (const std::string& folder : FoldersOf(line)) {
        if (folders.count(names.Folded(folder)) == 0 && line.back() != '\\') {
          std::fprintf(stderr,
                       "lumora-pack: warning: %s:%d: \"%s\" lies in \"%s\", which no earlier "
                       "line creates; the installation must already have that folder\n",
                       o.manifest.c_str(), number, Shown(native).c_str(),
                       ShownArchiveName(names, folder).c_str());
          break;
        }
      }
      if (line.back() == '\\') {
        folders.insert(names.Folded(line));
        entries.push_back({line, {}});
      } else {
        std::string path = native;
        std::replace(path.begin(), path.end(), '\\', '/');
        entries.push_back({line, base / lumora::pack::PathOf(path)});
      }
    }
  } else {
    if (o.paths.empty()) throw UsageError("create needs at least one PATH or --manifest");
    for (const auto& p : o.paths) {
      fs::path rel = lumora::pack::PathOf(p).lexically_normal();
      // A root (on Windows also "\\x" and "C:x") or ".." leaves the folder.
      if (rel.has_root_path() || rel.empty() || *rel.begin() == "..") {
        throw UsageError("PATH must lie below the -C folder: " + p);
      }
      if (!rel.has_filename()) rel = rel.parent_path();  // "Addition/"
      if (rel == ".") {
        // The -C folder itself: its contents in name order, with no entry of its own (the
        // installation is that folder; a "." component is no name the updater takes).
        std::vector<fs::path> children;
        for (const auto& e : fs::directory_iterator(base)) children.push_back(e.path().filename());
        std::sort(children.begin(), children.end());
        for (const auto& c : children) AddTree(names, base, c, &entries);
        continue;
      }
      // A PATH inside a folder brings the folders it lies in, outermost first: the updater
      // creates folders only for their own entries.
      for (const std::string& folder : FoldersOf(ArchiveName(names, rel))) {
        entries.push_back({folder, {}});
      }
      AddTree(names, base, rel, &entries);
    }
    // PATHs that overlap (a folder and a file in it, or one PATH twice) name some entries
    // more than once: the first of each stays.
    std::set<std::string> seen;
    std::vector<Entry> unique;
    for (auto& e : entries) {
      if (seen.insert(names.Folded(e.name)).second) unique.push_back(std::move(e));
    }
    entries = std::move(unique);
  }
  for (const auto& e : entries) {
    if (!lumora::IsSafeEntryName(e.name)) {
      throw std::runtime_error("entry name refused by the updater: \"" +
                               ShownArchiveName(names, e.name) + "\"");
    }
    if (!lumora::IsWindowsEntryName(e.name)) {
      throw std::runtime_error("cannot pack \"" + ShownArchiveName(names, e.name) +
                               "\": " + kNotWindowsName);
    }
  }
  return entries;
}

class StreamSink : public lumora::ByteSink {
 public:
  explicit StreamSink(std::ofstream& out) : out_(out) {}
  bool Write(const uint8_t* data, size_t n) override {
    errno = 0;
    out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    if (!out_ && error_ == 0) error_ = errno != 0 ? errno : EIO;
    return static_cast<bool>(out_);
  }
  // The errno of the first failed write, 0 while none failed.
  int error() const { return error_; }

 private:
  std::ofstream& out_;
  int error_ = 0;
};

// Reads OUT.part back before it takes the updater's name: it must hold exactly the bytes
// written to it (stub and archive), and the archive must match the trailer's CRC-32. This
// catches what no failed write reported: data the system took and lost, a file changed
// while it was written. The file was just written, so it is read from the page cache.
// Reads back the updater being written, from the file itself, and computes the archive's
// checksum again from what it holds: a write the file system lost shows before the file
// takes its name. Where the system allows (kReadBackWhileWriting), the writing thread
// reads each stretch while the encoders work on, so that little is left for the end.
class ReadBack {
 public:
  ReadBack(fs::path path, std::string shown, int64_t archive_start)
      : path_(std::move(path)), shown_(std::move(shown)), at_(archive_start) {}

  // Sums the archive's bytes up to the file offset end, all written and flushed. The file
  // is read from its start, in order, without a seek.
  void To(int64_t end) {
    if (end <= at_) return;
    if (!in_.is_open()) {
      in_.open(path_, std::ios::binary);
      if (!in_) Fail();
      Read(at_, nullptr);  // the stub
    }
    Read(end - at_, &crc_);
    at_ = end;
  }

  // Once the file is closed: it holds exactly expected bytes and, with a trailer, the
  // trailer matches the archive read back.
  void Finish(int64_t expected, bool trailer) {
    std::error_code ec;
    const auto size = static_cast<int64_t>(fs::file_size(path_, ec));
    if (ec) throw std::runtime_error("cannot read back " + shown_ + ": " + ec.message());
    if (size != expected) {
      throw std::runtime_error(shown_ + " holds " + std::to_string(size) + " bytes, but " +
                               std::to_string(expected) + " were written to it");
    }
    if (!trailer) return;
    const int64_t archive_end = size - static_cast<int64_t>(lumora::format::kTrailerLength);
    if (archive_end < at_) Fail();
    To(archive_end);
    unsigned char tail[lumora::format::kTrailerLength];
    if (!in_.is_open() || !in_.read(reinterpret_cast<char*>(tail), sizeof tail)) Fail();
    in_.close();  // on Windows an open handle would keep the file from its name
    uint32_t stored = 0;
    for (int i = 3; i >= 0; --i) {
      stored = (stored << 8) | tail[lumora::format::kTrailerTagLength + i];
    }
    if (std::memcmp(tail, lumora::format::kTrailerTag, lumora::format::kTrailerTagLength) != 0 ||
        stored != crc_.Value()) {
      throw std::runtime_error("the archive read back from " + shown_ +
                               " does not match its checksum");
    }
  }

 private:
  [[noreturn]] void Fail() { throw std::runtime_error("cannot read back " + shown_); }

  // Reads the next n bytes of the file into the sum, or past them with none.
  void Read(int64_t n, lumora::Crc32* crc) {
    buffer_.resize(1 << 20);
    while (n > 0) {
      const auto want =
          static_cast<std::streamsize>(std::min<int64_t>(n, static_cast<int64_t>(buffer_.size())));
      if (!in_.read(buffer_.data(), want)) Fail();
      if (crc)
        crc->Update(reinterpret_cast<const uint8_t*>(buffer_.data()), static_cast<size_t>(want));
      n -= want;
    }
  }

  fs::path path_;
  std::string shown_;
  int64_t at_;  // the file offset read up to
  std::ifstream in_;
  lumora::Crc32 crc_;
  std::vector<char> buffer_;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(lumora::pack::PathOf(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The archive checks on what create is about to pack: warnings are shown, an error refuses.
void CheckBeforePacking(const Options& o, const std::vector<Entry>& entries) {
  std::vector<lumora::pack::PackedEntry> packed;
  for (const auto& e : entries) packed.push_back({e.name, e.source});
  lumora::pack::ReportPacking(
      *o.names, lumora::pack::CheckPacking(*o.names, packed, o.installation), o.output);
}

// The bytes of debug information a stub carries: its ELF sections named .debug_*, or its
// PE sections so named, directly or (as MinGW names them) through "/NN", an offset into the
// COFF string table. 0 for a stripped stub or one that is neither ELF nor PE. Every customer
// downloads the stub with every update: the one that ships carries none.
uint64_t DebugSectionBytes(const std::string& image) {
  // Little-endian fields; one that lies beyond the image reads as 0.
  auto at = [&image](uint64_t offset, int width) -> uint64_t {
    uint64_t v = 0;
    if (offset > image.size() || image.size() - offset < static_cast<uint64_t>(width)) return 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(image[offset + i]);
    return v;
  };
  auto named_debug = [&image](uint64_t offset) {
    return offset < image.size() && image.compare(offset, 7, ".debug_") == 0;
  };
  uint64_t total = 0;
  if (image.compare(0, 4, "\177ELF") == 0 && at(5, 1) == 1) {
    const bool wide = at(4, 1) == 2;  // ELFCLASS64
    const uint64_t table = wide ? at(0x28, 8) : at(0x20, 4);
    const uint64_t entry = at(wide ? 0x3A : 0x2E, 2), count = at(wide ? 0x3C : 0x30, 2);
    const uint64_t names = table + at(wide ? 0x3E : 0x32, 2) * entry;
    const uint64_t strings = wide ? at(names + 24, 8) : at(names + 16, 4);
    for (uint64_t s = table; s < table + count * entry; s += entry) {
      const bool in_file = at(s + 4, 4) != 8;  // SHT_NOBITS takes no room in the file
      if (in_file && named_debug(strings + at(s, 4))) total += wide ? at(s + 32, 8) : at(s + 20, 4);
    }
    return total;
  }
  const uint64_t pe = at(0x3C, 4);
  if (image.compare(0, 2, "MZ") != 0 || at(pe, 4) != 0x4550) return 0;  // "PE\0\0"
  // The string table follows the COFF symbols (18 bytes each).
  const uint64_t strings = at(pe + 12, 4) + at(pe + 16, 4) * 18;
  const uint64_t table = pe + 24 + at(pe + 20, 2);
  for (uint64_t s = table; s < table + at(pe + 6, 2) * 40 && s + 40 <= image.size(); s += 40) {
    uint64_t name = s;
    if (image[s] == '/') {
      name = 0;
      for (uint64_t d = s + 1; d < s + 8 && image[d] >= '0' && image[d] <= '9'; ++d) {
        name = name * 10 + static_cast<uint64_t>(image[d] - '0');
      }
      name += strings;
    }
    if (named_debug(name)) total += at(s + 16, 4);
  }
  return total;
}

int Create(const Options& o, std::vector<Entry>* given = nullptr) {
  const lumora::pack::NameCodec& names = *o.names;
  if (o.output.empty()) throw UsageError("create needs -o OUT");
  if (o.raw == !o.stub.empty()) throw UsageError("create needs exactly one of --stub and --raw");
  const fs::path output = lumora::pack::PathOf(o.output);
  {
    // Refused before any work: the rename at the end could not replace a folder.
    std::error_code ec;
    if (fs::is_directory(output, ec)) {
      throw std::runtime_error(o.output + " is a folder: -o names the file to write");
    }
  }
  std::vector<Entry> entries = given ? std::move(*given) : CollectEntries(o);
  if (o.check) CheckBeforePacking(o, entries);

  std::string stub;
  int64_t marker_at = -1;
  if (!o.raw) {
    stub = ReadWhole(o.stub);
    if (lumora::pack::SignatureLength(stub) != 0) {
      throw std::runtime_error(o.stub +
                               " is signed, and the archive appended to it would break the "
                               "signature: pack the unsigned stub and sign the updater");
    }
    if (const uint64_t debug = DebugSectionBytes(stub)) {
      std::fprintf(stderr,
                   "lumora-pack: warning: %s carries %llu bytes of debug information: every "
                   "customer downloads them with the update; pack the stub that ships\n",
                   o.stub.c_str(), static_cast<unsigned long long>(debug));
    }
    int count = 0;
    marker_at = lumora::FindOffsetMarker(stub, &count);
    if (count != 1) {
      throw std::runtime_error(o.stub + (count == 0 ? " carries no archive offset marker"
                                                    : " carries more than one offset marker"));
    }
    unsigned char field[lumora::format::kOffsetFieldLength];
    lumora::EncodeOffsetField(stub.size() + 1, field);
    std::memcpy(&stub[marker_at + lumora::format::kOffsetMarkerTagLength], field, sizeof field);
  }

  int64_t total_input = 0;
  for (const auto& e : entries) {
    if (!e.source.empty()) {
      std::error_code ec;
      auto size = fs::file_size(e.source, ec);
      if (ec) throw std::runtime_error("cannot read " + lumora::pack::TextOf(e.source));
      total_input += static_cast<int64_t>(size);
    }
  }

  // Written beside the target and renamed at the end, so a failed run leaves no half
  // updater behind.
  const std::string temp = o.output + ".part";
  const fs::path temp_path = lumora::pack::PathOf(temp);
  std::ofstream out(temp_path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + temp);
  lumora::pack::RemoveOnInterrupt(temp_path);
  StreamSink sink(out);
  try {
    sink.Write(reinterpret_cast<const uint8_t*>(stub.data()), stub.size());
    lumora::ArchiveWriter writer(sink, o.policy);
    Progress progress(!o.quiet, "packing");
    ReadBack read_back(temp_path, temp, static_cast<int64_t>(stub.size()));
    int64_t read_to = 0;
    constexpr int64_t kReadBackStep = int64_t{4} << 20;
    writer.Begin();
    int64_t total_compressed = 0;
    std::vector<lumora::pack::MemberPipeline::Item> items;
    items.reserve(entries.size());
    for (const auto& e : entries) {
      items.push_back({e.name, e.source, lumora::pack::TextOf(e.source)});
    }
    int jobs = o.jobs;
    if (jobs == 0) jobs = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    lumora::pack::MemberPipeline pipeline(o.policy, jobs);
    pipeline.Run(
        items, writer,
        [&](size_t index, int64_t compressed, int64_t decoded) {
          total_compressed += compressed;
          if (o.verbose && entries[index].source.empty()) {
            std::printf("dir\t%s\n", ShownArchiveName(names, entries[index].name).c_str());
          } else if (o.verbose) {
            std::printf("file\t%s\t%lld\t%lld\n",
                        ShownArchiveName(names, entries[index].name).c_str(),
                        static_cast<long long>(compressed), static_cast<long long>(decoded));
          }
        },
        [&](int64_t input) {
          progress.Update(input, total_input);
          // Every few megabytes written, the writing thread reads them back.
          const int64_t end = static_cast<int64_t>(stub.size()) + writer.BytesWritten();
          if (o.trailer && lumora::pack::kReadBackWhileWriting && end - read_to >= kReadBackStep) {
            if (!out.flush()) return;  // the failure shows at the next write or the close
            read_back.To(end);
            read_to = end;
          }
        });
    writer.Finish(o.trailer);
    progress.Done();
    errno = 0;
    out.close();
    if (!out) {
      throw std::runtime_error("cannot write " + temp + ": " +
                               lumora::pack::WriteFailure(errno != 0 ? errno : EIO));
    }
    read_back.Finish(static_cast<int64_t>(stub.size()) + writer.BytesWritten(), o.trailer);
    if (!o.raw) lumora::pack::MakeExecutable(temp_path);
    lumora::pack::MoveOnto(temp_path, output);
    if (o.verbose) {
      std::printf("total\t%zu entries\t%lld compressed\t%lld decoded\n", entries.size(),
                  static_cast<long long>(total_compressed), static_cast<long long>(total_input));
    }
  } catch (...) {
    out.close();
    std::error_code ignored;
    fs::remove(temp_path, ignored);
    lumora::pack::KeepOnInterrupt();
    // The writer tells only that a write failed; the system said why.
    if (sink.error() != 0) {
      throw std::runtime_error("cannot write " + temp + ": " +
                               lumora::pack::WriteFailure(sink.error()));
    }
    throw;
  }
  lumora::pack::KeepOnInterrupt();
  return kExitOk;
}

// ---- check, diff ------------------------------------------------------------------------

int Check(const Options& o) {
  if (o.paths.size() != 1) throw UsageError("check needs exactly one UPDATER");
  lumora::pack::CheckOptions c;
  c.updater = o.paths[0];
  c.offset = o.offset ? *o.offset : -1;
  c.against = o.against;
  c.strict = o.strict;
  c.json = o.format == "json";
  return lumora::pack::CheckCommand(*o.names, c);
}

int Diff(const Options& o) {
  if (o.paths.size() != 2) throw UsageError("diff needs OLD and NEW");
  if (o.output.empty()) throw UsageError("diff needs -o OUT");
  if (o.raw == !o.stub.empty()) throw UsageError("diff needs exactly one of --stub and --raw");
  if (!o.dir.empty() || !o.manifest.empty()) throw UsageError("diff takes no -C or --manifest");
  lumora::pack::StagingFolder staging;
  const lumora::pack::Diff diff =
      lumora::pack::MakeDiff(*o.names, {o.paths[0], o.paths[1], o.allow_changed}, staging);
  int errors = 0;
  for (const lumora::pack::Finding& f : diff.findings) {
    errors += f.severity == lumora::pack::Severity::kError;
    std::fprintf(stderr, "lumora-pack: %s\n", lumora::pack::FindingText(*o.names, f, "").c_str());
  }
  if (errors != 0) {
    throw std::runtime_error(o.output + " not written: " + std::to_string(errors) +
                             (errors == 1 ? " error" : " errors") + " that no update can deliver");
  }
  if (diff.entries.empty()) throw std::runtime_error("NEW adds nothing to OLD: no update written");
  std::vector<Entry> entries;
  for (const auto& e : diff.entries) entries.push_back({e.name, e.source});
  if (!o.manifest_out.empty()) {
    std::ofstream list(lumora::pack::PathOf(o.manifest_out), std::ios::binary | std::ios::trunc);
    for (const auto& e : entries) list << ShownArchiveName(*o.names, e.name) << '\n';
    list.close();
    if (!list) throw std::runtime_error("cannot write " + o.manifest_out);
  }
  Options packing = o;
  packing.installation = o.paths[0];  // image paths and folders of OLD are installed
  const int status = Create(packing, &entries);
  if (o.verbose) {
    std::printf("diff\t%lld new folders\t%lld new files\t%lld records\t%lld data lines\n",
                static_cast<long long>(diff.folders), static_cast<long long>(diff.files),
                static_cast<long long>(diff.records), static_cast<long long>(diff.data_lines));
  }
  return status;
}

// ---- list, test, extract ----------------------------------------------------------------

int64_t StartOffsetFor(const Options& o, lumora::FileSystem& files, const std::string& file) {
  return o.offset ? *o.offset : lumora::ReadStartOffset(files, file);
}

int ListOrTest(const Options& o, bool list) {
  const lumora::pack::NameCodec& names = *o.names;
  if (o.paths.size() != 1) throw UsageError(o.command + " needs exactly one FILE");
  lumora::Platform platform = lumora::CreateNativePlatform();
  const std::string& file = o.paths[0];
  lumora::SelfExtractor extractor(*platform.files, nullptr);
  extractor.SetArchive(file, StartOffsetFor(o, *platform.files, file));
  Progress progress(!o.quiet && !list, "testing");
  extractor.on_progress = [&](int64_t pos, int64_t size) { progress.Update(pos, size); };
  if (list) {
    extractor.on_verified = [&names](const std::string& name, bool directory, int64_t compressed,
                                     int64_t decoded) {
      if (directory) {
        std::printf("dir\t%s\t0\t0\n", ShownArchiveName(names, name).c_str());
      } else {
        std::printf("file\t%s\t%lld\t%lld\n", ShownArchiveName(names, name).c_str(),
                    static_cast<long long>(compressed), static_cast<long long>(decoded));
      }
    };
  }
  lumora::ArchiveSummary s = extractor.Verify();
  progress.Done();
  if (!list || o.verbose) {
    std::printf("%s: %d files, %d directories, %lld bytes decoded, %s\n", file.c_str(), s.files,
                s.directories, static_cast<long long>(s.decoded_bytes),
                s.has_trailer ? "checksum matches" : "no checksum trailer");
  }
  return kExitOk;
}

// The path's parent folder ("" for a root or a bare name), without trailing separators.
std::string ParentFolder(const std::string& path) {
  const size_t end = path.find_last_not_of("/\\");
  if (end == std::string::npos) return "";
  const size_t cut = path.find_last_of("/\\", end);
  if (cut == std::string::npos) return "";
  const size_t keep = path.find_last_not_of("/\\", cut);
  return keep == std::string::npos ? path.substr(0, 1) : path.substr(0, keep + 1);
}

// Creates dir and the folders above it that are missing, as unzip -d does. Returns the
// folders it made, innermost first, so a refused archive can take them back.
std::vector<std::string> CreateFolders(lumora::FileSystem& files, const std::string& dir) {
  std::vector<std::string> made;
  for (std::string p = dir; !p.empty() && !files.DirectoryExists(p); p = ParentFolder(p)) {
    made.push_back(p);
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    if (!files.CreateDirectory(*it) && !files.DirectoryExists(*it)) {
      throw std::runtime_error("cannot create folder " + *it);
    }
  }
  return made;
}

int Extract(const Options& o) {
  const lumora::pack::NameCodec& names = *o.names;
  if (o.paths.size() != 1) throw UsageError("extract needs exactly one FILE");
  if (o.dir.empty()) throw UsageError("extract needs -C DIR");
  const std::string problem = names.ExtractProblem();
  if (!problem.empty()) throw UsageError(problem);
  lumora::Platform platform = lumora::CreateNativePlatform();
  const std::string& file = o.paths[0];
  const std::vector<std::string> made = CreateFolders(*platform.files, o.dir);
  lumora::SelfExtractor extractor(*platform.files, nullptr);
  // Check everything first, so a damaged archive, or one with a file whose folder would be
  // missing, writes nothing and leaves no folder of its own behind.
  try {
    extractor.SetArchive(file, StartOffsetFor(o, *platform.files, file));
    extractor.extractDir = o.dir + "\\";
    extractor.Verify();
  } catch (...) {
    for (const std::string& folder : made) platform.files->RemoveDirectory(folder);
    throw;
  }
  Progress progress(!o.quiet, "extracting");
  extractor.on_progress = [&](int64_t pos, int64_t size) { progress.Update(pos, size); };
  extractor.on_entry = [&](const std::string& name, bool) {
    if (o.verbose) {
      progress.Done();
      std::printf("%s\n", ShownArchiveName(names, name).c_str());
    }
  };
  extractor.Selfextract();
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options o = Parse(lumora::pack::Arguments(argc, argv));
    if (o.command == "help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    std::string problem;
    const std::unique_ptr<lumora::pack::NameCodec> names =
        lumora::pack::OpenNames(o.codepage, &problem);
    if (!names) {
      if (o.codepage.empty()) throw std::runtime_error(problem);
      throw UsageError(problem);
    }
    o.names = names.get();
    if (o.command == "create") return Create(o);
    if (o.command == "list") return ListOrTest(o, true);
    if (o.command == "test") return ListOrTest(o, false);
    if (o.command == "extract") return Extract(o);
    if (o.command == "check") return Check(o);
    if (o.command == "diff") return Diff(o);
    throw UsageError("unknown command " + o.command);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "lumora-pack: %s\n%s", e.what(), "Try 'lumora-pack --help'.\n");
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumora-pack: %s\n", e.what());
    return kExitFailed;
  }
}
