#include "pack/diff.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "pack/check.h"
#include "pack/part_text.h"
#include "update/key_set.h"
#include "update/part_base.h"

namespace fs = std::filesystem;

namespace lumora::pack {

namespace {

// Names the archive gives the merged members.
constexpr char kPartBaseMember[] = "partbase.txt";
constexpr char kPalDataMember[] = "PalData.txt";
constexpr size_t kShownLine = 60;  // characters of a line a message quotes

Finding At(Severity severity, const char* code, const std::string& place, int64_t line,
           std::string message) {
  Finding f;
  f.severity = severity;
  f.code = code;
  f.place = place;
  f.line = line;
  f.message = std::move(message);
  return f;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::error_code ea, eb;
  const auto size_a = fs::file_size(a, ea);
  const auto size_b = fs::file_size(b, eb);
  if (ea) throw std::runtime_error("cannot read " + TextOf(a));
  if (eb) throw std::runtime_error("cannot read " + TextOf(b));
  if (size_a != size_b) return false;
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  if (!in_a) throw std::runtime_error("cannot read " + TextOf(a));
  if (!in_b) throw std::runtime_error("cannot read " + TextOf(b));
  std::vector<char> piece_a(64 * 1024), piece_b(64 * 1024);
  for (;;) {
    in_a.read(piece_a.data(), static_cast<std::streamsize>(piece_a.size()));
    in_b.read(piece_b.data(), static_cast<std::streamsize>(piece_b.size()));
    const std::streamsize got = in_a.gcount();
    if (got != in_b.gcount()) return false;
    if (!std::equal(piece_a.begin(), piece_a.begin() + got, piece_b.begin())) return false;
    if (got == 0 || !in_a || !in_b) return in_a.eof() == in_b.eof();
  }
}

// A file or folder of a release.
struct Node {
  std::string name;    // archive name: code page, '\' between components, no trailing '\'
  std::string folded;  // the name as the updater compares it
  fs::path path;
  bool directory = false;
};

// Every file and folder below root, each folder before what lies in it, names in order.
// Names that no archive can hold are findings when report is set.
void Walk(const NameCodec& names, const fs::path& folder, const std::string& prefix, bool report,
          std::vector<Node>* out, std::vector<Finding>* findings) {
  std::vector<fs::path> children;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    children.push_back(it->path().filename());
  }
  if (ec) throw std::runtime_error("cannot read the folder " + TextOf(folder));
  std::sort(children.begin(), children.end());
  for (const fs::path& child : children) {
    Node node;
    node.path = folder / child;
    std::string text, name;
    const bool fits = names.FromPath(child, &text, &name);
    node.name = prefix.empty() ? name : prefix + "\\" + name;
    node.folded = names.Folded(node.name);
    node.directory = fs::is_directory(node.path, ec);
    if (report) {
      std::string problem;
      for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) problem = "it holds a control character";
        if (c == '\\') problem = "it holds '\\', which the updater takes for a folder separator";
        if (c == ':') problem = "it holds ':', which no Windows file name may hold";
      }
      if (!fits) problem = "code page " + names.name() + " cannot write every character of it";
      if (!problem.empty()) {
        findings->push_back(
            At(Severity::kError, "name", TextOf(node.path), 0, "cannot be packed: " + problem));
      }
    }
    out->push_back(node);
    if (node.directory) Walk(names, node.path, node.name, report, out, findings);
  }
}

// The release's file of that name at its top, in any letter case; throws when it has none.
fs::path TopFile(const NameCodec& names, const std::vector<Node>& nodes, const char* name,
                 const std::string& release) {
  const std::string wanted = names.Folded(name);
  for (const Node& n : nodes) {
    if (!n.directory && n.folded == wanted) return n.path;
  }
  throw std::runtime_error(release + " holds no " + name +
                           ": give the folder of an installed release of the database");
}

// A line as a message quotes it: in the locale's encoding, control bytes as \xNN, cut.
std::string Quoted(const NameCodec& names, const std::string& line) {
  std::string text;
  names.ToText(line.substr(0, kShownLine), &text);
  std::string shown;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      const char* digits = "0123456789ABCDEF";
      shown += "\\x";
      shown += digits[b >> 4];
      shown += digits[b & 15];
    } else {
      shown += c;
    }
  }
  return "\"" + shown + (line.size() > kShownLine ? "...\"" : "\"");
}

