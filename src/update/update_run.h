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

 private:
  Registry& registry_;
  FileSystem& files_;
  Application& app_;
  SelfExtractor& extractor_;
};

}  // namespace lumora
