#include "update/repair.h"

#include <algorithm>
#include <utility>

#include "archive/entry_name.h"
#include "archive/format.h"
#include "platform/errors.h"
#include "update/journal.h"
#include "update/part_base.h"
#include "update/update_run.h"

namespace lumora {
namespace {

constexpr char kAgain[] = "Nothing was lost. Run LumoraUpdate --repair again.";

bool IsBaseFile(const std::string& name) {
  const std::string upper = UpperCase(name);
  return upper == UpperCase(partbase::kPartBase) || upper == UpperCase(partbase::kPalData);
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Repair::Repair(Registry& registry, FileSystem& files) : registry_(registry), files_(files) {}

RepairOutcome Repair::Run() {
  const std::string version =
      registry_.ReadString(updaterun::kLumoraSection, updaterun::kVersionValue)
          .value_or(updaterun::kNoVersion);
  const std::string hd_path =
      version == updaterun::kNoVersion
          ? std::string()
          : registry_.ReadString(updaterun::kLumoraSection, updaterun::kHDPathValue)
                .value_or(std::string());
  if (hd_path.empty() || !files_.DirectoryExists(hd_path)) {
    RepairOutcome outcome;
    outcome.report =
        "No Lumora installation to repair: the registry names none (HKEY_CURRENT_USER\\" +
        std::string(updaterun::kLumoraSection) + ", values Version and HDPath)" +
        (hd_path.empty() ? std::string(".\n") : ", or its folder " + hd_path + " is missing.\n");
    return outcome;
  }
  return RunIn(hd_path.back() == '\\' ? hd_path : hd_path + '\\');
}

bool Repair::GiveNameBack(const char* working_name, const char* own_name) {
  if (!files_.FileExists(dir_ + working_name)) return true;
  // Under the own name stands the archive's new file (a folder there is refused by the
  // rename below): the installed one under the working name is the one to keep.
  if (files_.FileExists(dir_ + own_name)) Delete(own_name, "the update's new");
  if (files_.Rename(dir_ + working_name, dir_ + own_name)) {
    Note(std::string("  gave ") + working_name + " its name " + own_name + " back");
    return true;
  }
  Note(std::string("Cannot rename ") + working_name + " to " + own_name +
       ": the file is held open (close Lumora) or the name is taken. " + kAgain);
  failed_ = true;
  return false;
}

bool Repair::CutBack(const char* name, int64_t size) {
  if (size < 0 || !files_.FileExists(dir_ + name)) return true;
  try {
    std::unique_ptr<File> file = files_.Open(dir_ + name, OpenMode::kReadWrite);
    const int64_t now = file->Size();
    if (now == size) return true;
    if (now < size) {
      Note(std::string(name) + " holds " + std::to_string(now) + " bytes, fewer than the " +
           std::to_string(size) + " it held before the update: it is left as it is.");
      failed_ = true;
      return false;
    }
    if (!file->Truncate(size) || !file->Flush()) throw IoError(errc::kGeneralFailure);
    Note(std::string("  cut ") + name + " back to its " + std::to_string(size) +
         " bytes (removed the " + std::to_string(now - size) + " bytes the update appended)");
    return true;
  } catch (const IoError& e) {
    Note(std::string("Cannot cut ") + name + " back to its size before the update (" + e.what() +
         "; is Lumora running? Close it). " + kAgain);
    failed_ = true;
    return false;
  }
}

void Repair::Delete(const std::string& name, const char* what) {
  if (!files_.FileExists(dir_ + name)) return;
  if (files_.DeleteFile(dir_ + name)) {
    Note(std::string("  removed ") + what + " " + name);
  } else {
    Note("Cannot remove " + name + ". " + kAgain);
    failed_ = true;
  }
}

void Repair::FindWorkingFiles(const std::string& folder, std::vector<std::string>* found) {
  std::vector<DirEntry> entries;
  if (!files_.ListDirectory(dir_ + folder, &entries)) return;
  for (const DirEntry& e : entries) {
    if (e.name == "." || e.name == ".." || (e.attributes & attr::kSystem) != 0 ||
        (e.attributes & attr::kReparsePoint) != 0) {
      continue;
    }
    if ((e.attributes & attr::kDirectory) != 0) {
      FindWorkingFiles(folder + e.name + '\\', found);
    } else if (IsWorkingName(e.name)) {
      found->push_back(folder + e.name);
    }
  }
}

RepairOutcome Repair::RunIn(const std::string& install_dir) {
  dir_ = install_dir;
  report_.clear();
  failed_ = false;
  const std::string shown = dir_.substr(0, dir_.size() - 1);

  const EntryKind journal_kind = files_.Kind(dir_ + journal::kJournalName);
  JournalContents journal;
  if (journal_kind == EntryKind::kFile) {
    try {
      journal = ReadJournal(files_, dir_);
    } catch (const IoError& e) {
      return {false, "Cannot read the journal " + std::string(journal::kJournalName) + " in " +
                         shown + " (" + e.what() + "). Nothing was changed.\n"};
    }
  } else if (journal_kind != EntryKind::kNone) {
    return {false, std::string(journal::kJournalName) + " in " + shown +
                       " is not a file. Nothing was changed.\n"};
  }
  const bool has_journal = journal_kind == EntryKind::kFile;

  std::vector<std::string> working;
  FindWorkingFiles("", &working);
  const char* const kLeftNames[] = {partbase::kInstalledPartBase, partbase::kNewPartBase,
                                    partbase::kPalDataArh, partbase::kWorkingCopy,
                                    format::kScratchName};
  bool left_over = !working.empty();
  for (const char* name : kLeftNames) left_over = left_over || files_.FileExists(dir_ + name);

  if (!has_journal && !left_over) {
    Note("Nothing to repair in " + shown +
         ": no update was interrupted there. Nothing was changed.");
  } else {
    if (has_journal) {
      Note("An interrupted update was found in " + shown + " (its journal " +
           journal::kJournalName + "). Undoing it:");
    } else {
      Note("Working names of an interrupted update were found in " + shown +
           ", without a journal (an earlier updater's run). Giving the names back as the "
           "README tells by hand:");
    }
    // The installed files first: their own names back, and what was appended cut off.
    if (!GiveNameBack(partbase::kInstalledPartBase, partbase::kPartBase)) {
      return {false, report_};
    }
    if (!CutBack(partbase::kPartBase, journal.part_base_size)) return {false, report_};
    Delete(partbase::kNewPartBase, "the update's new part base");
    if (!GiveNameBack(partbase::kPalDataArh, partbase::kPalData)) return {false, report_};
    if (!CutBack(partbase::kPalData, journal.pal_data_size)) return {false, report_};
    Delete(partbase::kWorkingCopy, "the working file");
    Delete(format::kScratchName, "the working file");

    // What the run created: its files, its working files, then its folders, deepest first.
    size_t removed_files = 0;
    for (const std::string& name : journal.files) {
      if (IsBaseFile(name) || !files_.FileExists(dir_ + name)) continue;
      if (files_.DeleteFile(dir_ + name)) {
        ++removed_files;
      } else {
        Note("Cannot remove " + name + ", which the update created. " + kAgain);
        failed_ = true;
      }
    }
    if (removed_files > 0)
      Note("  removed " + Plural(removed_files, "file", "files") + " the update had created");
    size_t removed_working = 0;
    for (const std::string& name : working) {
      if (files_.DeleteFile(dir_ + name)) {
        ++removed_working;
      } else {
        Note("Cannot remove the working file " + name + ". " + kAgain);
        failed_ = true;
      }
    }
    if (removed_working > 0) {
      Note("  removed " + Plural(removed_working, "working file", "working files") +
           " of new files (" + format::kWorkingPrefix + "*" + format::kWorkingSuffix + ")");
    }
    std::vector<std::string> folders = journal.folders;
    std::stable_sort(
        folders.begin(), folders.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    size_t removed_folders = 0;
    for (const std::string& folder : folders) {
      const std::string path = dir_ + folder.substr(0, folder.size() - 1);
      if (!files_.DirectoryExists(path)) continue;
      if (files_.RemoveDirectory(path)) {
        ++removed_folders;
      } else {
        Note("  kept the folder " + folder + ", which the update created: something else " +
             "was put in it since");
      }
    }
    if (removed_folders > 0) {
      Note("  removed " + Plural(removed_folders, "folder", "folders") + " the update had created");
    }
    if (failed_) return {false, report_};
    // The repair stands only once it is on the disk; the journal goes last.
    if (!files_.Sync(dir_)) {
      Note("The disk reported lost writes while the repair was saved. " + std::string(kAgain));
      return {false, report_};
    }
    if (has_journal) {
      if (!files_.DeleteFile(dir_ + journal::kJournalName) || !files_.Sync(dir_)) {
        Note(std::string("Cannot remove the journal ") + journal::kJournalName + ". " + kAgain);
        return {false, report_};
      }
      Note("  removed the journal " + std::string(journal::kJournalName));
      Note("The installation is as it was before the interrupted update. Run the update again.");
    } else {
      Note(
          "Files that update unpacked stay, and so do lines it appended to the part base "
          "(the next run drops them as duplicates) and to the data file. Run the update "
          "again.");
    }
  }

  for (const char* name : {partbase::kPartBase, partbase::kPalData}) {
    if (!files_.FileExists(dir_ + name)) {
      Note(std::string("The installation is not whole: ") + name + " is missing in " + shown +
           ". Reinstall Lumora.");
      return {false, report_};
    }
  }
  return {true, report_};
}

}  // namespace lumora