// Where two texts part, as a line of the second (from 1) and that line of each; 0 when
// they are the same.
int64_t FirstDifference(const std::string& got, const std::string& wanted, std::string* got_line,
                        std::string* wanted_line) {
  if (got == wanted) return 0;
  const std::vector<std::string> a = UpdaterLines(got), b = UpdaterLines(wanted);
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  *got_line = i < a.size() ? a[i] : std::string();
  *wanted_line = i < b.size() ? b[i] : std::string();
  if (i == a.size() && i == b.size()) {
    // The same lines, other line ends: the last line.
    i = b.empty() ? 0 : b.size() - 1;
    *got_line = a.empty() ? std::string() : a.back();
    *wanted_line = b.empty() ? std::string() : b.back();
  }
  return static_cast<int64_t>(i) + 1;
}

// The part base of the update: NEW's records whose key OLD's part base does not hold, with
// the comment lines after each.
void DiffPartBase(const NameCodec& names, const fs::path& old_path, const fs::path& new_path,
                  StagingFolder& staging, Diff* diff) {
  const std::string old_text = ReadFile(old_path), new_text = ReadFile(new_path);
  const std::string old_place = TextOf(old_path), new_place = TextOf(new_path);
  const std::vector<std::string> old_lines = UpdaterLines(old_text);
  const std::vector<std::string> new_lines = UpdaterLines(new_text);

  std::unordered_set<std::string> old_records, new_records;
  for (const std::string& line : old_lines) {
    if (!IsCommentLine(line)) old_records.insert(line);
  }
  for (const std::string& line : new_lines) {
    if (!IsCommentLine(line)) new_records.insert(line);
  }
  // The merge drops a record whose key occurs in a line of the installed part base that
  // does not begin with '#'.
  KeySet held;
  for (const std::string& line : new_lines) {
    const std::string key = DuplicateKey(line);
    if (!IsCommentLine(line) && old_records.count(line) == 0 && !key.empty()) held.Add(key);
  }
  if (held.size() != 0) {
    held.Build();
    for (const std::string& line : old_lines) {
      if (!(!line.empty() && line[0] == '#')) held.Scan(line);
    }
  }
  // The line of OLD that holds a key, for the message.
  const auto holder = [&old_lines](const std::string& key) {
    for (size_t i = 0; i < old_lines.size(); ++i) {
      if (!(!old_lines[i].empty() && old_lines[i][0] == '#') &&
          UpperCase(old_lines[i]).find(key) != std::string::npos) {
        return static_cast<int64_t>(i) + 1;
      }
    }
    return int64_t{0};
  };

  for (size_t i = 0; i < old_lines.size(); ++i) {
    const std::string& line = old_lines[i];
    if (IsCommentLine(line) || new_records.count(line) != 0) continue;
    diff->findings.push_back(At(Severity::kError, "record-missing", old_place,
                                static_cast<int64_t>(i) + 1,
                                "NEW's part base lacks this record " + Quoted(names, line) +
                                    ": an update never changes or removes an installed record"));
  }

  // NEW begins with OLD: the comment lines between OLD's end and the first new record
  // belong, for the merge, to OLD's last record, but the vendor wrote them for the records
  // after them.
  const bool extends = new_lines.size() >= old_lines.size() &&
                       std::equal(old_lines.begin(), old_lines.end(), new_lines.begin());
  std::vector<std::string> delivered, lead;
  int64_t lead_line = 0;
  bool keep = false;     // the fate of the record before: comment lines share it
  bool in_lead = false;  // between OLD's end and the first record after it
  for (size_t i = 0; i < new_lines.size(); ++i) {
    const std::string& line = new_lines[i];
    const int64_t number = static_cast<int64_t>(i) + 1;
    if (extends && i == old_lines.size()) in_lead = true;
    if (IsCommentLine(line)) {
      if (in_lead) {
        if (lead.empty()) lead_line = number;
        lead.push_back(line);
      } else if (keep) {
        delivered.push_back(line);
      }
      continue;
    }
    keep = false;
    if (old_records.count(line) == 0) {
      const std::string key = DuplicateKey(line);
      if (!key.empty() && held.Found(key)) {
        const int64_t at = holder(key);
        diff->findings.push_back(
            At(Severity::kError, "record-held", new_place, number,
               "its image path is in OLD's part base already" +
                   (at > 0 ? " (line " + std::to_string(at) + ")" : std::string()) +
                   ": the merge drops the record as a duplicate, so it never arrives"));
      } else {
        keep = true;
      }
    }
    if (in_lead && keep && !lead.empty()) {
      diff->findings.push_back(
          At(Severity::kWarning, "comment-first", new_place, lead_line,
             "comment lines before the first new record: the merge keeps comment lines that "
             "come before any record, so every later run of this update appends them again "
             "(after a record line they would go with that record)"));
      delivered.insert(delivered.end(), lead.begin(), lead.end());
    }
    in_lead = false;
    if (keep) {
      delivered.push_back(line);
      ++diff->records;
    }
  }

  if (!delivered.empty()) {
    std::string member;
    for (const std::string& line : delivered) member += line + "\r\n";
    diff->entries.push_back({kPartBaseMember, staging.Write(kPartBaseMember, member)});
  }
  const std::string after = delivered.empty() ? old_text : AppendedText(old_text, delivered);
  std::string got, wanted;
  const int64_t line = FirstDifference(after, new_text, &got, &wanted);
  if (line != 0) {
    diff->findings.push_back(
        At(Severity::kWarning, "part-base-differs", new_place, line,
           "after the update the installed part base differs from NEW's here (" +
               Quoted(names, got) + " where NEW has " + Quoted(names, wanted) +
               "): an update only appends new records at the end, each with the comment lines "
               "after it and every line ending in CR LF"));
  }
}

