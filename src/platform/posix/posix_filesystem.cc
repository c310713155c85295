// Files, directories and streams on Linux, with the behaviour the core expects of Windows:
// names match without regard to letter case, a rename never replaces anything and is
// refused while another process has the source open, and failures carry Windows codes.
//
// Share modes are not enforced when a file is opened: another process may open, and even
// write, a file that this one has open for writing. Only a rename checks for other users
// of the file, because that is where the update relies on it (a part base held open by the
// running application must not be moved away).
//
// The core's names are in the updater's 8-bit code page (see codepage.h); each component is
// turned into the locale's encoding on its way to the system, and each name read from a
// folder is turned back. A name the code page cannot represent cannot be named by the core.
//
// A new file that the caller names later (CreatePending) is made without a name where the
// file system allows it (O_TMPFILE), and linked under its name once the caller has put it
// on the disk: until then no name on the disk stands for it, and a process killed or a
// power cut leaves nothing of it behind (the file system frees a file that has no name by
// itself). Where it does not (FAT, exFAT, network and most FUSE file systems) or /proc is
// not mounted, the file is made under the name it is created under, and renamed.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/posix/codepage.h"
#include "platform/posix/folder_index.h"
#include "platform/posix/posix_platform.h"

namespace lumora {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// After a rename: both folders' indexes learn of it. Always true.
bool Moved(const std::string& source, const std::string& dest) {
  Indexes().Changed(source, false);
  Indexes().Changed(dest, true);
  return true;
}

std::vector<std::string> CaseInsensitiveMatches(const std::string& dir, const std::string& name) {
  return Indexes().Matches(dir, name);
}

bool IsDirectory(const std::string& native) {
  struct stat st;
  return stat(native.empty() ? "." : native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The code of a failed operation on native: a missing last component is "file not
// found", a missing folder on the way "path not found".
int PathErrorCode(int posix_errno, const std::string& native) {
  if (posix_errno == ENOENT) {
    if (native.empty()) return errc::kPathNotFound;
    return IsDirectory(NativeParent(native)) ? errc::kFileNotFound : errc::kPathNotFound;
  }
  return WindowsErrorCode(posix_errno);
}

// True when two native folder paths ("" is the current folder) name the same folder.
bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.empty() ? "." : a.c_str(), &sa) == 0 &&
         stat(b.empty() ? "." : b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// A core path split before its last component: the folder (with its separator, resolved),
// the last name as written, and that name in the locale's encoding (empty when the code
// page cannot name it or its folder); with the folder's index, also the entries that
// match the name in any letter case.
struct SplitTarget {
  std::string native_dir;
  std::string name;
  std::string native_name;
  bool matched = false;
  std::vector<std::string> matches;
};

SplitTarget SplitLast(const std::string& path) {
  std::string p = path;
  while (!p.empty() && IsSeparator(p.back()) && p.size() > 1) p.pop_back();
  size_t cut = p.find_last_of("\\/");
  SplitTarget target;
  target.name = cut == std::string::npos ? p : p.substr(cut + 1);
  if (cut != std::string::npos) {
    const std::string folder = p.substr(0, cut + 1);
    target.matched =
        Indexes().MatchesInFolder(folder, target.name, &target.native_dir, &target.matches);
    if (!target.matched) target.native_dir = ResolvePath(folder);
    if (target.native_dir.empty()) return target;
  }
  if (!CodePage::System().ToNative(target.name, &target.native_name)) target.native_name.clear();
  return target;
}

// The entries of the target's folder that its name matches in any letter case.
std::vector<std::string> TargetMatches(const SplitTarget& target) {
  return target.matched ? target.matches : CaseInsensitiveMatches(target.native_dir, target.name);
}

}  // namespace

// A descriptor, closed when its last holder lets it go: a file without a name is held by
// its File while it is written and by the file system until it has its name.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

namespace {

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : PosixFile(std::make_shared<Descriptor>(fd)) {}
  explicit PosixFile(std::shared_ptr<Descriptor> fd) : fd_(fd->get()), owner_(std::move(fd)) {}
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  IoResult Read(void* data, size_t n) override {
    IoResult r;
    auto* p = static_cast<char*>(data);
    while (r.count < n) {
      ssize_t got = read(fd_, p + r.count, n - r.count);
      if (got < 0) {
        if (errno == EINTR) continue;
        r.error = WindowsErrorCode(errno);
        break;
      }
      if (got == 0) break;
      r.count += static_cast<size_t>(got);
    }
    return r;
  }

  IoResult Write(const void* data, size_t n) override {
    IoResult r;
    const auto* p = static_cast<const char*>(data);
    while (r.count < n) {
      ssize_t put = write(fd_, p + r.count, n - r.count);
      if (put < 0) {
        if (errno == EINTR) continue;
        r.error = WindowsErrorCode(errno);
        break;
      }
      if (put == 0) {
        r.error = errc::kDiskFull;
        break;
      }
      r.count += static_cast<size_t>(put);
    }
    return r;
  }

  int64_t Seek(int64_t offset) override {
    if (offset < 0) return -1;
    off_t pos = lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
  }

  int64_t Position() const override {
    off_t pos = lseek(fd_, 0, SEEK_CUR);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
  }

  int64_t Size() override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  bool Truncate(int64_t size) override {
    return size >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0;
  }

 private:
  int fd_;
  std::shared_ptr<Descriptor> owner_;
};

bool IsNumber(const char* s) {
  if (!*s) return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

namespace {

// Appends path's components from index i to out, each in the locale's encoding, with one
// '/' for every run of separators. With lookup, each component that is not found as
// written is matched without regard to case in its folder; once one is missing, nothing
// below it can exist, and the rest is kept as written. "" when a component holds a byte
// the code page leaves undefined: no native name stands for it.
// With first_missing, the first component is known to be missing as written (its lstat
// has just failed). *missing_out, when given, tells whether a component matched nothing,
// so that the path names nothing.
std::string WalkPath(const std::string& path, size_t i, std::string out, bool lookup,
                     bool first_missing = false, bool* missing_out = nullptr) {
  const CodePage& names = CodePage::System();
  bool missing = !lookup;
  while (i < path.size()) {
    size_t end = i;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string component = path.substr(i, end - i);
    std::string candidate = out;
    if (!names.ToNative(component, &candidate)) return "";
    if (!missing && component != "." && component != "..") {
      struct stat st;
      if (first_missing || lstat(candidate.c_str(), &st) != 0) {
        const int err = first_missing ? ENOENT : errno;
        first_missing = false;
        std::vector<std::string> matches = CaseInsensitiveMatches(out, component);
        if (!matches.empty()) {
          candidate = out + matches.front();
        } else if (err == ENOENT || err == ENOTDIR) {
          missing = true;
        }
      }
    }
    out = candidate;
    i = end;
    bool separated = false;
    while (i < path.size() && IsSeparator(path[i])) {
      ++i;
      separated = true;
    }
    if (separated) out += '/';
  }
  if (missing_out) *missing_out = lookup && missing;
  return out;
}

bool Exists(const std::string& native) {
  struct stat st;
  return lstat(native.c_str(), &st) == 0;
}

std::string Resolve(const std::string& path, bool* missing);

// While the folder indexes are held: the folder resolved once, then the last name looked
// up in the folder's index alone, one stat of the folder in all. False when the path does
// not have that shape (a trailing separator, a "." or "..", no folder).
bool ResolveInIndexedFolder(const std::string& path, std::string* native, bool* missing) {
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos || cut + 1 == path.size()) return false;
  const std::string name = path.substr(cut + 1);
  if (name == "." || name == "..") return false;
  const std::string folder = path.substr(0, cut + 1);
  std::string native_folder;
  std::vector<std::string> matches;
  if (!Indexes().MatchesInFolder(folder, name, &native_folder, &matches)) {
    bool folder_missing = false;
    native_folder = Resolve(folder, &folder_missing);
    if (native_folder.empty() || folder_missing || !IsDirectory(native_folder)) return false;
    Indexes().RememberFolder(folder, native_folder);
    matches = CaseInsensitiveMatches(native_folder, name);
  }
  std::string written;
  if (!CodePage::System().ToNative(name, &written)) {
    native->clear();
    return true;
  }
  // The name as written first, else the first match in name order.
  const bool exact = std::binary_search(matches.begin(), matches.end(), written);
  *native = native_folder + (exact || matches.empty() ? written : matches.front());
  if (missing) *missing = matches.empty();
  return true;
}

// ResolvePath, telling in *missing (when given) whether the path is known to name nothing.
std::string Resolve(const std::string& path, bool* missing) {
  if (missing) *missing = false;
  std::string fast;
  if (Indexes().held() && ResolveInIndexedFolder(path, &fast, missing)) return fast;
  std::string root;
  size_t i = 0;
  if (!path.empty() && IsSeparator(path[0])) {
    root = "/";
    while (i < path.size() && IsSeparator(path[i])) ++i;
  }
  // Most paths exist as written, or all of them but the last name does (a file about to
  // be created): then one lookup of the path, or of its folder, stands for the lookups of
  // every folder on the way, which the kernel has just made with the same result.
  const std::string plain = WalkPath(path, i, root, false);
  if (plain.empty()) return plain;
  if (Exists(plain)) return plain;
  size_t last = path.size();
  while (last > i && IsSeparator(path[last - 1])) --last;
  while (last > i && !IsSeparator(path[last - 1])) --last;
  if (last > i) {
    std::string folder = WalkPath(path.substr(0, last), i, root, false);
    if (Exists(folder)) return WalkPath(path, last, std::move(folder), true, true, missing);
  }
  return WalkPath(path, i, root, true, false, missing);
}

}  // namespace

std::string ResolvePath(const std::string& path) { return Resolve(path, nullptr); }

int WindowsErrorCode(int posix_errno) {
  switch (posix_errno) {
    case 0:
      return 0;
    case ENOENT:
      return errc::kFileNotFound;
    case ENOTDIR:
    case ELOOP:
      return errc::kPathNotFound;
    case EMFILE:
    case ENFILE:
      return errc::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return errc::kAccessDenied;
    case EROFS:
      return errc::kWriteProtect;
    case ETXTBSY:
    case EBUSY:
      return errc::kSharingViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:  // a file size limit: to the writer it is a full disk
      return errc::kDiskFull;
    case EEXIST:
      return errc::kFileExists;
    case EINVAL:
      return errc::kInvalidParameter;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ENOMEM:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EBADF:
      return 6;  // ERROR_INVALID_HANDLE
    case EXDEV:
      return 17;  // ERROR_NOT_SAME_DEVICE
    case ENOTEMPTY:
      return 145;  // ERROR_DIR_NOT_EMPTY
    case EIO:
    default:
      return errc::kGeneralFailure;
  }
}

namespace {

enum class Opens { kOne, kMore, kUnknown };

// Asks the kernel by a write lease, which it grants only to a file's one open: kOne when
// fd is the only open of its file anywhere, kMore when there are others (this process's
// own included), kUnknown when leases are off, unsupported there, or not ours to take.
// A lease broken meanwhile signals SIGURG, which nothing here waits for and which does
// nothing by default (unlike SIGIO, which ends the process).
Opens OpensByLease(int fd) {
  if (fcntl(fd, F_SETSIG, SIGURG) != 0) return Opens::kUnknown;
  if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return Opens::kOne;
  }
  return errno == EAGAIN ? Opens::kMore : Opens::kUnknown;
}

// Whether a file is open anywhere but in the one open made here to ask: by a lease, once
// the kernel has shown that it counts readers too (a second open of this process's must
// be refused the lease); else kUnknown, and /proc is read instead.
Opens OtherOpens(const std::string& native_path) {
  static std::atomic<bool> counts_readers{false};
  const int fd = open(native_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Opens::kUnknown;
  Opens opens = Opens::kUnknown;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (!counts_readers) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      const int second = open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (second >= 0) {
        counts_readers = OpensByLease(fd) == Opens::kMore;
        close(second);
      }
    }
    if (counts_readers) opens = OpensByLease(fd);
  }
  close(fd);
  return opens;
}

}  // namespace

