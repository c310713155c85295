#include "update/update_run.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/extraction_plan.h"
#include "archive/self_extractor.h"
#include "platform/errors.h"
#include "shell/application.h"
#include "update/journal.h"
#include "update/key_set.h"
#include "update/part_base.h"
#include "update/repair.h"
#include "update/text_file.h"

namespace lumora {
namespace {

// Names at the top of the installation, without regard to letter case.
bool SameName(const std::string& entry, const char* name) {
  return UpperCase(entry) == UpperCase(name);
}

// True when the folder holds more than one entry that the system folds to name: names
// that differ only in letter case, which a file system that tells case apart keeps side by
// side, and which the renames and merges would take for one another.
bool HasCaseTwins(FileSystem& files, const std::vector<DirEntry>& entries, const char* name) {
  const std::string wanted = files.FoldCase(name);
  int found = 0;
  for (const DirEntry& e : entries) {
    if ((e.attributes & attr::kDirectory) == 0 && files.FoldCase(e.name) == wanted) ++found;
  }
  return found > 1;
}

// A path from the root: "\\server\share", "\x", "/x" or a drive's "C:\x".
bool IsAbsolutePath(const std::string& path) {
  if (path.empty()) return false;
  if (path[0] == '\\' || path[0] == '/') return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// Files the run makes for itself beside the archive's: the journal, the working copy of the
// part base and the scratch file.
constexpr int64_t kOwnFiles = 3;

// Bytes rounded up to whole clusters of the disk.
int64_t WholeClusters(int64_t bytes) {
  return (bytes + kClusterBytes - 1) / kClusterBytes * kClusterBytes;
}

// What a merge appends to an installed file: the new file's lines, and the line end that
// an installed last line may lack first; nothing when the archive brings no such file.
int64_t AppendedBytes(EntryKind after_extraction, const RewrittenSize& lines) {
  if (after_extraction != EntryKind::kFile) return 0;
  return WholeClusters(lines.bytes() + 2);
}

// Size of a file of the installation, or -1 when it cannot be read.
int64_t SizeOf(FileSystem& files, const std::string& path) {
  try {
    return files.Open(path, OpenMode::kRead)->Size();
  } catch (const IoError&) {
    return -1;
  }
}

// Keeps what it is given and passes it on: the new part base's and data file's text, which
// the check counts the records and lines of for its figures.
class KeptText : public ByteSink {
 public:
  explicit KeptText(ByteSink& next) : next_(next) {}
  bool Write(const uint8_t* data, size_t n) override {
    text.append(reinterpret_cast<const char*>(data), n);
    return next_.Write(data, n);
  }
  std::string text;

 private:
  ByteSink& next_;
};

// Has the extraction tell the journal what it creates, for as long as the object lives.
class RecordedBy {
 public:
  RecordedBy(SelfExtractor& extractor, CreationRecord& record) : extractor_(extractor) {
    extractor_.creation_record = &record;
  }
  ~RecordedBy() { extractor_.creation_record = nullptr; }
  RecordedBy(const RecordedBy&) = delete;
  RecordedBy& operator=(const RecordedBy&) = delete;

 private:
  SelfExtractor& extractor_;
};

}  // namespace

namespace {
std::string Count(const char* what, int64_t n) {
  return std::string(what) + " " + (n < 0 ? std::string("-") : std::to_string(n));
}
}  // namespace

std::string FiguresText(const UpdateFigures& f) {
  // Eight upper-case hex digits, without printf's formatter in the stub.
  std::string crc(8, '0');
  for (uint32_t v = f.archive_crc, i = 8; i-- > 0; v >>= 4) crc[i] = "0123456789ABCDEF"[v & 15];
  return "archive " + std::to_string(f.archive_bytes) + " bytes, CRC-32 " + crc + "; " +
         Count("new files", f.files) + ", " + Count("new folders", f.folders) + ", " +
         Count("part base records new", f.records) + ", " + Count("duplicate", f.duplicates) +
         ", " + Count("data lines", f.data_lines) + ", " + Count("bytes needed", f.bytes_needed) +
         ", " + Count("bytes free", f.bytes_free);
}

UpdateRun::UpdateRun(Registry& registry, FileSystem& files, Application& app,
                     SelfExtractor& extractor)
    : registry_(registry), files_(files), app_(app), extractor_(extractor) {}

void UpdateRun::BrelinUpdate1Click() {
  const std::string install_dir = FindInstallation();
  if (install_dir.empty()) return;
  RunSequence(install_dir);
}

std::string UpdateRun::FindInstallation() {
  TForm1& form = app_.Form1;
  form.Label1.Caption = " ";
  form.Label2.Caption = "Finding Lumora";
  form.Label3.Caption = " ";

  if (!check_only) registry_.CreateKey(updaterun::kQuandrixKey);
  bool found = false;
  bool interrupted = false;
  std::string install_dir;
  const std::string version =
      registry_.ReadString(updaterun::kLumoraSection, updaterun::kVersionValue)
          .value_or(updaterun::kNoVersion);
  if (version != updaterun::kNoVersion) {
    const std::string hd_path =
        registry_.ReadString(updaterun::kLumoraSection, updaterun::kHDPathValue)
            .value_or(updaterun::kNoHDPath);
    // An empty path names no installation: with the backslash rule it would be the root
    // of the current drive. Nor does a relative one, which would name a folder below
    // wherever the updater was started.
    if (hd_path != updaterun::kNoHDPath && IsAbsolutePath(hd_path)) {
      install_dir = hd_path.back() == '\\' ? hd_path : hd_path + '\\';
      // An interrupted update may have the two files under working names: the run undoes
      // it first, and then they must stand.
      interrupted = files_.Kind(install_dir + journal::kJournalName) != EntryKind::kNone;
      found = interrupted || files_.FileExists(install_dir + partbase::kPartBase);
      if (observer) observer->OnInstallation(hd_path, version);
    }
  }
  if (!found || (!interrupted && !files_.FileExists(install_dir + partbase::kPalData))) {
    app_.ShowMessageDialog(updaterun::kInstallationText, MessageKind::Error, kButtonOk, 0);
    return std::string();
  }
  return install_dir;
}

bool UpdateRun::CheckUpdate(const std::string& install_dir) {
  // The whole archive is read before any installed file changes: a truncated or damaged
  // updater throws here, an entry that extraction or the merges could not write stops
  // here, and so does a disk too small for the update's peak, all with the installation
  // as it was.
  // A journal says that an earlier run was interrupted: its update is undone by --repair
  // first, or this run would apply a second time what that one appended.
  if (files_.Kind(install_dir + journal::kJournalName) != EntryKind::kNone) {
    app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
    return false;
  }
  ExtractionPlan plan(files_, install_dir);
  plan.Assume(journal::kJournalName, EntryKind::kFile);
  // While the archive is unpacked, the data file and the part base stand under their
  // working names.
  plan.Assume(partbase::kPalData, EntryKind::kNone);
  plan.Assume(partbase::kPartBase, EntryKind::kNone);
  plan.Assume(partbase::kPalDataArh, EntryKind::kFile);
  plan.Assume(partbase::kInstalledPartBase, EntryKind::kFile);
  plan.Assume(partbase::kWorkingCopy, EntryKind::kFile);
  RewrittenSize new_base, new_data;  // what the merges append at most
  // For the figures (--check, a log) the two texts are kept to count their records and
  // lines; a plain run keeps nothing.
  const bool counting = check_only || observer != nullptr;
  KeptText kept_base(new_base), kept_data(new_data);
  const ArchiveSummary summary = extractor_.Verify(&plan, [&](const std::string& name) {
    ByteSink* tap = nullptr;
    if (SameName(name, partbase::kPartBase)) {
      tap = counting ? static_cast<ByteSink*>(&kept_base) : &new_base;
    }
    if (SameName(name, partbase::kPalData)) {
      tap = counting ? static_cast<ByteSink*>(&kept_data) : &new_data;
    }
    return tap;
  });
  figures_ = UpdateFigures();
  figures_.archive_bytes = summary.archive_bytes;
  figures_.archive_crc = summary.archive_crc;
  figures_.files = plan.files_made();
  figures_.folders = plan.entries_made() - plan.files_made();
  // The renames and the merges need their names free, and the names they give back.
  // The working copy is made by a create that never follows a link.
  const EntryKind copy_kind = files_.KindForCreate(install_dir + partbase::kWorkingCopy);
  if (copy_kind != EntryKind::kNone && copy_kind != EntryKind::kFile) {
    throw IoError(errc::kAccessDenied);
  }
  const EntryKind base_after = plan.KindAfter(partbase::kPartBase);
  const EntryKind data_after = plan.KindAfter(partbase::kPalData);
  std::vector<DirEntry> top;
  files_.ListDirectory(install_dir, &top);
  if (HasCaseTwins(files_, top, partbase::kPartBase) ||
      HasCaseTwins(files_, top, partbase::kPalData) ||
      files_.Kind(install_dir + partbase::kInstalledPartBase) != EntryKind::kNone ||
      (base_after == EntryKind::kFile &&
       plan.KindAfter(partbase::kNewPartBase) != EntryKind::kNone) ||
      (base_after != EntryKind::kNone && base_after != EntryKind::kFile) ||
      (data_after != EntryKind::kNone && data_after != EntryKind::kFile)) {
    app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
    return false;
  }

  // The peak comes at the end of the merges: the unpacked files, the working copy of the
  // installed part base, the lines appended to the part base and the data file and the
  // journal all stand at once.
  int64_t base_size = 0;
  try {
    base_size = files_.Open(install_dir + partbase::kPartBase, OpenMode::kRead)->Size();
  } catch (const IoError&) {
    // Discovery found it; if it cannot be read now, CheckPartBase says so.
  }
  const int64_t journal_bytes = JournalBytes(summary.files + summary.directories,
                                             summary.name_chain_lines, summary.name_chain_bytes);
  const int64_t needed = summary.disk_bytes + WholeClusters(std::max<int64_t>(base_size, 0)) +
                         AppendedBytes(base_after, new_base) + AppendedBytes(data_after, new_data) +
                         WholeClusters(journal_bytes);
  const int64_t free_space = files_.FreeSpace(install_dir);
  figures_.bytes_needed = needed + updaterun::kFreeSpaceMargin;
  figures_.bytes_free = free_space;
  // Every file and folder the archive makes takes an entry of the disk (an inode), and so
  // do the files the run makes for itself: the journal, the working copy of the part base
  // and the scratch file.
  const int64_t free_entries = files_.FreeFileEntries(install_dir);
  if ((free_space >= 0 && free_space < needed + updaterun::kFreeSpaceMargin) ||
      (free_entries >= 0 && free_entries < plan.entries_made() + kOwnFiles)) {
    if (observer) observer->OnChecked(figures_);
    app_.ShowMessageDialog(updaterun::kDiskFullText, MessageKind::Error, kButtonOk, 0);
    return false;
  }

  // The two files the run changes can be changed: one held by Lumora, or marked read-only,
  // is refused here, before anything changes, not half-way.
  for (const char* name : {partbase::kPartBase, partbase::kPalData}) {
    try {
      files_.Open(install_dir + name, OpenMode::kReadWrite);
    } catch (const IoError&) {
      if (observer) observer->OnChecked(figures_);
      app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
      return false;
    }
  }

  // Every record of the installed part base has a sound basic index, or the merge would
  // stop half-way: tested here, before anything changes. The same pass finds which of the
  // new records it holds already.
  KeySet keys;
  std::vector<std::string> new_lines;
  if (counting && base_after == EntryKind::kFile) {
    new_lines = TextLines(kept_base.text);
    for (const std::string& line : new_lines) {
      if (!IsCommentLine(line)) keys.Add(DuplicateKey(line));
    }
    if (keys.size() != 0) keys.Build();
  }
  {
    TextReader installed(files_, install_dir + partbase::kPartBase);
    std::string line;
    while (!installed.Eof()) {
      app_.PumpMessages();
      installed.ReadLine(&line);
      if (keys.size() != 0 && !(!line.empty() && line[0] == '#')) keys.Scan(line);
      if (IsCommentLine(line)) continue;
      if (!IsValidBasicIndex(BasicIndexText(line))) {
        if (observer) observer->OnChecked(figures_);
        app_.ShowMessageDialog(partbase::kBasicIndexErrorText, MessageKind::Error, kButtonOk, 0);
        return false;
      }
    }
  }
  if (counting && base_after == EntryKind::kFile) {
    figures_.records = figures_.duplicates = 0;
    for (const std::string& line : new_lines) {
      if (IsCommentLine(line)) continue;
      ++(keys.Found(DuplicateKey(line)) ? figures_.duplicates : figures_.records);
    }
  }
  if (counting && data_after == EntryKind::kFile) {
    figures_.data_lines = static_cast<int64_t>(TextLines(kept_data.text).size());
  }
  if (observer) observer->OnChecked(figures_);
  return true;
}

void UpdateRun::RunSequence(const std::string& install_dir) {
  TForm1& form = app_.Form1;
  extractor_.extractDir = install_dir;
  duplicatesFound = false;
  // What the check reads of the installation's folders serves the extraction too: a folder
  // of many thousand names is read once a run, not once for each.
  HeldFolderIndexes held(files_);

  // One update or repair at a time in an installation: another one running holds its lock.
  const std::unique_ptr<FolderLock> lock =
      files_.LockFolder(install_dir.substr(0, install_dir.size() - 1));
  if (!lock) {
    Note("Another update or repair is running in this installation.\n");
    app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
    return;
  }
  // The journal of an interrupted update: undone first (a check changes nothing, and says
  // that the next run will).
  if (files_.Kind(install_dir + journal::kJournalName) != EntryKind::kNone) {
    if (check_only) {
      Note("An interrupted update remains: the next run undoes it first.\n");
      app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
      app_.SetFailureStatus(3);
      return;
    }
    if (!Heal(install_dir)) return;
    if (!files_.FileExists(install_dir + partbase::kPartBase) ||
        !files_.FileExists(install_dir + partbase::kPalData)) {
      app_.ShowMessageDialog(updaterun::kInstallationText, MessageKind::Error, kButtonOk, 0);
      return;
    }
  }
  if (!CheckUpdate(install_dir)) return;
  if (check_only) {
    app_.SetSucceeded();
    app_.CloseMainWindow();
    return;
  }
  const bool already = healed_finished_ && healed_archive_bytes_ == figures_.archive_bytes &&
                       healed_archive_crc_ == figures_.archive_crc;
  if (!already && !Change(install_dir)) return;
  if (already) Note("The interrupted update was this one, and it had finished.\n");

  form.Label2.Caption = "Complete.        ";
  app_.PumpMessages();
  app_.ShowMessageDialog(updaterun::kSuccessText, MessageKind::Information, kButtonOk, 0);
  app_.PumpMessages();
  app_.SetSucceeded();
  app_.CloseMainWindow();
}

bool UpdateRun::Heal(const std::string& install_dir) {
  app_.Form1.Label2.Caption = "Undoing an interrupted update...";
  app_.PumpMessages();
  const RepairOutcome healed = Repair(registry_, files_).RunIn(install_dir, true);
  Note(healed.report);
  if (!healed.whole || healed.journal_left) {
    app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
    app_.SetFailureStatus(3);
    return false;
  }
  healed_finished_ = healed.finished;
  healed_archive_bytes_ = healed.archive_bytes;
  healed_archive_crc_ = healed.archive_crc;
  return true;
}

void UpdateRun::UndoFailedRun(const std::string& install_dir) {
  const RepairOutcome undone = Repair(registry_, files_).RunIn(install_dir, true, true);
  Note("The run failed and was undone:\n" + undone.report);
  app_.SetFailureStatus(undone.whole && !undone.journal_left ? 1 : 3);
}

bool UpdateRun::Change(const std::string& install_dir) {
  TForm1& form = app_.Form1;
  PartBaseFiles base(files_, app_, install_dir);
  const auto file_error = [this] {
    app_.ShowMessageDialog(partbase::kFileErrorText, MessageKind::Error, kButtonOk, 0);
    return false;
  };
  const auto disk_error = [this] {
    app_.ShowMessageDialog(updaterun::kDiskFullText, MessageKind::Error, kButtonOk, 0);
    return false;
  };
  // The journal is on the disk before the first installed file is renamed: from here on,
  // an interrupted run can be undone exactly.
  Journal journal(files_, install_dir);
  bool begun = false;
  try {
    begun = journal.Begin(SizeOf(files_, install_dir + partbase::kPartBase),
                          SizeOf(files_, install_dir + partbase::kPalData), figures_.archive_bytes,
                          figures_.archive_crc);
  } catch (...) {
    // Nothing has changed: the journal, made in part or not at all, goes.
    journal.Abandon();
    throw;
  }
  if (!begun) {
    journal.Abandon();
    return disk_error();
  }
  RecordedBy recorded(extractor_, journal);
  base.append_record = &journal;
  // From here, a failure undoes the run before its message is shown (or, for a failure
  // that propagates, before it is reported): the installation is then as it was.
  bool undone = false;
  const auto undo = [&] {
    if (undone) return;
    undone = true;
    journal.Close();
    UndoFailedRun(install_dir);
  };
  struct Armed {
    Application& app;
    ~Armed() { app.before_error = nullptr; }
  } armed{app_};
  app_.before_error = undo;
  try {
    // Moving the data file aside proves that Lumora does not hold it, and frees its name
    // for the archive's own.
    if (!files_.Rename(install_dir + partbase::kPalData, install_dir + partbase::kPalDataArh)) {
      // Nothing has changed yet: the journal goes too, and the run can simply be repeated.
      app_.before_error = nullptr;
      journal.Abandon();
      return file_error();
    }
    if (!base.CheckPartBase()) return false;
    if (!files_.Rename(install_dir + partbase::kPartBase,
                       install_dir + partbase::kInstalledPartBase)) {
      return file_error();
    }

    form.Label1.Caption = "0%";
    form.Label2.Caption = "Please WAIT...   ";
    form.Label3.Caption = "Extracting file:";
    // A failed write of decoded output has shown its message and throws StopRun: nothing
    // after it runs.
    extractor_.Selfextract();

    form.ProgressBar1.SetPosition(form.ProgressBar1.Min());
    form.Label1.Caption = "    ";
    form.Label4.Caption = " ";
    form.Label3.Caption = std::string(16, ' ');
    form.Label2.Caption = "Renewing files...";
    app_.PumpMessages();

    if (files_.FileExists(install_dir + partbase::kPartBase)) {
      if (!base.MergePartBase()) return false;
    }
    if (files_.FileExists(install_dir + partbase::kPalData) &&
        files_.FileExists(install_dir + partbase::kPalDataArh)) {
      if (!base.MergePalData()) return false;
    }
    duplicatesFound = base.duplicatesFound;
    if (duplicatesFound) {
      app_.ShowMessageDialog(updaterun::kDuplicatesText, MessageKind::Warning, kButtonOk, 0);
    }
    if (!base.RestoreBaseFiles()) return false;
    // Success is told only once what the update wrote is on the disk, and the journal is
    // gone: its deletion, the last change, is what makes the update stand.
    if (!files_.Sync(install_dir)) return disk_error();
    if (!journal.Finish()) return disk_error();
  } catch (...) {
    undo();
    throw;
  }
  return true;
}

}  // namespace lumora