// The data file of the update: the lines NEW's adds after OLD's.
void DiffPalData(const NameCodec& names, const fs::path& old_path, const fs::path& new_path,
                 StagingFolder& staging, Diff* diff) {
  const std::string old_text = ReadFile(old_path), new_text = ReadFile(new_path);
  const std::string new_place = TextOf(new_path);
  std::string got, wanted;
  if (new_text.compare(0, old_text.size(), old_text) != 0) {
    const int64_t line = FirstDifference(old_text, new_text, &got, &wanted);
    diff->findings.push_back(At(Severity::kError, "data-changed", new_place, line,
                                "OLD's PalData.txt is not the start of NEW's (OLD has " +
                                    Quoted(names, got) +
                                    " here): an update only appends lines to the data file"));
    return;
  }
  std::string added = new_text.substr(old_text.size());
  if (added.empty()) return;
  const size_t n = old_text.size();
  const bool ends_in_line_end = n == 0 || old_text[n - 1] == '\r' ||
                                (old_text[n - 1] == '\n' && n >= 2 && old_text[n - 2] == '\r');
  if (!ends_in_line_end) {
    // The merge ends OLD's last line itself before it appends.
    if (added.compare(0, 2, "\r\n") != 0) {
      diff->findings.push_back(At(Severity::kError, "data-changed", new_place,
                                  static_cast<int64_t>(UpdaterLines(old_text).size()),
                                  "NEW's PalData.txt goes on with OLD's last line, which has "
                                  "no line end: an update only appends whole lines"));
      return;
    }
    added.erase(0, 2);
  }
  const std::vector<std::string> lines = UpdaterLines(added);
  if (lines.empty()) return;
  diff->data_lines = static_cast<int64_t>(lines.size());
  diff->entries.push_back({kPalDataMember, staging.Write(kPalDataMember, added)});
  const int64_t line = FirstDifference(AppendedText(old_text, lines), new_text, &got, &wanted);
  if (line != 0) {
    diff->findings.push_back(At(Severity::kWarning, "data-differs", new_place, line,
                                "after the update the installed PalData.txt differs from "
                                "NEW's here (" +
                                    Quoted(names, got) + " where NEW has " + Quoted(names, wanted) +
                                    "): the merge ends every line it appends in CR LF"));
  }
}

}  // namespace

StagingFolder::~StagingFolder() {
  if (folder_.empty()) return;
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

fs::path StagingFolder::Write(const std::string& name, const std::string& content) {
  if (folder_.empty()) {
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) throw std::runtime_error("cannot find the temporary folder: " + ec.message());
    std::random_device random;
    for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
      const fs::path candidate = temp / ("lumora-pack-diff-" + std::to_string(random()));
      if (fs::create_directory(candidate, ec)) folder_ = candidate;
    }
    if (folder_.empty()) {
      throw std::runtime_error("cannot make a folder in " + TextOf(temp) + ": " + ec.message());
    }
  }
  const fs::path path = folder_ / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + TextOf(path));
  return path;
}