bool HeldOpenByOtherProcess(const std::string& native_path) {
  // Mostly nothing else has the file open, which one lease tells; only when something may,
  // the open files of every process are looked through, to leave this one's own out.
  if (OtherOpens(native_path) == Opens::kOne) return false;
  struct stat target;
  if (stat(native_path.c_str(), &target) != 0) return false;
  DirHandle proc("/proc");
  if (!proc.get()) return false;
  const std::string self = std::to_string(getpid());
  while (dirent* e = readdir(proc.get())) {
    if (!IsNumber(e->d_name) || self == e->d_name) continue;
    std::string fd_dir = std::string("/proc/") + e->d_name + "/fd/";
    DirHandle fds(fd_dir);
    if (!fds.get()) continue;  // gone, or another user's process we may not look into
    while (dirent* f = readdir(fds.get())) {
      if (!IsNumber(f->d_name)) continue;
      struct stat st;
      if (stat((fd_dir + f->d_name).c_str(), &st) == 0 && st.st_dev == target.st_dev &&
          st.st_ino == target.st_ino) {
        return true;
      }
    }
  }
  return false;
}

namespace {

// Descriptors kept for everything but files without a name: the archive, the journal, the
// folder indexes, the scratch file, a display, what the libraries open.
constexpr int kSpareDescriptors = 64;

// The soft limit of open descriptors the process started with, once PosixFileSystem has
// raised it (0 before), and the limit it raised it to.
std::atomic<rlim_t> started_limit{0};
std::atomic<rlim_t> raised_limit{0};

// A batch of files without a name holds a descriptor for each: more than the soft limit
// usual on Linux (1,024) allows, and far less than the hard one.
void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t started = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    // An unlimited hard limit still stops at the kernel's fs.nr_open (2^20 by default).
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t{1} << 20);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  }
  raised_limit = limit.rlim_cur;
  started_limit = started;
}

