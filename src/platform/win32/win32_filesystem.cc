// Files, directories and the directory search through the system's wide (UTF-16) file
// functions, with the core's paths turned into UTF-16 by win32_text.h. Every failure keeps
// the system's own error code (GetLastError), which is what the run-time layer's messages
// are keyed by.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <algorithm>
#include <limits>
#include <utility>

#include "platform/device_names.h"
#include "platform/errors.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_text.h"

namespace lumora {
namespace {

// An open file handle, closed by its destructor.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      Close();
      h_ = other.h_;
      other.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  void Close() {
    if (valid()) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  HANDLE h_;
};

// An open directory search, closed by its destructor.
class SearchHandle {
 public:
  SearchHandle(const std::string& pattern, WIN32_FIND_DATAW* first)
      : h_(FindFirstFileW(ToWide(pattern).c_str(), first)) {}
  ~SearchHandle() {
    if (valid()) FindClose(h_);
  }
  SearchHandle(const SearchHandle&) = delete;
  SearchHandle& operator=(const SearchHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// Largest piece handed to one ReadFile or WriteFile call (their counts are 32-bit).
constexpr size_t kMaxPiece = 1u << 30;

class Win32File : public File {
 public:
  explicit Win32File(FileHandle h) : h_(std::move(h)) {}

  IoResult Read(void* data, size_t n) override {
    IoResult r;
    char* p = static_cast<char*>(data);
    while (r.count < n) {
      DWORD want = static_cast<DWORD>(std::min(n - r.count, kMaxPiece));
      DWORD got = 0;
      if (!ReadFile(h_.get(), p + r.count, want, &got, nullptr)) {
        r.error = static_cast<int>(GetLastError());
        break;
      }
      if (got == 0) break;  // end of the file
      r.count += got;
    }
    return r;
  }

  IoResult Write(const void* data, size_t n) override {
    IoResult r;
    const char* p = static_cast<const char*>(data);
    while (r.count < n) {
      DWORD want = static_cast<DWORD>(std::min(n - r.count, kMaxPiece));
      DWORD put = 0;
      if (!WriteFile(h_.get(), p + r.count, want, &put, nullptr)) {
        r.error = static_cast<int>(GetLastError());
        break;
      }
      if (put == 0) {
        // A write that moves nothing without an error: the disk took no more.
        r.error = errc::kDiskFull;
        break;
      }
      r.count += put;
    }
    return r;
  }

  int64_t Seek(int64_t offset) override {
    LARGE_INTEGER to, now;
    to.QuadPart = offset;
    if (offset < 0 || !SetFilePointerEx(h_.get(), to, &now, FILE_BEGIN)) return -1;
    return now.QuadPart;
  }

  int64_t Position() const override {
    LARGE_INTEGER zero, now;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(h_.get(), zero, &now, FILE_CURRENT)) return -1;
    return now.QuadPart;
  }

  int64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h_.get(), &size)) return -1;
    return size.QuadPart;
  }

  // Cuts the file at size; the current position stays where it was.
  bool Truncate(int64_t size) override {
    if (size < 0) return false;
    const int64_t keep = Position();
    if (keep < 0 || Seek(size) < 0) return false;
    const bool ok = SetEndOfFile(h_.get()) != 0;
    Seek(keep);
    return ok;
  }

  bool Flush() override { return FlushFileBuffers(h_.get()) != 0; }

 private:
  FileHandle h_;
};

// True when the last name of path is one of the names that always mean a device (CON,
// NUL, COM1, ...), whatever extension follows and in whatever folder they stand.
bool IsDeviceName(const std::string& path) {
  const size_t cut = path.find_last_of("\\/:");
  return IsReservedDeviceName(path.substr(cut == std::string::npos ? 0 : cut + 1));
}

// The prefix of a path that the system takes as it stands, without parsing it into a full
// path first: "\\?\C:\..." and "\\?\UNC\server\share\...". Such a path may be as long as
// 32,767 characters.
constexpr char kLongPathPrefix[] = "\\\\?\\";
constexpr size_t kLongPathPrefixLength = 4;

bool IsLongPath(const std::string& path) {
  return path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0;
}

// True when a name holds the search wildcards, which FindFirstFileW would expand. The '?'
// of the long-path prefix is none.
bool HasWildcard(const std::string& path) {
  return path.find_first_of("*?", IsLongPath(path) ? kLongPathPrefixLength : 0) !=
         std::string::npos;
}

