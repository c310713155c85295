// HKEY_CURRENT_USER as a text file in the REGEDIT4 export format:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\Quandrix\Lumora]
//   "Version"="3.1"
//   "HDPath"="C:\\Lumora"
//   "Count"=dword:0000002a
//   "Path2"=hex(2):43,3a,5c,00
//   @="the default value"
//
// A key exists when its own section line or that of a key below it exists. Key and value names
// match without regard to case. Strings are "..." (with \\ and \" escaped) or hex(1)/hex(2) bytes;
// every other type (dword, hex, hex(N)) is a value of the wrong type. Long hex values continue on
// the next line after a trailing '\'. Lines starting with ';' are comments. Line ends may be LF or
// CR LF.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/codepage.h"
#include "platform/posix/posix_platform.h"

namespace lumora {
namespace {

constexpr char kRoot[] = "HKEY_CURRENT_USER";

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = FoldCase(c);
  return out;
}

// A key path without separators at its ends and with runs of separators taken as one; in
// folded case unless keep_case.
std::string NormalKey(const std::string& key, bool keep_case = false) {
  std::string out;
  for (char c : key) {
    if (c == '\\') {
      if (!out.empty() && out.back() != '\\') out += '\\';
    } else {
      out += keep_case ? c : FoldCase(c);
    }
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string StripLineEnd(const std::string& raw) {
  std::string s = raw;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Splits the file into physical lines, each with its own line end (the last may have
// none), so that a rewrite can keep them byte for byte.
std::vector<std::string> PhysicalLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t lf = content.find('\n', start);
    size_t end = lf == std::string::npos ? content.size() : lf + 1;
    lines.push_back(content.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Joins lines that end in '\' (hex data continued) into logical lines.
std::vector<std::string> LogicalLines(const std::string& content) {
  std::vector<std::string> out;
  std::string pending;
  bool continuing = false;
  for (const std::string& raw : PhysicalLines(content)) {
    std::string text = StripLineEnd(raw);
    if (continuing) {
      pending += TrimBlanks(text);
    } else {
      pending = text;
    }
    std::string trimmed = TrimBlanks(pending);
    continuing =
        !trimmed.empty() && trimmed.back() == '\\' && trimmed[0] != '[' && trimmed[0] != ';';
    if (continuing) {
      pending = trimmed.substr(0, trimmed.size() - 1);
      continue;
    }
    out.push_back(pending);
  }
  if (continuing) out.push_back(pending);
  return out;
}

// The key below the root that a section line names (folded, or as spelled when
// keep_case), or nullopt when the line is not a section of HKEY_CURRENT_USER (a deletion
// "[-...]" names nothing).
std::optional<std::string> SectionKey(const std::string& line, bool keep_case = false) {
  std::string t = TrimBlanks(line);
  if (t.size() < 2 || t[0] != '[') return std::nullopt;
  size_t close = t.rfind(']');
  if (close == std::string::npos) return std::nullopt;
  std::string full = NormalKey(t.substr(1, close - 1), keep_case);
  std::string root = Folded(kRoot);
  if (Folded(full) == root) return std::string();
  if (Folded(full.substr(0, root.size() + 1)) != root + "\\") return std::nullopt;
  return full.substr(root.size() + 1);
}

// Reads a quoted text starting at s[pos] == '"', undoing \\ and \" (and keeping the
// character after any other backslash). pos ends after the closing quote.
std::optional<std::string> ReadQuoted(const std::string& s, size_t* pos) {
  if (*pos >= s.size() || s[*pos] != '"') return std::nullopt;
  std::string out;
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      out += s[++i];
    } else if (s[i] == '"') {
      *pos = i + 1;
      return out;
    } else {
      out += s[i];
    }
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldCase(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "43,3a,00" -> bytes; nullopt when malformed.
std::optional<std::string> HexBytes(const std::string& list) {
  std::string out;
  std::string t = TrimBlanks(list);
  if (t.empty()) return out;
  size_t i = 0;
  while (i <= t.size()) {
    size_t comma = t.find(',', i);
    if (comma == std::string::npos) comma = t.size();
    std::string item = TrimBlanks(t.substr(i, comma - i));
    if (item.empty() || item.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : item) {
      int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = value * 16 + d;
    }
    out += static_cast<char>(value);
    i = comma + 1;
  }
  return out;
}

struct Value {
  bool is_string = false;
  std::string text;
};

// The data part of a value line (what follows '='). nullopt for a deletion ("-").
std::optional<Value> ParseData(const std::string& data_raw) {
  std::string data = TrimBlanks(data_raw);
  Value v;
  if (data == "-") return std::nullopt;
  if (!data.empty() && data[0] == '"') {
    size_t pos = 0;
    std::optional<std::string> text = ReadQuoted(data, &pos);
    if (text && TrimBlanks(data.substr(pos)).empty()) {
      // Text in the file is in the locale's encoding, as any text file on Linux; the core
      // reads it in the code page, with '?' for a character the code page lacks, as
      // Windows gives it. The bytes of hex(1) and hex(2) are the code page's already.
      v.is_string = true;
      CodePage::System().FromNative(*text, &v.text);
    }
    return v;  // a malformed string is no string
  }
  std::string folded = Folded(data);
  if (folded.compare(0, 4, "hex(") == 0) {
    size_t close = folded.find(')');
    if (close == std::string::npos || close + 1 >= folded.size() || folded[close + 1] != ':') {
      return v;
    }
    std::string type = folded.substr(4, close - 4);
    if (type != "1" && type != "01" && type != "2" && type != "02") return v;
    std::optional<std::string> bytes = HexBytes(data.substr(close + 2));
    if (!bytes) return v;
    // The stored data ends with its terminating zero; the text is what comes before it.
    size_t nul = bytes->find('\0');
    v.is_string = true;
    v.text = nul == std::string::npos ? *bytes : bytes->substr(0, nul);
    return v;
  }
  return v;  // dword:, hex:, or anything else
}

// Reads the hive file. A missing file is an empty hive (exists false); false when the
// file exists but cannot be read, or is no regular file: a pipe or a device under the
// name is never waited on, as the file layer never waits on one.
bool ReadWholeFile(const std::string& path, std::string* content, bool* exists) {
  content->clear();
  *exists = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  *exists = true;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char buffer[16384];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

// The spelling of the key in the file, or nullopt when it does not exist. A key exists
// when its own section does or, as on Windows, when a section of a key below it does: a
// subkey implies its parents. Its own section's spelling wins over a subkey's.
std::optional<std::string> FindKey(const std::vector<std::string>& lines, const std::string& key) {
  const std::string wanted = NormalKey(key);
  std::optional<std::string> implied;
  for (const std::string& line : lines) {
    std::optional<std::string> spelled = SectionKey(line, true);
    if (!spelled) continue;
    const std::string folded = Folded(*spelled);
    if (folded == wanted) return spelled;
    // Folding keeps lengths, so the subkey's first wanted.size() bytes spell the key.
    if (!implied && folded.size() > wanted.size() && folded[wanted.size()] == '\\' &&
        folded.compare(0, wanted.size(), wanted) == 0) {
      implied = spelled->substr(0, wanted.size());
    }
  }
  return implied;
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/', dir.size() - 1);
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) {
    return false;
  }
  return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

// Replaces path with content: a temporary file in the same folder, flushed to the disk,
// then renamed over the old one, so a reader sees the old file or the new one, never half.
bool WriteAtomically(const std::string& path, const std::string& content, mode_t mode) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (!MakeDirectories(dir)) return false;
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

}  // namespace

std::string PosixRegistry::DefaultFile() {
  std::string base;
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = getenv("HOME");
    base = std::string(home ? home : "") + "/.config";
  }
  return base + "/registry/HKEY_CURRENT_USER.reg";
}

PosixRegistry::PosixRegistry() : file_(DefaultFile()) {}

PosixRegistry::PosixRegistry(std::string file) : file_(std::move(file)) {}

bool PosixRegistry::CreateKey(const std::string& key) {
  // Write through a symbolic link rather than replacing it.
  std::string path = file_;
  char real[PATH_MAX];
  if (realpath(file_.c_str(), real)) path = real;

  std::string content;
  bool exists = false;
  if (!ReadWholeFile(path, &content, &exists)) return false;
  std::vector<std::string> lines = LogicalLines(content);

  // New sections continue the spelling of the existing parents.
  std::vector<std::string> parts;
  for (size_t i = 0; i <= key.size();) {
    size_t sep = key.find('\\', i);
    if (sep == std::string::npos) sep = key.size();
    if (sep > i) parts.push_back(key.substr(i, sep - i));
    i = sep + 1;
  }
  if (parts.empty() || FindKey(lines, key)) return true;  // nothing to write

  std::string eol = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string added;
  std::string spelled;
  for (const std::string& part : parts) {
    spelled += (spelled.empty() ? "" : "\\") + part;
    if (std::optional<std::string> existing = FindKey(lines, spelled)) {
      spelled = *existing;
      continue;
    }
    added += eol + "[" + kRoot + "\\" + spelled + "]" + eol;
    lines.push_back("[" + std::string(kRoot) + "\\" + spelled + "]");
  }
  if (added.empty()) return true;

  if (!exists || content.empty()) {
    content = "REGEDIT4" + eol;
  } else if (content.back() != '\n') {
    content += eol;
  }
  mode_t mode = 0666;
  struct stat st;
  if (exists && stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  return WriteAtomically(path, content + added, mode);
}

std::optional<std::string> PosixRegistry::ReadString(const std::string& key,
                                                     const std::string& name) {
  std::string content;
  bool exists = false;
  if (!ReadWholeFile(file_, &content, &exists) || !exists) return std::nullopt;
  if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

  const std::string wanted_key = NormalKey(key);
  const std::string wanted_name = Folded(name);
  bool in_key = false;
  bool key_found = false;
  std::optional<Value> found;
  for (const std::string& raw : LogicalLines(content)) {
    std::string line = TrimBlanks(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      std::optional<std::string> section = SectionKey(line);
      in_key = section && *section == wanted_key;
      key_found = key_found || in_key;
      continue;
    }
    if (!in_key) continue;
    std::string value_name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      std::optional<std::string> quoted = ReadQuoted(line, &pos);
      if (!quoted) continue;
      value_name = *quoted;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    if (Folded(value_name) != wanted_name) continue;
    // A later line for the same value wins, as when the file is imported.
    found = ParseData(line.substr(pos + 1));
  }
  if (!key_found || !found) return std::nullopt;
  if (!found->is_string) throw RuntimeError(InvalidDataTypeText(name));
  return found->text;
}

}  // namespace lumora