// The link to an open file that /proc/self/fd holds for it.
std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// True when /proc/self/fd leads to the file fd is open on: a file without a name is linked
// through it.
bool LinkableByProc(int fd) {
  struct stat by_fd, by_proc;
  return fstat(fd, &by_fd) == 0 && stat(FdPath(fd).c_str(), &by_proc) == 0 &&
         by_fd.st_dev == by_proc.st_dev && by_fd.st_ino == by_proc.st_ino;
}

// Links a file without a name under dest, never replacing what stands there: by its
// descriptor where the kernel lets its opener do that (Linux 6.10 and later), else through
// /proc/self/fd.
bool LinkUnnamed(int fd, const std::string& dest) {
  static std::atomic<bool> through_proc{false};
  const bool tried = !through_proc;
  if (tried) {
    if (linkat(fd, "", AT_FDCWD, dest.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
  }
  if (linkat(AT_FDCWD, FdPath(fd).c_str(), AT_FDCWD, dest.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return false;
  }
  if (tried) through_proc = true;
  return true;
}

// True when open(O_TMPFILE) failed because the file system makes no files without a name:
// EOPNOTSUPP from FAT, exFAT, NFS and FUSE, EISDIR or EINVAL from kernels older than the
// flag.
bool HasNoUnnamedFiles(int err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS;
}

// The key of a file without a name: the path it was opened under, as the system compares
// paths.
std::string UnnamedKey(const std::string& path) {
  std::string key = CodePage::System().Folded(path);
  for (char& c : key) {
    if (c == '/') c = '\\';
  }
  return key;
}

// The flags of an open in `mode` that say how the file is read or written, and whether it
// is emptied; whether it may be created is the caller's to add.
int AccessFlags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return O_RDONLY;
    case OpenMode::kWriteExisting:
    case OpenMode::kCreateNew:
      return O_WRONLY;
    case OpenMode::kReadWrite:
      return O_RDWR;
    case OpenMode::kCreate:
      return O_WRONLY | O_TRUNC;
  }
  return O_RDONLY;
}

// A second open of a file without a name, through /proc/self/fd: for reading, writing
// or emptying. A create that must make the file finds its name taken.
std::unique_ptr<File> Reopen(const Descriptor& unnamed, OpenMode mode) {
  if (mode == OpenMode::kCreateNew) throw IoError(errc::kFileExists);
  const int flags = O_CLOEXEC | AccessFlags(mode);
  int fd;
  do {
    fd = open(FdPath(unnamed.get()).c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw IoError(WindowsErrorCode(errno));
  return std::make_unique<PosixFile>(fd);
}

}  // namespace

StartLimits::StartLimits() {
  const rlim_t started = started_limit;
  struct rlimit limit;
  if (started == 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= started) return;
  limit.rlim_cur = started;
  lowered_ = setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

StartLimits::~StartLimits() {
  struct rlimit limit;
  if (!lowered_ || getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = raised_limit;
  setrlimit(RLIMIT_NOFILE, &limit);
}

PosixFileSystem::PosixFileSystem() {
  static std::once_flag ignored;
  std::call_once(ignored, [] { signal(SIGXFSZ, SIG_IGN); });
  RaiseDescriptorLimit();
  const char* no_unnamed = std::getenv("LUMORA_NO_TMPFILE");
  unnamed_off_ = no_unnamed != nullptr && std::strcmp(no_unnamed, "1") == 0;
}

PosixFileSystem::~PosixFileSystem() = default;

Descriptor* PosixFileSystem::Unnamed(const std::string& path) {
  if (unnamed_.empty()) return nullptr;
  const auto it = unnamed_.find(UnnamedKey(path));
  return it == unnamed_.end() ? nullptr : it->second.get();
}

std::unique_ptr<File> PosixFileSystem::CreateUnnamed(const std::string& path,
                                                     const std::string& native, bool missing) {
  if (native.empty() || static_cast<int64_t>(unnamed_.size()) >= MaxPendingFiles()) return nullptr;
  const std::string folder = NativeParent(native);
  const auto decided = unnamed_folders_.find(folder);
  if (decided != unnamed_folders_.end() && !decided->second) return nullptr;
  // Nothing may have the name, as O_EXCL has it for a file made under its name.
  struct stat st;
  if (!missing && lstat(native.c_str(), &st) == 0) throw IoError(errc::kFileExists);
  int fd;
  do {
    fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // Any other failure (a folder that is missing or may not be written) is met again by
    // the create under the name, which reports it as it always has.
    if (HasNoUnnamedFiles(errno)) unnamed_folders_[folder] = false;
    return nullptr;
  }
  auto unnamed = std::make_shared<Descriptor>(fd);
  if (decided == unnamed_folders_.end()) {
    if (!LinkableByProc(fd)) {
      unnamed_off_ = true;  // no /proc: no file could ever get its name
      return nullptr;
    }
    unnamed_folders_[folder] = true;
  }
  NoteWritten(fd, native);
  unnamed_[UnnamedKey(path)] = unnamed;
  return std::make_unique<PosixFile>(std::move(unnamed));
}

bool PosixFileSystem::NameUnnamed(const std::string& from, const std::string& to) {
  const auto it = unnamed_.find(UnnamedKey(from));
  const SplitTarget target = SplitLast(to);
  if (target.native_name.empty() || target.name == "." || target.name == "..") return false;
  // The name may be taken in no letter case (the kernel refuses only the exact one).
  if (!TargetMatches(target).empty()) return false;
  const std::string dest = target.native_dir + target.native_name;
  if (!LinkUnnamed(it->second->get(), dest)) return false;
  Indexes().Changed(dest, true);
  unnamed_.erase(it);
  return true;
}

int PosixFileSystem::MaxPendingFiles() {
  if (unnamed_off_) return INT_MAX;
  if (max_unnamed_ < 0) {
    int64_t open_now = -1;  // the listing's own descriptor is not counted
    DirHandle fds("/proc/self/fd");
    while (fds.get() && readdir(fds.get()) != nullptr) ++open_now;
    open_now -= 2 + static_cast<int64_t>(unnamed_.size());  // "." and ".."; files without a name
    struct rlimit limit;
    if (!fds.get()) {
      unnamed_off_ = true;  // no /proc
      return INT_MAX;
    }
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
      max_unnamed_ = INT_MAX;
    } else {
      const int64_t left = static_cast<int64_t>(limit.rlim_cur) - open_now - kSpareDescriptors;
      max_unnamed_ = static_cast<int>(std::clamp<int64_t>(left, 1, INT_MAX));
    }
  }
  return max_unnamed_;
}

std::unique_ptr<File> PosixFileSystem::CreatePending(const std::string& path) {
  if (Unnamed(path)) throw IoError(errc::kFileExists);
  bool missing = false;
  const std::string native = Resolve(path, &missing);
  if (!unnamed_off_) {
    if (std::unique_ptr<File> file = CreateUnnamed(path, native, missing)) return file;
  }
  return OpenResolved(path, native, missing, OpenMode::kCreateNew);
}

std::unique_ptr<File> PosixFileSystem::Open(const std::string& path, OpenMode mode) {
  if (const Descriptor* unnamed = Unnamed(path)) return Reopen(*unnamed, mode);
  bool missing = false;
  const std::string native = Resolve(path, &missing);
  return OpenResolved(path, native, missing, mode);
}

std::unique_ptr<File> PosixFileSystem::OpenResolved(const std::string& path,
                                                    const std::string& native, bool missing,
                                                    OpenMode mode) {
  // Never blocks in open: a pipe or a device under the name is refused below instead of
  // waiting for a reader that never comes. A new file (O_EXCL) never opens anything that
  // stands already.
  int flags = O_CLOEXEC | AccessFlags(mode) | (mode == OpenMode::kCreateNew ? 0 : O_NONBLOCK);
  // A file created is never created through a symbolic link: one left in the installation
  // under a working file's name would have the update empty or create a file wherever it
  // points.
  if (mode == OpenMode::kCreate) flags |= O_CREAT | O_NOFOLLOW;
  if (mode == OpenMode::kCreateNew) flags |= O_CREAT | O_EXCL;
  if (mode != OpenMode::kRead && mode != OpenMode::kCreateNew && !missing) {
    // Emptying a pipe or a device is not a thing to try: only a regular file (or nothing,
    // for a file about to be created) may stand under a name that is written.
    struct stat st;
    if (stat(native.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) throw IoError(errc::kAccessDenied);
  }
  int fd;
  do {
    fd = open(native.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && mode == OpenMode::kCreate && errno == ELOOP) throw IoError(errc::kAccessDenied);
  if (fd < 0 && errno == ENXIO) throw IoError(errc::kAccessDenied);  // a pipe with no reader
  if (fd < 0) throw IoError(PathErrorCode(errno, native));
  auto file = std::make_unique<PosixFile>(fd);
  if (flags & O_CREAT) Indexes().Changed(native, true);
  if (mode != OpenMode::kRead) NoteWritten(fd, native);
  if (mode == OpenMode::kCreateNew) {
    Indexes().Created(path, native);
    return file;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) throw IoError(WindowsErrorCode(errno));
  // A directory opens for reading here, but never as a file on Windows; nothing but a
  // regular file is read or written.
  if (!S_ISREG(st.st_mode)) throw IoError(errc::kAccessDenied);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}

EntryKind PosixFileSystem::Kind(const std::string& path) {
  if (path.empty()) return EntryKind::kDirectory;  // the current folder
  if (Unnamed(path)) return EntryKind::kFile;
  bool missing = false;
  const std::string native = Resolve(path, &missing);
  if (native.empty() || missing) return EntryKind::kNone;
  struct stat st;
  if (stat(native.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) return EntryKind::kFile;
    if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
    return EntryKind::kOther;
  }
  // A link whose target is missing still takes the name.
  return lstat(native.c_str(), &st) == 0 ? EntryKind::kOther : EntryKind::kNone;
}

EntryKind PosixFileSystem::KindForCreate(const std::string& path) {
  if (path.empty()) return EntryKind::kDirectory;
  if (Unnamed(path)) return EntryKind::kFile;
  bool missing = false;
  const std::string native = Resolve(path, &missing);
  if (native.empty() || missing) return EntryKind::kNone;
  struct stat st;
  // A create never follows a link (O_NOFOLLOW): it meets the link itself.
  if (lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return EntryKind::kOther;
  return Kind(path);
}

std::string PosixFileSystem::FoldCase(const std::string& name) {
  return CodePage::System().Folded(name);
}

bool PosixFileSystem::PathFits(const std::string& path, bool /*directory*/) {
  // The system takes whole paths of up to PATH_MAX - 1 bytes and names of up to NAME_MAX
  // bytes, in the locale's encoding; separators count once per run, as the native path
  // has them. A byte the code page leaves undefined has no native form at all.
  const CodePage& code_page = CodePage::System();
  size_t total = 0;
  size_t name = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) {
      if (i > 0 && IsSeparator(path[i - 1])) continue;
      name = 0;
      ++total;
      continue;
    }
    if (!code_page.Defines(static_cast<uint8_t>(path[i]))) return false;
    const size_t length = code_page.NativeLength(static_cast<uint8_t>(path[i]));
    name += length;
    total += length;
    if (name > NAME_MAX) return false;
  }
  return total < PATH_MAX;
}

bool PosixFileSystem::FileExists(const std::string& path) {
  if (Unnamed(path)) return true;
  struct stat st;
  bool missing = false;
  std::string native = Resolve(path, &missing);
  return !native.empty() && !missing && stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixFileSystem::DirectoryExists(const std::string& path) {
  bool missing = false;
  std::string native = Resolve(path, &missing);
  return !native.empty() && !missing && IsDirectory(native);
}

bool PosixFileSystem::CreateDirectory(const std::string& path) {
  std::string native = ResolvePath(path);
  if (native.empty() || mkdir(native.c_str(), 0777) != 0) return false;
  Indexes().Changed(native, true);
  return true;
}

bool PosixFileSystem::RemoveDirectory(const std::string& path) {
  std::string native = ResolvePath(path);
  if (native.empty() || rmdir(native.c_str()) != 0) return false;
  Indexes().Changed(native, false);
  Indexes().ForgetFolders();
  return true;
}

bool PosixFileSystem::DeleteFile(const std::string& path) {
  // A file without a name goes with its descriptor.
  if (Unnamed(path)) return unnamed_.erase(UnnamedKey(path)) != 0;
  std::string native = ResolvePath(path);
  struct stat st;
  if (native.empty() || lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if (unlink(native.c_str()) != 0) return false;
  Indexes().Changed(native, false);
  return true;
}

namespace {

// True when link() failed because the file system has no hard links at all (FAT and exFAT
// refuse with EPERM, or EOPNOTSUPP through FUSE), not because of the names.
bool HasNoHardLinks(int err) {
  return err == EPERM || err == ENOTSUP /* EOPNOTSUPP too */ || err == EMLINK || err == ENOSYS;
}

// A rename that must not replace, on a file system that cannot refuse to replace by itself:
// a hard link refuses a target that stands. Without hard links, the target (found free in
// every letter case by the caller) is looked at once more, and a plain rename follows.
bool RenameWithoutReplacing(const std::string& source, const std::string& dest, bool by_link) {
  if (by_link) {
    if (link(source.c_str(), dest.c_str()) == 0) {
      unlink(source.c_str());
      return true;
    }
    if (!HasNoHardLinks(errno)) return false;
  }
  struct stat existing;
  if (lstat(dest.c_str(), &existing) == 0 || errno != ENOENT) return false;
  return rename(source.c_str(), dest.c_str()) == 0;
}

}  // namespace

bool PosixFileSystem::Rename(const std::string& from, const std::string& to) {
  // Nothing but this object can hold a file without a name.
  if (Unnamed(from)) return NameUnnamed(from, to);
  std::string source = ResolvePath(from);
  struct stat src;
  if (source.empty() || lstat(source.c_str(), &src) != 0) return false;

  SplitTarget target = SplitLast(to);
  if (target.native_name.empty() || target.name == "." || target.name == "..") return false;
  std::string dest = target.native_dir + target.native_name;
  if (S_ISDIR(src.st_mode)) Indexes().ForgetFolders();

  // The target may exist in no letter case, unless that entry is the source itself (a
  // rename that only changes the case of a name).
  const bool same_dir = SameFolder(NativeParent(source), target.native_dir);
  const std::string source_name = NativeBaseName(source);
  bool case_change_only = false;
  for (const std::string& match : TargetMatches(target)) {
    if (same_dir && match == source_name) {
      case_change_only = true;
      continue;
    }
    return false;
  }
  struct stat existing;
  if (!case_change_only && lstat(dest.c_str(), &existing) == 0) return false;

  if (HeldOpenByOtherProcess(source)) return false;

  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0) {
    return Moved(source, dest);
  }
  int err = errno;
  if (err == EEXIST) {
    // A folder that ignores case itself sees the new spelling of the same name as taken.
    return case_change_only && rename(source.c_str(), dest.c_str()) == 0 && Moved(source, dest);
  }
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return false;
  if (case_change_only) return rename(source.c_str(), dest.c_str()) == 0 && Moved(source, dest);
  return RenameWithoutReplacing(source, dest, S_ISREG(src.st_mode)) && Moved(source, dest);
}

bool PosixFileSystem::RenameWritten(const std::string& from, const std::string& to) {
  if (Unnamed(from)) return NameUnnamed(from, to);
  // The file made under `from` by this run is renamed as it was made, without a lookup.
  std::string source;
  if (!Indexes().TakeCreated(from, &source)) source = ResolvePath(from);
  const SplitTarget target = SplitLast(to);
  if (source.empty() || target.native_name.empty() || target.name == "." || target.name == "..") {
    return false;
  }
  const std::string dest = target.native_dir + target.native_name;
  // The name may be taken in no letter case (the kernel refuses only the exact one).
  if (!TargetMatches(target).empty()) return false;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0) {
    return Moved(source, dest);
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  return RenameWithoutReplacing(source, dest, true) && Moved(source, dest);
}

bool PosixFileSystem::ListDirectory(const std::string& path, std::vector<DirEntry>* entries) {
  std::string native = ResolvePath(path);
  if (native.empty()) return false;
  DirHandle d(native);
  if (!d.get()) return false;
  entries->clear();
  const CodePage& names = CodePage::System();
  while (dirent* e = readdir(d.get())) {
    DirEntry entry;
    // A name the code page cannot represent comes with a '?' for each character it lacks,
    // as on Windows; no path of the core reaches it, so walks pass it by.
    if (!names.FromNative(e->d_name, &entry.name)) entry.attributes |= attr::kSystem;
    bool directory = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      // Symbolic links are never followed: a link to a folder is an entry of its own, so a
      // walk that deletes what it finds removes the link and not what it points to.
      struct stat st;
      directory =
          fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (directory) entry.attributes |= attr::kDirectory;
    if (entry.name[0] == '.' && entry.name != "." && entry.name != "..") {
      entry.attributes |= attr::kHidden;
    }
    // A name with a backslash in it cannot be named by a path of the core, which would take
    // it for several components (and "..\x" for a way out of the folder): walks pass it by.
    if (entry.name.find('\\') != std::string::npos) entry.attributes |= attr::kSystem;
    entries->push_back(std::move(entry));
  }
  return true;
}

namespace {

// The nearest folder of path that exists: the disk of a file not yet created is its
// folder's.
std::string NearestFolder(const std::string& path) {
  std::string native = ResolvePath(path);
  if (native.empty()) native = ".";
  while (!IsDirectory(native)) {
    std::string parent = NativeParent(native);
    if (parent.empty()) {
      native = ".";
      break;
    }
    if (parent == native) break;
    native = parent;
  }
  return native;
}

}  // namespace

int64_t PosixFileSystem::FreeSpace(const std::string& path) {
  struct statvfs vfs;
  if (statvfs(NearestFolder(path).c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

int64_t PosixFileSystem::FreeFileEntries(const std::string& path) {
  struct statvfs vfs;
  if (statvfs(NearestFolder(path).c_str(), &vfs) != 0 || vfs.f_files == 0) return -1;
  return static_cast<int64_t>(vfs.f_favail);
}

void PosixFileSystem::HoldFolderIndexes(bool on) { Indexes().Hold(on); }

void PosixFileSystem::NoteWritten(int fd, const std::string& native) {
  const size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : native.substr(0, slash);
  // Most files go to the folder of the file before: its file system is known.
  if (folder == noted_folder_) return;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  const auto device = static_cast<uint64_t>(st.st_dev);
  if (written_devices_.count(device) == 0) written_devices_[device] = folder;
  noted_folder_ = std::move(folder);
}

namespace {
// syncfs of each descriptor, which it then closes; false when one reports lost data.
bool SyncAndClose(const std::vector<int>& fds) {
  bool ok = true;
  for (int fd : fds) {
    ok = syncfs(fd) == 0 && ok;
    close(fd);
  }
  return ok;
}
}  // namespace

bool PosixFileSystem::SyncTargets(const std::string& path, std::vector<int>* fds) {
  std::string native = ResolvePath(path);
  int fd = open(native.empty() ? "." : native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  // One call for each file system: every file the update wrote, its renames and its
  // folders. It also reports a write that the disk lost since the file system was opened.
  fds->push_back(fd);
  struct stat st;
  const bool known = fstat(fd, &st) == 0;
  bool ok = true;
  for (const auto& [device, folder] : written_devices_) {
    if (known && device == static_cast<uint64_t>(st.st_dev)) continue;
    // A folder of the installation that is another disk (a link, a mount point): what was
    // written there is on that disk only after its own sync.
    const int other = open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_DIRECTORY);
    if (other < 0) {
      ok = ok && errno == ENOENT;  // a folder removed since holds nothing left to sync
      continue;
    }
    fds->push_back(other);
  }
  return ok;
}

bool PosixFileSystem::Sync(const std::string& path) {
  std::vector<int> fds;
  const bool opened = SyncTargets(path, &fds);
  return SyncAndClose(fds) && opened;
}

std::function<bool()> PosixFileSystem::BeginSync(const std::string& path) {
  std::vector<int> fds;
  const bool opened = SyncTargets(path, &fds);
  // The thread has the descriptors to itself and touches nothing else of this object. It
  // takes no signal: a close signal must interrupt the main thread's waits, so the thread
  // starts with every signal blocked.
  struct SignalsBlocked {
    sigset_t old;
    SignalsBlocked() {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, &old);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
  };
  // The outcome waits in a shared slot; whoever lets go of it last (the call, or the
  // caller that never made it) waits for the thread.
  struct Syncing {
    std::thread thread;
    bool ok = false;
    ~Syncing() {
      if (thread.joinable()) thread.join();
    }
  };
  try {
    auto syncing = std::make_shared<Syncing>();
    {
      const SignalsBlocked blocked;
      syncing->thread = std::thread([s = syncing.get(), fds] { s->ok = SyncAndClose(fds); });
    }
    return [syncing, opened] {
      if (syncing->thread.joinable()) syncing->thread.join();
      return syncing->ok && opened;
    };
  } catch (const std::system_error&) {
    // No thread to be had: the sync is made here.
    const bool ok = SyncAndClose(fds) && opened;
    return [ok] { return ok; };
  }
}

namespace {
class PosixFolderLock : public FolderLock {
 public:
  explicit PosixFolderLock(int fd) : fd_(fd) {}
  ~PosixFolderLock() override { close(fd_); }
  PosixFolderLock(const PosixFolderLock&) = delete;
  PosixFolderLock& operator=(const PosixFolderLock&) = delete;

 private:
  int fd_;
};
}  // namespace

std::unique_ptr<FolderLock> PosixFileSystem::LockFolder(const std::string& path) {
  const std::string native = ResolvePath(path);
  const int fd = open(native.empty() ? "." : native.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  // A folder that cannot be opened is met by the run's own checks, with their messages.
  if (fd < 0) return std::make_unique<FolderLock>();
  // An open of its own: a second run in this process is refused as well as another process.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    // A file system without locks (some network ones) cannot tell: the run goes on.
    return held ? nullptr : std::make_unique<FolderLock>();
  }
  return std::make_unique<PosixFolderLock>(fd);
}

std::string PosixFileSystem::ModuleFileName() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buffer.size()) {
      // The core reads its own archive through this name: when the code page cannot write
      // it, the link to the running program names the same file in plain ASCII.
      std::string name;
      if (!CodePage::System().FromNative(std::string_view(buffer.data(), n), &name)) {
        return "/proc/self/exe";
      }
      return name;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace lumora
