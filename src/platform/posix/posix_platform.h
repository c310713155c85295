// Linux services behind the platform interfaces.
// Implemented:
//  [X] registry: HKEY_CURRENT_USER as one REGEDIT4 text file, rewritten atomically
//  [X] files: '\' paths resolved component by component without regard to letter case,
//      names turned between the code page and the locale's encoding, Windows error codes, renames
//      that never replace and refuse a source held open
//  [X] new files made without a name (O_TMPFILE) and linked under theirs once written, where
//      the file system and /proc allow it; elsewhere under their working names
//  [X] processes: command lines split as Windows splits them, started with posix_spawnp,
//      waited for without spinning
//  [ ] share modes on open: another process may still open a file this one writes
//  [ ] a new console for a started program (it shares the caller's terminal)
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/filesystem.h"
#include "platform/processes.h"
#include "platform/registry.h"

namespace lumora {

class Descriptor;

// HKEY_CURRENT_USER kept in a text file in the REGEDIT4 export format. The file is read
// anew by every call, so changes made by other programs are seen at once.
class PosixRegistry : public Registry {
 public:
  // ${XDG_CONFIG_HOME:-$HOME/.config}/registry/HKEY_CURRENT_USER.reg
  PosixRegistry();
  explicit PosixRegistry(std::string file);

  const std::string& file() const { return file_; }

  // Appends the section lines of the key and of its missing parents; every other line of
  // the file stays byte for byte. Nothing is written when the key exists.
  bool CreateKey(const std::string& key) override;
  std::optional<std::string> ReadString(const std::string& key, const std::string& name) override;

  // The default file of the current user.
  static std::string DefaultFile();

 private:
  std::string file_;
};

class PosixFileSystem : public FileSystem {
 public:
  // Ignores SIGXFSZ for the process, so that a file size limit turns into a short write
  // (reported as a full disk) instead of ending the program, and raises its limit of open
  // descriptors to the hard limit (files without a name stay open until they get one).
  // LUMORA_NO_TMPFILE=1 in the environment has CreatePending make every file under its name.
  PosixFileSystem();
  ~PosixFileSystem() override;

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  // Made without a name in its folder where the file system allows that (O_TMPFILE) and
  // /proc is there to link it through, decided once per folder: the file then has only
  // the name it was created under, for this object alone, until Rename or RenameWritten
  // links it under its own name, or DeleteFile drops it. Meanwhile that name is taken for
  // FileExists, Kind and Open, and stands on no disk: a process killed or a power cut
  // leaves nothing of the file behind. Elsewhere, and beyond MaxPendingFiles, the file is
  // made under the name it is created under, as by Open.
  std::unique_ptr<File> CreatePending(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  EntryKind Kind(const std::string& path) override;
  EntryKind KindForCreate(const std::string& path) override;
  // The code page's fold (CodePage::Folded).
  std::string FoldCase(const std::string& name) override;
  bool PathFits(const std::string& path, bool directory) override;
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  // renameat2 without replacing (any letter case), and without the search for other
  // holders; for a file without a name, linkat, which refuses a name that stands as that
  // rename does.
  bool RenameWritten(const std::string& from, const std::string& to) override;
  bool ListDirectory(const std::string& path, std::vector<DirEntry>* entries) override;
  int64_t FreeSpace(const std::string& path) override;
  // statvfs f_favail; -1 on a file system that reports no inode count (f_files 0).
  int64_t FreeFileEntries(const std::string& path) override;
  void HoldFolderIndexes(bool on) override;
  // syncfs of the file system that holds path, and of every other file system that this
  // object has written a file on (a folder of the installation may be another disk).
  bool Sync(const std::string& path) override;
  // The same syncfs calls, made on a thread of their own.
  std::function<bool()> BeginSync(const std::string& path) override;
  // flock of the folder itself, which no file of the installation needs.
  std::unique_ptr<FolderLock> LockFolder(const std::string& path) override;
  std::string ModuleFileName() override;
  // The descriptors left for files without a name: the limit, less those open when first
  // asked and a reserve for everything else. A new file beyond them is made under its name.
  int MaxPendingFiles() override;

 private:
  // Opens what Sync syncs into fds: path's folder, then one folder on each other file
  // system written to. False when one could not be opened (then left out).
  bool SyncTargets(const std::string& path, std::vector<int>* fds);
  // A folder on each file system written to, by device.
  void NoteWritten(int fd, const std::string& native);
  // Open, once path is resolved to native (missing: known to name nothing).
  std::unique_ptr<File> OpenResolved(const std::string& path, const std::string& native,
                                     bool missing, OpenMode mode);
  // A new file without a name for path (native, known missing or not), or null when it
  // must be made under its name instead.
  std::unique_ptr<File> CreateUnnamed(const std::string& path, const std::string& native,
                                      bool missing);
  // The file without a name opened under path, or null.
  Descriptor* Unnamed(const std::string& path);
  // Links the file without a name opened under from under to; false when to is taken in
  // any letter case or cannot be made (the file stays as it was).
  bool NameUnnamed(const std::string& from, const std::string& to);

  std::map<uint64_t, std::string> written_devices_;
  std::string noted_folder_;  // the folder whose file system NoteWritten saw last
  // Files without a name, by the folded path they were opened under.
  std::unordered_map<std::string, std::shared_ptr<Descriptor>> unnamed_;
  // Native folders that were tried, and whether they can hold a file without a name.
  std::unordered_map<std::string, bool> unnamed_folders_;
  bool unnamed_off_ = false;  // never: LUMORA_NO_TMPFILE=1, or no /proc/self/fd
  int max_unnamed_ = -1;      // MaxPendingFiles, once known
};

class PosixProcesses : public Processes {
 public:
  std::unique_ptr<Process> Start(const std::string& command_line) override;
};

// The native path of a path as the core writes it: '\' and '/' both separate, every
// component is turned from the code page into the locale's encoding, and every component
// that does not exist with exactly its letters is replaced by the first entry of its
// directory, in name order, that matches it without regard to case (in the code page).
// Components that match nothing are kept as written. "" when a component holds a byte the
// code page leaves undefined.
std::string ResolvePath(const std::string& path);

// The Windows error code for an errno value (ENOENT gives 2; the callers that know the
// path tell 2 from 3 themselves).
int WindowsErrorCode(int posix_errno);

// True when a process other than this one has the file open (scans /proc/*/fd).
bool HeldOpenByOtherProcess(const std::string& native_path);

// While it stands, the limit of open descriptors is the one the process started with,
// which PosixFileSystem raised: a program started meanwhile gets that limit, as it would
// have from the shell.
class StartLimits {
 public:
  StartLimits();
  ~StartLimits();
  StartLimits(const StartLimits&) = delete;
  StartLimits& operator=(const StartLimits&) = delete;

 private:
  bool lowered_ = false;
};

// Splits a command line into program and arguments by the rules of Windows: the program
// name ends at the closing quote, or at the first blank or control character when it
// does not start with a quote; then arguments are separated by blanks and tabs, quotes
// group, 2n backslashes before a quote give n backslashes and a quote that groups, 2n+1
// give n backslashes and a literal quote, and two quotes inside a quoted part give one
// literal quote and end the quoted part.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

}  // namespace lumora
