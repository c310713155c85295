// `LumoraUpdate --repair`: puts an installation whose update was interrupted (killed, a
// crash, a power loss) back as it was before that update, so that the update can run
// again. It finds the installation through the registry, as a run does, takes the
// installation's lock (a running update or repair holds it: then nothing is done), and:
//   - with a journal (journal.h) that is whole and follows its rules: when the update had
//     finished (every name back, every appended tail intact) it finishes it, removing the
//     journal; else it undoes it: gives the installed files their own names back, cuts off
//     the bytes the update appended, removes the files the update created that still hold
//     exactly what it wrote, its working files and the folders it made, and last the
//     journal. What it cannot prove the update's stays, and the report names it; where it
//     cannot judge at all, it sets the journal aside and tells what to check by hand;
//   - with a damaged journal: changes nothing, and says what to do by hand;
//   - without a journal but with working names left (a run of an earlier updater): gives
//     the names back and removes the working files, as the README tells by hand;
//   - with nothing to repair: changes nothing.
// It never acts through a symbolic link or a junction or outside the installation, and
// every step can be done again: a repair that is itself interrupted is finished by the
// next one.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/filesystem.h"
#include "platform/registry.h"
#include "update/journal.h"

namespace lumora {

struct RepairOutcome {
  RepairOutcome(bool whole_ = false, std::string report_ = {})
      : whole(whole_), report(std::move(report_)) {}
  bool whole = false;  // the installation is whole afterwards (exit status 0)
  std::string report;  // what was found and done, lines ending in '\n'
  // The journal's update had done everything but remove its journal, and repair finished
  // it; the archive that update unpacked (-1: not recorded).
  bool finished = false;
  int64_t archive_bytes = -1;
  uint32_t archive_crc = 0;
  // The journal still stands: an interrupted update remains.
  bool journal_left = false;
};

class Repair {
 public:
  Repair(Registry& registry, FileSystem& files);

  // Finds the installation through the registry and repairs it.
  RepairOutcome Run();
  // Repairs the installation in install_dir (ending in '\'). held: the caller (an update
  // that undoes itself) holds the installation's lock already; undo: the update failed,
  // so it is undone even where it had done everything but remove its journal.
  RepairOutcome RunIn(const std::string& install_dir, bool held = false, bool undo = false);

 private:
  // Where the bytes a merge appended stand in the file that holds them.
  // kCutBack: the file ends where the append began (a repair cut it back already).
  enum class Tail { kNone, kPartial, kCutBack, kExact, kLonger, kUnknown };

  RepairOutcome Repaired(const std::string& install_dir, bool held, bool undo);
  RepairOutcome Undo(const JournalContents* journal, const std::vector<std::string>& working);
  // With a journal whose update cannot be judged: gives names back only where nothing
  // stands under them, sets the journal aside, and reports what to check.
  RepairOutcome SetAside(const std::string& why);
  // Gives working_name its own name back; with a journal, the file under the own name is
  // deleted first only when it is the update's (record). False (with the reason noted) when
  // that cannot be done.
  bool GiveNameBack(const char* working_name, const char* own_name, const JournalFile* record,
                    bool have_journal);
  // Cuts a base file back: to the append's offset, or, without one, to the size the journal
  // recorded. False when it cannot.
  bool CutBack(const char* name, int64_t size, const JournalAppend* append);
  void Delete(const std::string& name, const char* what);
  // Working files of new files anywhere below the installation, relative names.
  void FindWorkingFiles(const std::string& folder, std::vector<std::string>* found);
  // True when name (relative) is reached from the installation through plain folders, and
  // is itself a plain file, never a link.
  bool PlainFile(const std::string& name);
  // True when every folder of name up to its '\' at end or before is a plain folder.
  bool PlainFolders(const std::string& name, size_t end);
  // True when the file holds exactly size bytes whose CRC-32 is crc.
  bool Holds(const std::string& name, int64_t size, uint32_t crc);
  // The state of the bytes an append record names, in the file name.
  Tail TailOf(const std::string& name, const JournalAppend& append);
  const JournalFile* FileRecord(const JournalContents& journal, const char* name);
  const JournalAppend* AppendRecordOf(const JournalContents& journal, const char* base);
  void Note(const std::string& line) { report_ += line + "\n"; }

  Registry& registry_;
  FileSystem& files_;
  std::string dir_;
  std::string report_;
  std::set<std::string> plain_folders_;
  bool failed_ = false;
};

}  // namespace lumora
