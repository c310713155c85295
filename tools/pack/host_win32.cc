// The packer on Windows: text in the ANSI code page, names from the file system as UTF-16,
// converted with the system's own tables. Best-fit mappings are turned off: a name the code
// page cannot hold is refused, never packed as a look-alike ('ő' as 'o').
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "pack/host.h"

namespace fs = std::filesystem;

namespace lumora::pack {

namespace {

std::wstring Widen(UINT cp, std::string_view text, bool* ok) {
  *ok = true;
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) {
    *ok = false;
    n = MultiByteToWideChar(cp, 0, text.data(), size, nullptr, 0);
    if (n <= 0) return std::wstring(text.size(), L'?');
  }
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, *ok ? MB_ERR_INVALID_CHARS : 0, text.data(), size, &wide[0], n);
  return wide;
}

// The text of wide in code page cp; false when a character has no exact form there.
bool Narrow(UINT cp, std::wstring_view wide, std::string* out) {
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  BOOL defaulted = FALSE;
  const int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                                    nullptr, &defaulted);
  if (n <= 0) {
    out->append(wide.size(), '?');
    return false;
  }
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n));
  WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(), size, &(*out)[at], n, nullptr,
                      &defaulted);
  return !defaulted;
}

// "1250", "CP1250" and "Windows-1250" all name code page 1250; 0 for anything else.
UINT ParseCodePage(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const char* prefix : {"WINDOWS-", "CP"}) {
    if (text.rfind(prefix, 0) == 0) {
      text.erase(0, std::char_traits<char>::length(prefix));
      break;
    }
  }
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return static_cast<UINT>(std::stoul(text));
}

// Whether cp is a code page of one byte a character that keeps ASCII as it is ('\' must stay
// the folder separator).
bool IsEightBit(UINT cp) {
  CPINFO info;
  if (cp == 0 || !IsValidCodePage(cp) || !GetCPInfo(cp, &info) || info.MaxCharSize != 1) {
    return false;
  }
  for (int b = 1; b < 0x80; ++b) {
    const char c = static_cast<char>(b);
    wchar_t w = 0;
    if (MultiByteToWideChar(cp, 0, &c, 1, &w, 1) != 1 || w != static_cast<wchar_t>(b)) {
      return false;
    }
  }
  return true;
}

class Win32Names : public NameCodec {
 public:
  explicit Win32Names(UINT cp) : cp_(cp), name_("CP" + std::to_string(cp)) {
    // Upper case by the system's tables, kept inside the code page. A letter beyond ASCII
    // never becomes an ASCII one.
    for (int b = 0; b < 256; ++b) {
      upper_[b] = (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 'a' + 'A') : b;
      if (b < 0x80) continue;
      const char c = static_cast<char>(b);
      wchar_t w = 0;
      if (MultiByteToWideChar(cp_, MB_ERR_INVALID_CHARS, &c, 1, &w, 1) != 1) continue;
      CharUpperBuffW(&w, 1);
      std::string up;
      if (Narrow(cp_, std::wstring_view(&w, 1), &up) && up.size() == 1 &&
          static_cast<uint8_t>(up[0]) >= 0x80) {
        upper_[b] = static_cast<uint8_t>(up[0]);
      }
    }
  }

  const std::string& name() const override { return name_; }

  bool FromText(std::string_view text, std::string* name) const override {
    bool ok = true;
    const std::wstring wide = Widen(CP_ACP, text, &ok);
    return Narrow(cp_, wide, name) && ok;
  }

  bool ToText(std::string_view name, std::string* text) const override {
    bool ok = true;
    const std::wstring wide = Widen(cp_, name, &ok);
    return Narrow(CP_ACP, wide, text) && ok;
  }

  bool Defines(std::string_view name) const override {
    bool ok = true;
    Widen(cp_, name, &ok);
    return ok;
  }

  bool FromPath(const fs::path& component, std::string* text, std::string* name) const override {
    text->clear();
    Narrow(CP_ACP, component.native(), text);
    return Narrow(cp_, component.native(), name);
  }

  std::string Folded(std::string_view name) const override {
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(upper_[static_cast<uint8_t>(c)]);
    return folded;
  }

  std::string ExtractProblem() const override {
    if (cp_ == GetACP()) return "";
    return "extract names files in the ANSI code page (CP" + std::to_string(GetACP()) +
           "), as the updater does; --codepage " + name_ + " is for create and list";
  }

 private:
  UINT cp_;
  std::string name_;
  std::array<uint8_t, 256> upper_{};
};

}  // namespace

std::unique_ptr<NameCodec> OpenNames(const std::string& codepage, std::string* error) {
  if (codepage.empty()) {
    const UINT acp = GetACP();
    if (IsEightBit(acp)) return std::make_unique<Win32Names>(acp);
    *error = "the ANSI code page of this system (CP" + std::to_string(acp) +
             ") is not an 8-bit code page; name one with --codepage (e.g. CP1252)";
    return nullptr;
  }
  const UINT cp = ParseCodePage(codepage);
  if (!IsEightBit(cp)) {
    *error = "--codepage " + codepage +
             ": not an 8-bit Windows code page (e.g. CP1252, CP1250, or its number)";
    return nullptr;
  }
  return std::make_unique<Win32Names>(cp);
}

