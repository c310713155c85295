#include "update/repair.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "archive/crc32.h"
#include "archive/entry_name.h"
#include "archive/format.h"
#include "platform/errors.h"
#include "update/part_base.h"
#include "update/update_run.h"

namespace lumora {
namespace {

constexpr char kAgain[] = "Nothing was lost. Run LumoraUpdate --repair again.";
constexpr char kByHand[] =
    "By hand, with Lumora closed: if HairBase1.txt stands, delete Partbase.txt and rename "
    "HairBase1.txt to Partbase.txt; if PalData.arh stands, delete PalData.txt and rename "
    "PalData.arh to PalData.txt; delete HairBase2.txt, HairBase4Check.txt, TempFile.tmp and "
    "every ~LumoraUpdate.<n>.tmp; then delete ~LumoraUpdate.jnl and run the update again.";

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

bool Repair::PlainFolders(const std::string& name, size_t end) {
  for (size_t cut = name.find('\\'); cut != std::string::npos && cut <= end;
       cut = name.find('\\', cut + 1)) {
    const std::string folder = name.substr(0, cut);
    if (plain_folders_.count(folder) != 0) continue;
    if (files_.KindForCreate(dir_ + folder) != EntryKind::kDirectory) return false;
    plain_folders_.insert(folder);
  }
  return true;
}

bool Repair::PlainFile(const std::string& name) {
  return PlainFolders(name, name.size()) && files_.KindForCreate(dir_ + name) == EntryKind::kFile;
}

bool Repair::Holds(const std::string& name, int64_t size, uint32_t crc) {
  if (!PlainFile(name)) return false;
  try {
    std::unique_ptr<File> file = files_.Open(dir_ + name, OpenMode::kRead);
    if (file->Size() != size) return false;
    Crc32 sum;
    std::vector<uint8_t> piece(64 * 1024);
    int64_t total = 0;
    for (;;) {
      const IoResult r = file->Read(piece.data(), piece.size());
      if (r.error != 0) return false;
      if (r.count == 0) break;
      sum.Update(piece.data(), r.count);
      total += static_cast<int64_t>(r.count);
    }
    return total == size && sum.Value() == crc;
  } catch (const IoError&) {
    return false;
  }
}

Repair::Tail Repair::TailOf(const std::string& name, const JournalAppend& append) {
  if (!PlainFile(name)) return Tail::kUnknown;
  try {
    std::unique_ptr<File> file = files_.Open(dir_ + name, OpenMode::kRead);
    const int64_t size = file->Size();
    if (size < append.offset) return Tail::kUnknown;
    if (size == append.offset) return Tail::kCutBack;
    // Stopped while appending: everything past the offset is what it had written so far.
    if (append.length < 0) return Tail::kPartial;
    if (size < append.offset + append.length || file->Seek(append.offset) != append.offset) {
      return Tail::kUnknown;
    }
    Crc32 sum;
    std::vector<uint8_t> piece(64 * 1024);
    for (int64_t left = append.length; left > 0;) {
      const IoResult r = file->Read(piece.data(), static_cast<size_t>(std::min<int64_t>(
                                                      left, static_cast<int64_t>(piece.size()))));
      if (r.error != 0 || r.count == 0) return Tail::kUnknown;
      sum.Update(piece.data(), r.count);
      left -= static_cast<int64_t>(r.count);
    }
    if (sum.Value() != append.crc) return Tail::kUnknown;
    return size == append.offset + append.length ? Tail::kExact : Tail::kLonger;
  } catch (const IoError&) {
    return Tail::kUnknown;
  }
}

const JournalFile* Repair::FileRecord(const JournalContents& journal, const char* name) {
  const std::string wanted = files_.FoldCase(name);
  for (const JournalFile& f : journal.files) {
    if (files_.FoldCase(f.name) == wanted) return &f;
  }
  return nullptr;
}

const JournalAppend* Repair::AppendRecordOf(const JournalContents& journal, const char* base) {
  for (const JournalAppend& a : journal.appends) {
    if (a.base == base) return &a;
  }
  return nullptr;
}

bool Repair::GiveNameBack(const char* working_name, const char* own_name, const JournalFile* record,
                          bool have_journal) {
  if (!files_.FileExists(dir_ + working_name)) return true;
  if (files_.FileExists(dir_ + own_name)) {
    // Under the own name stands the archive's new file: the installed one under the working
    // name is the one to keep. With a journal, only the file the update unpacked goes.
    if (have_journal && (record == nullptr || !Holds(own_name, record->size, record->crc))) {
      Note(std::string("Cannot give ") + working_name + " its name " + own_name +
           " back: " + own_name + " is not the file the update unpacked.");
      failed_ = true;
      return false;
    }
    Delete(own_name, "the update's new");
  }
  if (files_.Rename(dir_ + working_name, dir_ + own_name)) {
    Note(std::string("  gave ") + working_name + " its name " + own_name + " back");
    return true;
  }
  Note(std::string("Cannot rename ") + working_name + " to " + own_name +
       ": the file is held open (close Lumora) or the name is taken. " + kAgain);
  failed_ = true;
  return false;
}

bool Repair::CutBack(const char* name, int64_t size, const JournalAppend* append) {
  if (!files_.FileExists(dir_ + name)) return true;
  if (!PlainFile(name)) {
    Note(std::string(name) + " is not a plain file of the installation: it is left as it is.");
    return true;
  }
  try {
    // Read first: a file that needs no cut is never opened for writing (Lumora may hold
    // it, and on Windows that refuses a writer).
    const int64_t now = files_.Open(dir_ + name, OpenMode::kRead)->Size();
    int64_t to = -1;
    if (append != nullptr) {
      // TailOf has proved the bytes from the offset on the update's.
      to = append->offset;
    } else if (size >= 0 && now != size) {
      // Nothing was appended by this update: bytes past the recorded size are not its own.
      Note(std::string("  left ") + name + " as it is: it holds " + std::to_string(now) +
           " bytes, not the " + std::to_string(size) +
           " it held before the update, and the update appended nothing to it");
      return true;
    }
    if (to < 0 || now == to) return true;
    std::unique_ptr<File> file = files_.Open(dir_ + name, OpenMode::kReadWrite);
    if (!file->Truncate(to) || !file->Flush()) throw IoError(errc::kGeneralFailure);
    Note(std::string("  cut ") + name + " back to its " + std::to_string(to) +
         " bytes (removed the " + std::to_string(now - to) + " bytes the update appended)");
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
  if (!PlainFile(name)) {
    Note("  kept " + name + ": it is not a plain file of the installation");
    return;
  }
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
      // Never into a link to a folder elsewhere.
      if (files_.KindForCreate(dir_ + folder + e.name) == EntryKind::kDirectory) {
        FindWorkingFiles(folder + e.name + '\\', found);
      }
    } else if (IsWorkingName(e.name)) {
      found->push_back(folder + e.name);
    }
  }
}

RepairOutcome Repair::SetAside(const std::string& why) {
  Note("The update's journal does not match what stands in the installation: " + why);
  // Lumora and the next update need the installed files under their own names: given back
  // where nothing stands under them. Nothing else changes.
  for (const auto& [working, own] : {std::pair{partbase::kInstalledPartBase, partbase::kPartBase},
                                     std::pair{partbase::kPalDataArh, partbase::kPalData}}) {
    if (files_.FileExists(dir_ + working) && files_.Kind(dir_ + own) == EntryKind::kNone &&
        files_.Rename(dir_ + working, dir_ + own)) {
      Note(std::string("  gave ") + working + " its name " + own + " back");
    }
  }
  std::string kept;
  for (int n = 1; n < 1000 && kept.empty(); ++n) {
    const std::string name = "~LumoraUpdate." + std::to_string(n) + ".jnl";
    if (files_.Kind(dir_ + name) == EntryKind::kNone &&
        files_.Rename(dir_ + journal::kJournalName, dir_ + name)) {
      kept = name;
    }
  }
  if (kept.empty() || !files_.Sync(dir_)) {
    Note(std::string("Cannot set the journal aside. ") + kAgain);
    return {false, report_};
  }
  Note("  set the journal aside as " + kept + "; every other file is left as it stands");
  Note(std::string("Check by hand that Partbase.txt and PalData.txt hold what they should: the "
                   "update's lines may still be in them. ") +
       kByHand);
  for (const char* name : {partbase::kPartBase, partbase::kPalData}) {
    if (!files_.FileExists(dir_ + name)) return {false, report_};
  }
  return {true, report_};
}

RepairOutcome Repair::RunIn(const std::string& install_dir, bool held, bool undo) {
  RepairOutcome outcome = Repaired(install_dir, held, undo);
  outcome.journal_left = files_.Kind(dir_ + journal::kJournalName) != EntryKind::kNone;
  return outcome;
}

RepairOutcome Repair::Repaired(const std::string& install_dir, bool held, bool undo) {
  dir_ = install_dir;
  report_.clear();
  plain_folders_.clear();
  failed_ = false;
  const std::string shown = dir_.substr(0, dir_.size() - 1);

  // A running update or repair holds the installation: nothing is done beside it.
  const std::unique_ptr<FolderLock> lock = held ? nullptr : files_.LockFolder(shown);
  if (!held && !lock) {
    return {false, "An update or a repair is running in " + shown +
                       " now. Nothing was changed: let it end first.\n"};
  }

  const EntryKind journal_kind = files_.KindForCreate(dir_ + journal::kJournalName);
  JournalContents journal;
  if (journal_kind == EntryKind::kFile) {
    try {
      journal = ReadJournal(files_, dir_);
    } catch (const IoError& e) {
      return {false, "Cannot read the journal " + std::string(journal::kJournalName) + " in " +
                         shown + " (" + e.what() + "). Nothing was changed.\n"};
    } catch (const JournalDamaged& e) {
      return {false, "The journal " + std::string(journal::kJournalName) + " in " + shown +
                         " is damaged: " + e.what() +
                         ". It is not what an update writes, and nothing was changed. " + kByHand +
                         "\n"};
    }
  } else if (journal_kind != EntryKind::kNone) {
    return {false, std::string(journal::kJournalName) + " in " + shown +
                       " is not a plain file. Nothing was changed. " + kByHand + "\n"};
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
  } else if (!has_journal) {
    Note("Working names of an interrupted update were found in " + shown +
         ", without a journal (an earlier updater's run). Giving the names back as the "
         "README tells by hand:");
    RepairOutcome undone = Undo(nullptr, working);
    if (!undone.whole) return undone;
  } else {
    Note("An interrupted update was found in " + shown + " (its journal " + journal::kJournalName +
         ").");
    // The update had finished when every name is back, every file it made stands with
    // the size it wrote (a repair cut short may have removed some), and every appended tail
    // is intact.
    bool finished = !left_over && !undo;
    for (const JournalFile& file : journal.files) {
      if (!finished) break;
      if (IsBaseFile(file.name)) continue;
      try {
        finished = files_.Open(dir_ + file.name, OpenMode::kRead)->Size() == file.size;
      } catch (const IoError&) {
        finished = false;
      }
    }
    std::string unjudged;
    for (const char* base : {partbase::kPartBase, partbase::kPalData}) {
      finished = finished && files_.FileExists(dir_ + base);
      const JournalAppend* append = AppendRecordOf(journal, base);
      if (!append) continue;
      // The installed file still under its working name, or under its own.
      const char* working =
          base == partbase::kPartBase ? partbase::kInstalledPartBase : partbase::kPalDataArh;
      const char* holder = files_.FileExists(dir_ + working) ? working : base;
      const Tail tail = TailOf(holder, *append);
      finished = finished && (tail == Tail::kExact || tail == Tail::kLonger);
      if (tail == Tail::kLonger || tail == Tail::kUnknown) unjudged = holder;
    }
    if (!finished && !unjudged.empty()) {
      return SetAside(unjudged + " no longer ends in the bytes the update appended to it, so " +
                      "what follows them cannot be told apart.");
    }
    if (finished) {
      // Every name is back and every appended tail intact: the update had done everything
      // but remove its journal. Lines that Lumora appended since stay.
      if (!files_.Sync(dir_) || !files_.DeleteFile(dir_ + journal::kJournalName) ||
          !files_.Sync(dir_)) {
        Note(std::string("Cannot remove the journal ") + journal::kJournalName + ". " + kAgain);
        return {false, report_};
      }
      Note("The update had finished all but its last step: removed its journal " +
           std::string(journal::kJournalName) + ". The installation is updated.");
      RepairOutcome done{true, report_};
      done.finished = true;
      done.archive_bytes = journal.archive_bytes;
      done.archive_crc = journal.archive_crc;
      return done;
    }
    Note("Undoing it:");
    RepairOutcome undone = Undo(&journal, working);
    if (!undone.whole) return undone;
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

RepairOutcome Repair::Undo(const JournalContents* journal,
                           const std::vector<std::string>& working) {
  const bool have = journal != nullptr;
  const JournalContents none;
  const JournalContents& j = have ? *journal : none;
  const JournalFile* new_base = FileRecord(j, partbase::kPartBase);
  const JournalFile* new_data = FileRecord(j, partbase::kPalData);

  // The installed files first: their own names back, and what was appended cut off.
  if (!GiveNameBack(partbase::kInstalledPartBase, partbase::kPartBase, new_base, have)) {
    return {false, report_};
  }
  if (have &&
      !CutBack(partbase::kPartBase, j.part_base_size, AppendRecordOf(j, partbase::kPartBase))) {
    return {false, report_};
  }
  // The archive's part base, moved aside by the merge.
  if (!have || (new_base && Holds(partbase::kNewPartBase, new_base->size, new_base->crc))) {
    Delete(partbase::kNewPartBase, "the update's new part base");
  } else if (files_.FileExists(dir_ + partbase::kNewPartBase)) {
    Note(std::string("  kept ") + partbase::kNewPartBase +
         ": it is not the part base the update unpacked");
  }
  if (!GiveNameBack(partbase::kPalDataArh, partbase::kPalData, new_data, have)) {
    return {false, report_};
  }
  if (have &&
      !CutBack(partbase::kPalData, j.pal_data_size, AppendRecordOf(j, partbase::kPalData))) {
    return {false, report_};
  }
  Delete(partbase::kWorkingCopy, "the working file");
  Delete(format::kScratchName, "the working file");

  // What the run created and still holds exactly what it wrote; its working files; then
  // its folders, deepest first.
  size_t removed_files = 0;
  std::vector<std::string> kept;
  for (const JournalFile& file : j.files) {
    if (IsBaseFile(file.name) || !files_.FileExists(dir_ + file.name)) continue;
    if (!Holds(file.name, file.size, file.crc)) {
      kept.push_back(file.name);
      continue;
    }
    if (files_.DeleteFile(dir_ + file.name)) {
      ++removed_files;
    } else {
      Note("Cannot remove " + file.name + ", which the update created. " + kAgain);
      failed_ = true;
    }
  }
  if (removed_files > 0) {
    Note("  removed " + Plural(removed_files, "file", "files") + " the update had created");
  }
  for (const std::string& name : kept) {
    Note("  kept " + name + ": it is not the file the update wrote there (someone else's, " +
         "or changed since)");
  }
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
  std::vector<std::string> folders = j.folders;
  std::stable_sort(folders.begin(), folders.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  size_t removed_folders = 0;
  for (const std::string& folder : folders) {
    const std::string name = folder.substr(0, folder.size() - 1);
    // The folder and every one above it plain folders of the installation, never links.
    if (!PlainFolders(folder, folder.size())) continue;
    if (files_.RemoveDirectory(dir_ + name)) {
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
  if (have) {
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
  return {true, report_};
}

}  // namespace lumora