// The folder's search pattern: its contents, whatever separators end its path ("C:\" gives
// "C:\*.*"; a long path is never normalised, so no separator may stand twice).
std::string SearchPattern(std::string path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path + "\\*.*";
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(ToWide(path).c_str()); }

}  // namespace

std::unique_ptr<File> Win32FileSystem::Open(const std::string& path, OpenMode mode) {
  DWORD access = 0, share = 0, disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kRead:
      access = GENERIC_READ;
      share = FILE_SHARE_READ;
      break;
    case OpenMode::kWriteExisting:
      access = GENERIC_WRITE;
      break;
    case OpenMode::kReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      share = FILE_SHARE_READ;
      break;
    case OpenMode::kCreate:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case OpenMode::kCreateNew:
      access = GENERIC_WRITE;
      disposition = CREATE_NEW;
      break;
  }
  // A device name opens the device, never a file: it is refused before it is touched.
  if (IsDeviceName(path)) throw IoError(errc::kAccessDenied);
  FileHandle h(CreateFileW(ToWide(path).c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) throw IoError(static_cast<int>(GetLastError()));
  if (GetFileType(h.get()) != FILE_TYPE_DISK) throw IoError(errc::kAccessDenied);
  return std::make_unique<Win32File>(std::move(h));
}