std::vector<std::string> Arguments(int, char**) {
  // The CRT's argv holds best-fit look-alikes of characters the ANSI code page lacks: the
  // arguments are taken from the UTF-16 command line instead, and refused when they do not
  // fit.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) throw std::runtime_error("cannot read the command line");
  std::vector<std::string> args;
  std::string bad;
  for (int i = 1; i < count; ++i) {
    std::string arg;
    if (!Narrow(CP_ACP, wide[i], &arg) && bad.empty()) bad = arg;
    args.push_back(arg);
  }
  LocalFree(wide);
  if (!bad.empty()) {
    throw std::runtime_error("the argument \"" + bad +
                             "\" holds characters that the ANSI code page (CP" +
                             std::to_string(GetACP()) + ") cannot write");
  }
  return args;
}

fs::path PathOf(const std::string& text) {
  bool ok = true;
  return fs::path(Widen(CP_ACP, text, &ok));
}

std::string TextOf(const fs::path& path) {
  std::string text;
  Narrow(CP_ACP, path.native(), &text);
  return text;
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void MoveOnto(const fs::path& from, const fs::path& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    throw std::runtime_error("cannot rename " + TextOf(from) + " to " + TextOf(to) +
                             " (Windows error " + std::to_string(GetLastError()) + ")");
  }
}

void MakeExecutable(const fs::path&) {}  // Windows runs a file by its name, not by a mark

std::string TemporaryFolder() {
  char folder[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof folder, folder);
  return n == 0 || n > MAX_PATH ? std::string(".") : std::string(folder, n);
}

std::FILE* TemporaryFile() {
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(TemporaryFolder().c_str(), "lmp", 0, name) == 0) return nullptr;
  // "D": the run-time deletes the file when it is closed, and the system when the program
  // ends without closing it.
  std::FILE* file = std::fopen(name, "w+bD");
  if (!file) DeleteFileA(name);
  return file;
}

namespace {

// What an interruption removes: the file's full path and the run-time's descriptor that
// writes it, read by the console's control handler on a thread of its own.
struct Interruptible {
  SRWLOCK lock = SRWLOCK_INIT;
  wchar_t path[32768] = {};
  int fd = -1;
};
Interruptible g_interruptible;

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// The run-time descriptor open on the file at path, or -1. A handle that only reads the
// attributes is granted whatever sharing the writer asked for.
int DescriptorOf(const wchar_t* path) {
  const HANDLE probe = CreateFileW(path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return -1;
  int found = -1;
  // msvcrt answers a descriptor that is not open with -1 (it has no handler that would end
  // the program for it).
  for (int fd = _getmaxstdio() - 1; fd >= 0 && found < 0; --fd) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK && SameFile(h, probe)) {
      found = fd;
    }
  }
  CloseHandle(probe);
  return found;
}

// Ctrl-C, Ctrl-Break and the close of the console end the program as the system's own
// handler would, with STATUS_CONTROL_C_EXIT, but first remove the half-written file. The
// stream still holds it open without sharing its deletion, so its descriptor is pointed at
// NUL first: that closes the file's handle once a write under way has ended, and the
// writer's further writes go nowhere instead of failing into the error path, which would
// race this handler to the end of the program.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  AcquireSRWLockExclusive(&g_interruptible.lock);
  if (g_interruptible.path[0] != L'\0') {
    if (g_interruptible.fd >= 0) {
      const int nowhere = _wopen(L"NUL", _O_WRONLY | _O_BINARY);
      if (nowhere >= 0) _dup2(nowhere, g_interruptible.fd);
    }
    DeleteFileW(g_interruptible.path);
  }
  // The lock stays taken: nothing of the program may go on meanwhile.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void RemoveOnInterrupt(const fs::path& path) {
  std::error_code ec;
  const std::wstring full = fs::absolute(path, ec).native();
  if (ec || full.size() >= std::size(g_interruptible.path)) return;
  const int fd = DescriptorOf(full.c_str());
  AcquireSRWLockExclusive(&g_interruptible.lock);
  std::memcpy(g_interruptible.path, full.c_str(), (full.size() + 1) * sizeof(wchar_t));
  g_interruptible.fd = fd;
  ReleaseSRWLockExclusive(&g_interruptible.lock);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void KeepOnInterrupt() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  AcquireSRWLockExclusive(&g_interruptible.lock);
  g_interruptible.path[0] = L'\0';
  g_interruptible.fd = -1;
  ReleaseSRWLockExclusive(&g_interruptible.lock);
}

std::string WriteFailure(int error) {
  // The run-time reports a full disk in more than one way: ENOSPC for ERROR_DISK_FULL;
  // EINVAL with the system's code in _doserrno for ERROR_HANDLE_DISK_FULL, which it has
  // no errno for; and, under Wine, EINVAL with no system code at all for a write that the
  // disk took only part of. The program writes its own buffers to files it opened itself,
  // so an EINVAL without a system code has no other cause.
  const unsigned long code = _doserrno;
  if (error == ENOSPC || (error == EINVAL && (code == 0 || code == ERROR_DISK_FULL ||
                                              code == ERROR_HANDLE_DISK_FULL))) {
    return "the disk is full";
  }
  return std::strerror(error);
}

const bool kReadBackWhileWriting = false;

}  // namespace lumora::pack
