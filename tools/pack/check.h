// The packer's check: everything about an updater that its archive alone decides, judged
// with the updater's own rules (entry names, the basic index, the duplicate key, the code
// page), and, given a copy of a customer's installation, the updater's own check against
// it. `lumora-pack check` reports on an existing updater; `create` runs the same checks on
// what it is about to pack.
//
// The severity ladder:
//   error    the update would fail, would deliver less than the archive holds, or would
//            leave the installation so that a later update fails (a record with a bad
//            basic index stops every later update with "Bad file PARTBASE.TXT. Basic index
//            error.");
//   warning  anything else the vendor is unlikely to mean: a record of another shape, an
//            image path that names no file, line ends other than CR LF, text outside the
//            code page.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pack/host.h"

namespace lumora::pack {

enum class Severity { kWarning, kError };

struct Finding {
  Severity severity = Severity::kError;
  std::string code;     // the kind of finding, stable for build pipelines ("basic-index")
  std::string entry;    // the archive name it concerns (code page), "" for the whole
  int64_t line = 0;     // the line of that member's text, from 1; 0 for none
  std::string message;  // text in the locale's encoding
  std::string place;    // where it is, as text, when that is no archive entry ("OLD/x.txt")
};

// What stands under a path of the installation, for the checks that look there.
enum class Stands { kNothing, kFile, kFolder };
using InstalledLookup = std::function<Stands(const std::string& relative)>;

// The checks of the archive's entries and of the two members that the merge reads. Entries
// are added in archive order; the texts of the part base and the data file as they decode.
class ArchiveCheck {
 public:
  // installed, when given, answers for the installation the update goes to: image paths
  // and folders found there are no finding; an archive file that stands there already is.
  explicit ArchiveCheck(const NameCodec& names, InstalledLookup installed = {});

  // The member whose text the merge reads, as the updater knows it: "partbase.txt" or
  // "PalData.txt" at the top, in any letter case.
  enum class Merged { kNone, kPartBase, kPalData };
  static Merged MergedAs(const std::string& name);

  void AddEntry(const std::string& name, bool directory);
  // The decoded text of a merged member (the first of each kind counts).
  void AddText(const std::string& name, const std::string& text);
  // The installation's part base, for the records that the merge would drop as installed
  // already.
  void SetInstalledPartBase(const std::string& text);

  // Findings in archive order: the names, then the part base by line, then the data file.
  std::vector<Finding> Run() const;

 private:
  struct Entry {
    std::string name;
    bool directory;
  };
  void CheckNames(std::vector<Finding>* out) const;
  void CheckPartBase(std::vector<Finding>* out) const;
  void CheckPalData(std::vector<Finding>* out) const;
  // Line ends, the text's end and its code page, as both texts share them.
  void CheckText(const std::string& entry, const std::string& text, bool part_base,
                 std::vector<Finding>* out) const;
  std::string Shown(const std::string& name) const;

  const NameCodec& names_;
  InstalledLookup installed_;
  std::vector<Entry> entries_;
  std::string part_base_name_, part_base_;
  std::string pal_data_name_, pal_data_;
  bool has_part_base_ = false, has_pal_data_ = false;
  std::string installed_part_base_;
  bool has_installed_part_base_ = false;
};

// An entry that create is about to pack: source is the file it reads, empty for a folder.
struct PackedEntry {
  std::string name;
  std::filesystem::path source;
};

// create's check of its entries, reading the merged members from their sources. With an
// installation folder (relative paths as the updater resolves them), image paths and
// folders are looked up there too. Throws std::runtime_error when a source cannot be read.
std::vector<Finding> CheckPacking(const NameCodec& names, const std::vector<PackedEntry>& entries,
                                  const std::string& installation);

// create's report of that check on standard error: every error and the first warnings.
// Throws std::runtime_error, naming output, when a finding is an error.
void ReportPacking(const NameCodec& names, const std::vector<Finding>& findings,
                   const std::string& output);

// The whole of a file. Throws std::runtime_error naming it when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Text as a terminal can show it: control bytes as \xNN, everything else as it is.
std::string Printable(const std::string& text);

// One finding as a line: "error: partbase.txt:12: ...". whole names what an entry-less
// finding is about.
std::string FindingText(const NameCodec& names, const Finding& finding, const std::string& whole);

struct CheckOptions {
  std::string updater;
  int64_t offset = -1;  // the archive's start; -1: the one the stub's marker holds
  std::string against;  // a copy of an installation, "" for none
  bool strict = false;  // warnings fail the check too
  bool json = false;    // the report as one JSON object
};

// lumora-pack check: the report on standard output; returns the exit status (0 sound, 1
// errors, or with strict warnings).
int CheckCommand(const NameCodec& names, const CheckOptions& options);

}  // namespace lumora::pack