Diff MakeDiff(const NameCodec& names, const DiffOptions& o, StagingFolder& staging) {
  Diff diff;
  const fs::path old_root = PathOf(o.old_dir), new_root = PathOf(o.new_dir);
  for (const fs::path& root : {old_root, new_root}) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) throw std::runtime_error(TextOf(root) + " is no folder");
  }
  std::vector<Node> old_nodes, new_nodes;
  Walk(names, old_root, "", false, &old_nodes, &diff.findings);
  Walk(names, new_root, "", true, &new_nodes, &diff.findings);
  const fs::path old_base = TopFile(names, old_nodes, partbase::kPartBase, o.old_dir);
  const fs::path new_base = TopFile(names, new_nodes, partbase::kPartBase, o.new_dir);
  const fs::path old_data = TopFile(names, old_nodes, partbase::kPalData, o.old_dir);
  const fs::path new_data = TopFile(names, new_nodes, partbase::kPalData, o.new_dir);
  const std::set<std::string> merged = {names.Folded(partbase::kPartBase),
                                        names.Folded(partbase::kPalData)};

  DiffPartBase(names, old_base, new_base, staging, &diff);
  DiffPalData(names, old_data, new_data, staging, &diff);

  std::map<std::string, const Node*> old_by_name, new_by_name;
  for (const Node& n : old_nodes) old_by_name.emplace(n.folded, &n);
  std::string skipped;  // a folder of NEW whose contents are not compared (folded, with '\')
  for (const Node& n : new_nodes) {
    if (merged.count(n.folded) != 0) continue;
    if (!skipped.empty() && n.folded.compare(0, skipped.size(), skipped) == 0) continue;
    const auto twin = new_by_name.emplace(n.folded, &n);
    if (!twin.second) {
      diff.findings.push_back(At(Severity::kError, "name-twin", TextOf(n.path), 0,
                                 "the updater takes it for " + TextOf(twin.first->second->path) +
                                     " (letter case aside), and an installation holds one of "
                                     "them only"));
      continue;
    }
    const auto old = old_by_name.find(n.folded);
    if (old == old_by_name.end()) {
      diff.entries.push_back(
          {n.directory ? n.name + "\\" : n.name, n.directory ? fs::path() : n.path});
      ++(n.directory ? diff.folders : diff.files);
      continue;
    }
    const Node& was = *old->second;
    if (was.directory != n.directory) {
      diff.findings.push_back(At(Severity::kError, "kind-changed", TextOf(n.path), 0,
                                 std::string(was.directory ? "a folder in OLD and a file in NEW"
                                                           : "a file in OLD and a folder in NEW") +
                                     ": an update never replaces one with the other"));
      if (n.directory) skipped = n.folded + "\\";
      continue;
    }
    const size_t cut = n.name.rfind('\\');
    if (n.name.compare(cut + 1, std::string::npos, was.name, cut + 1, std::string::npos) != 0) {
      diff.findings.push_back(At(Severity::kWarning, "case-only", TextOf(n.path), 0,
                                 "OLD names it " + TextOf(was.path.filename()) +
                                     ": the installation keeps OLD's letter case"));
    }
    if (!n.directory && !SameBytes(was.path, n.path)) {
      diff.findings.push_back(
          At(o.allow_changed ? Severity::kWarning : Severity::kError, "changed", TextOf(n.path), 0,
             o.allow_changed ? "OLD holds other bytes under this name: left out, the installation "
                               "keeps OLD's (an update never replaces a file)"
                             : "OLD holds other bytes under this name: an update never replaces a "
                               "file (--allow-changed leaves it out)"));
    }
  }
  std::set<std::string> gone;  // folders of OLD that NEW lacks, folded, with '\'
  for (const Node& n : old_nodes) {
    if (merged.count(n.folded) != 0 || new_by_name.count(n.folded) != 0) continue;
    const size_t cut = n.folded.rfind('\\');
    if (cut != std::string::npos && gone.count(n.folded.substr(0, cut + 1)) != 0) {
      if (n.directory) gone.insert(n.folded + "\\");
      continue;
    }
    if (n.directory) gone.insert(n.folded + "\\");
    diff.findings.push_back(At(Severity::kError, "missing", TextOf(n.path), 0,
                               std::string(n.directory ? "a folder" : "a file") +
                                   " of OLD that NEW lacks: an update never deletes"));
  }
  return diff;
}

}  // namespace lumora::pack