EntryKind Win32FileSystem::Kind(const std::string& path) {
  if (IsDeviceName(path)) return EntryKind::kOther;
  const DWORD a = Attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  return (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kDirectory : EntryKind::kFile;
}

EntryKind Win32FileSystem::KindForCreate(const std::string& path) {
  // A junction or a symbolic link is never written or removed through.
  if (IsDeviceName(path)) return EntryKind::kOther;
  const DWORD a = Attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::kOther;
  return (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kDirectory : EntryKind::kFile;
}

namespace {

// Folds a run of code page bytes (no escape in it) onto the end of out.
void FoldBytes(std::string_view run, std::string* out) {
  std::string folded(run);
  if (!folded.empty()) CharUpperBuffA(&folded[0], static_cast<DWORD>(folded.size()));
  for (size_t i = 0; i < run.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(run[i]);
    if (c < 0x80) {
      folded[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : run[i];
    } else if (static_cast<unsigned char>(folded[i]) < 0x80) {
      folded[i] = run[i];
    }
  }
  *out += folded;
}

}  // namespace

std::string Win32FileSystem::FoldCase(const std::string& name) {
  std::string folded;
  folded.reserve(name.size());
  size_t run = 0;
  for (size_t at = name.find(kWideEscape); at != std::string::npos;
       at = name.find(kWideEscape, at)) {
    wchar_t unit = 0;
    if (!WideEscapeAt(name, at, &unit)) {
      ++at;
      continue;
    }
    FoldBytes(std::string_view(name).substr(run, at - run), &folded);
    // An escaped character folds by the system's table too. Its upper case is written as
    // the code page writes it: the escape again, or the code page's own byte when it has
    // one, so that the escape and that byte fold alike. Never to an ASCII letter.
    wchar_t upper = unit;
    CharUpperBuffW(&upper, 1);
    if (upper < 0x80) {
      AppendWideEscape(unit, &folded);
    } else {
      FoldBytes(FromWide(std::wstring_view(&upper, 1)), &folded);
    }
    at += kWideEscapeLength;
    run = at;
  }
  FoldBytes(std::string_view(name).substr(run), &folded);
  return folded;
}

bool Win32FileSystem::PathFits(const std::string& path, bool directory) {
  // Limits in UTF-16 characters, as the system counts them. A path shorter than MAX_PATH;
  // a directory must leave room for an 8.3 name inside it. A long path ("\\?\...") may
  // hold up to 32,767 characters. No name may pass 255 characters.
  const std::wstring wide = ToWide(path);
  const size_t limit = IsLongPath(path) ? 32767 : directory ? MAX_PATH - 12 : MAX_PATH;
  if (wide.size() >= limit) return false;
  size_t name = 0;
  for (wchar_t c : wide) {
    name = (c == L'\\' || c == L'/') ? 0 : name + 1;
    if (name > 255) return false;
  }
  return true;
}

bool Win32FileSystem::Sync(const std::string&) {
  // Each file the update wrote was flushed before it was closed.
  return true;
}

namespace {
class Win32FolderLock : public FolderLock {
 public:
  explicit Win32FolderLock(HANDLE semaphore) : semaphore_(semaphore) {}
  ~Win32FolderLock() override {
    ReleaseSemaphore(semaphore_, 1, nullptr);
    CloseHandle(semaphore_);
  }
  Win32FolderLock(const Win32FolderLock&) = delete;
  Win32FolderLock& operator=(const Win32FolderLock&) = delete;

 private:
  HANDLE semaphore_;
};
}  // namespace

std::unique_ptr<FolderLock> Win32FileSystem::LockFolder(const std::string& path) {
  // A semaphore, not a mutex: a mutex is taken again by the thread that holds it, and a
  // second run in this process must be refused too. When a holder ends, however it ends,
  // the system closes its handle, and the semaphore goes with the last one.
  // The name comes from the full path in its plain form, so that "\\?\C:\Lumora" and
  // "C:\Lumora" take the same lock.
  const std::wstring wide = ToWide(path);
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (n >= full.size()) {
    full.resize(n);
    n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  }
  std::string plain =
      n > 0 && n < full.size() ? FromWide(std::wstring_view(full).substr(0, n)) : path;
  if (plain.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    plain.replace(0, 8, "\\\\");
  } else if (IsLongPath(plain)) {
    plain.erase(0, kLongPathPrefixLength);
  }
  std::string folded = FoldCase(plain);
  while (!folded.empty() && folded.back() == '\\') folded.pop_back();
  // Object names cannot hold '\': the name carries a hash of the folder's path.
  uint64_t hash = 14695981039346656037ull;
  for (char c : folded) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  char name[64];
  wsprintfA(name, "Local\\LumoraUpdate-%08lx%08lx", static_cast<unsigned long>(hash >> 32),
            static_cast<unsigned long>(hash & 0xffffffffu));
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, name);
  if (!semaphore) return std::make_unique<FolderLock>();
  if (WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0) {
    CloseHandle(semaphore);
    return nullptr;
  }
  return std::make_unique<Win32FolderLock>(semaphore);
}

bool Win32FileSystem::FileExists(const std::string& path) {
  if (path.empty() || HasWildcard(path)) return false;
  WIN32_FIND_DATAW found;
  SearchHandle search(path, &found);
  return search.valid() && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Win32FileSystem::DirectoryExists(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32FileSystem::CreateDirectory(const std::string& path) {
  return CreateDirectoryW(ToWide(path).c_str(), nullptr) != 0;
}

bool Win32FileSystem::RemoveDirectory(const std::string& path) {
  return RemoveDirectoryW(ToWide(path).c_str()) != 0;
}

bool Win32FileSystem::DeleteFile(const std::string& path) {
  return DeleteFileW(ToWide(path).c_str()) != 0;
}

bool Win32FileSystem::Rename(const std::string& from, const std::string& to) {
  // MoveFileW never replaces an existing target, but it does give a file a new spelling
  // of its own name ("a.txt" to "A.TXT"); that target exists too, so it is refused here.
  if (Attributes(to) != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  return MoveFileW(ToWide(from).c_str(), ToWide(to).c_str()) != 0;
}

bool Win32FileSystem::RenameWritten(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING it never replaces; write-through puts the new name
  // on the disk before it returns, as the file's data already is.
  if (Attributes(to) != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  return MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool Win32FileSystem::ListDirectory(const std::string& path, std::vector<DirEntry>* entries) {
  entries->clear();
  if (HasWildcard(path)) return false;
  WIN32_FIND_DATAW found;
  SearchHandle search(SearchPattern(path), &found);
  if (!search.valid()) return false;
  do {
    entries->push_back({FromWide(found.cFileName), static_cast<uint32_t>(found.dwFileAttributes)});
  } while (FindNextFileW(search.get(), &found));
  return true;
}

int64_t Win32FileSystem::FreeSpace(const std::string& path) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(ToWide(path).c_str(), &available, nullptr, nullptr)) return -1;
  if (available.QuadPart > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max())) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(available.QuadPart);
}

std::string Win32FileSystem::ModuleFileName() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &name[0], static_cast<DWORD>(name.size()));
    if (n == 0) return "";
    // A name that filled the buffer may have been cut: try again with a larger one. A path
    // has at most 32,767 characters, so the buffer stops growing at 64 Ki.
    if (n < name.size()) return FromWide(std::wstring_view(name).substr(0, n));
    if (name.size() >= 65536) return "";
    name.resize(name.size() * 2);
  }
}

}  // namespace lumora
