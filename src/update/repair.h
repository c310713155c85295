// `LumoraUpdate --repair`: puts an installation whose update was interrupted (killed, a
// crash, a power loss) back as it was before that update, so that the update can run
// again. It finds the installation through the registry, as a run does, and then:
//   - with a journal (journal.h): undoes the interrupted run byte for byte: removes the
//     files and folders it created, cuts the part base and the data file back to their
//     recorded sizes, gives the installed files their own names back, removes the working
//     files and, last, the journal;
//   - without a journal but with working names left (a run of an earlier updater): gives
//     the names back and removes the working files, as the README tells by hand;
//   - with nothing to repair: changes nothing.
// It never deletes a file that an update did not create, and every step can be done
// again: a repair that is itself interrupted is finished by the next one.
#pragma once

#include <string>
#include <vector>

#include "platform/filesystem.h"
#include "platform/registry.h"

namespace lumora {

struct RepairOutcome {
  bool whole = false;  // the installation is whole afterwards (exit status 0)
  std::string report;  // what was found and done, lines ending in '\n'
};

class Repair {
 public:
  Repair(Registry& registry, FileSystem& files);

  // Finds the installation through the registry and repairs it.
  RepairOutcome Run();
  // Repairs the installation in install_dir (ending in '\').
  RepairOutcome RunIn(const std::string& install_dir);

 private:
  // Gives working_name its own name back, deleting first a file of the update that stands
  // under the own name. False (with the reason noted) when the rename is refused.
  bool GiveNameBack(const char* working_name, const char* own_name);
  // Cuts a file back to the size it had before the update. False when it cannot.
  bool CutBack(const char* name, int64_t size);
  void Delete(const std::string& name, const char* what);
  // Working files of new files anywhere below the installation, relative names.
  void FindWorkingFiles(const std::string& folder, std::vector<std::string>* found);
  void Note(const std::string& line) { report_ += line + "\n"; }

  Registry& registry_;
  FileSystem& files_;
  std::string dir_;
  std::string report_;
  bool failed_ = false;
};

}  // namespace lumora
