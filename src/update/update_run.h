// The update run: bound to the main window's activation, it finds the Lumora installation
// through the registry, moves the installed part base files aside, unpacks the archive
// into the installation, merges the new part base and data file, gives every file its name
// back, reports the outcome and closes the window. A recognised failure shows its message
// and stops where it stands; anything else propagates to the uncaught-error report.
#pragma once

#include <cstdint>
#include <string>

#include "platform/filesystem.h"
#include "platform/registry.h"

namespace lumora {

class Application;
class SelfExtractor;

// What the check found and the run did, in figures: for the unattended log and the report
// of --check. -1: not counted.
struct UpdateFigures {
  int64_t archive_bytes = 0;  // the archive from its magic to its ';', and its CRC-32
  uint32_t archive_crc = 0;
  int64_t files = 0;        // new files the archive makes
  int64_t folders = 0;      // new folders
  int64_t records = -1;     // part base records the merge appends
  int64_t duplicates = -1;  // records it drops as duplicates
  int64_t data_lines = -1;  // lines appended to the data file (-1: the archive has none)
  int64_t bytes_needed = 0;
  int64_t bytes_free = -1;
};

// The figures as one line of text, as the log, --check's report and the packer's check
// write them ("-" for what was not counted).
std::string FiguresText(const UpdateFigures& figures);

// Told what a run found and did, for the unattended log.
class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  virtual void OnInstallation(const std::string& hd_path, const std::string& version) = 0;
  virtual void OnChecked(const UpdateFigures& figures) = 0;
  // An undo, a heal, the end of the run: lines ending in '\n'.
  virtual void OnNote(const std::string& text) = 0;
};

namespace updaterun {
inline constexpr const char kQuandrixKey[] = "SOFTWARE\\Quandrix";
inline constexpr const char kLumoraSection[] = "SOFTWARE\\Quandrix\\Lumora";
inline constexpr const char kVersionValue[] = "Version";
inline constexpr const char kHDPathValue[] = "HDPath";
inline constexpr const char kNoVersion[] = "0.0";
inline constexpr const char kNoHDPath[] = ")#Kest@(";

inline constexpr const char kInstallationText[] =
    "You have not correct installation for Lumora.\n\rPlease reinstall Lumora or run "
    "Lumora.exe .\n\r After exit start update again.";
inline constexpr const char kDuplicatesText[] = "Duplication elements!";
inline constexpr const char kSuccessText[] = "Database successfully updated.";
inline constexpr const char kDiskFullText[] = "Disk write error or disk is full.";

// Room kept free beyond the decoded size of the archive and the working copy of the part
// base: the lines that the merges append, and the file system's own bookkeeping.
constexpr int64_t kFreeSpaceMargin = 1024 * 1024;  // bytes
}  // namespace updaterun

class UpdateRun {
 public:
  UpdateRun(Registry& registry, FileSystem& files, Application& app, SelfExtractor& extractor);

  // The activation handler: discovery, then the update sequence.
  void BrelinUpdate1Click();

  // Discovery alone: the installation directory (ending in '\'), or an empty string after
  // the installation message has been shown.
  std::string FindInstallation();
  // The sequence on a found installation directory.
  void RunSequence(const std::string& install_dir);
  // The check before anything changes: the whole archive, every entry against the
  // installation, the names the merges need and the disk's room for the update's peak.
  // False after its message has been shown; a damaged archive throws.
  bool CheckUpdate(const std::string& install_dir);

  bool duplicatesFound = false;
  // --check: discovery and the check alone, changing nothing (not even the registry key);
  // the figures then say what the update would do.
  bool check_only = false;
  UpdateObserver* observer = nullptr;
  const UpdateFigures& figures() const { return figures_; }

 private:
  // The changes of the update, from the journal on; false when it stopped after a message.
  bool Change(const std::string& install_dir);
  // Undoes an interrupted update found at the start; false (after the file message, exit
  // status 3) when it cannot. Sets healed_finished_ when that update had finished.
  bool Heal(const std::string& install_dir);
  // Undoes this run after a failure, with the repair's code: exit status 1 when the
  // installation is as before, 3 when an interrupted update remains.
  void UndoFailedRun(const std::string& install_dir);
  void Note(const std::string& text) {
    if (observer) observer->OnNote(text);
  }

  UpdateFigures figures_;
  bool healed_finished_ = false;
  int64_t healed_archive_bytes_ = -1;
  uint32_t healed_archive_crc_ = 0;
  Registry& registry_;
  FileSystem& files_;
  Application& app_;
  SelfExtractor& extractor_;
};

}  // namespace lumora
