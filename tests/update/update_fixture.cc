#ifdef _WIN32
#include "platform/win32/win32_windows.h"
// (windows.h first)
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "update_fixture.h"

namespace fs = std::filesystem;

namespace lumora::testing {

std::map<std::string, std::string> Snapshot(const std::string& native_dir) {
  std::map<std::string, std::string> shot;
  for (const auto& e : fs::recursive_directory_iterator(native_dir)) {
    std::string rel = fs::relative(e.path(), native_dir).generic_string();
    if (e.is_directory()) {
      shot[rel + "/"] = "";
    } else {
      shot[rel] = ReadFile(e.path().string());
    }
  }
  return shot;
}

namespace {

class WatchedFile : public File {
 public:
  WatchedFile(std::unique_ptr<File> inner, WatchedFileSystem& owner)
      : inner_(std::move(inner)), owner_(owner) {}
  IoResult Read(void* d, size_t n) override {
    ++owner_.reads;
    return inner_->Read(d, n);
  }
  IoResult Write(const void* d, size_t n) override {
    ++owner_.writes;
    return inner_->Write(d, n);
  }
  int64_t Seek(int64_t o) override { return inner_->Seek(o); }
  int64_t Position() const override { return inner_->Position(); }
  int64_t Size() override { return inner_->Size(); }
  bool Truncate(int64_t s) override { return inner_->Truncate(s); }
  bool Flush() override { return inner_->Flush(); }

 private:
  std::unique_ptr<File> inner_;
  WatchedFileSystem& owner_;
};

}  // namespace

std::unique_ptr<File> WatchedFileSystem::Open(const std::string& path, OpenMode mode) {
  return std::make_unique<WatchedFile>(inner_.Open(path, mode), *this);
}

::testing::AssertionResult SameTree(const std::map<std::string, std::string>& expected,
                                    const std::map<std::string, std::string>& actual) {
  std::string diff;
  for (const auto& [name, bytes] : expected) {
    auto it = actual.find(name);
    if (it == actual.end()) {
      diff += " missing:" + name;
    } else if (it->second != bytes) {
      diff += " changed:" + name;
    }
  }
  for (const auto& [name, bytes] : actual) {
    if (expected.count(name) == 0) diff += " added:" + name;
  }
  if (diff.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "tree differs:" << diff;
}

#ifdef _WIN32

namespace {

constexpr char kQuandrixKey[] = "SOFTWARE\\Quandrix";
constexpr char kLumoraKey[] = "SOFTWARE\\Quandrix\\Lumora";
// Where a key that was there before a test waits to be put back.
constexpr char kSavedKey[] = "Software\\LumoraTest\\SavedQuandrix";

bool HasKey(const char* key) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// Copies a key with everything below it; false when the source is missing.
bool CopyKey(const char* from, const char* to) {
  HKEY src, dst;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, from, 0, KEY_READ, &src) != ERROR_SUCCESS) return false;
  bool ok = RegCreateKeyExA(HKEY_CURRENT_USER, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &dst,
                            nullptr) == ERROR_SUCCESS;
  if (ok) {
    ok = RegCopyTreeA(src, nullptr, dst) == ERROR_SUCCESS;
    RegCloseKey(dst);
  }
  RegCloseKey(src);
  return ok;
}

HKEY CreateKey(const char* key) {
  HKEY h;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                      nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error(std::string("cannot create the registry key ") + key);
  }
  return h;
}

}  // namespace

RegistryScope::RegistryScope() {
  HANDLE lock = CreateMutexA(nullptr, FALSE, "Local\\LumoraUpdateTestsRegistry");
  if (!lock) throw std::runtime_error("cannot create the registry lock");
  const DWORD waited = WaitForSingleObject(lock, 300 * 1000);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(lock);
    throw std::runtime_error("another test held the registry for 5 minutes");
  }
  lock_ = lock;
  // A key saved earlier is the user's own, left by a test process that ended too soon to
  // put it back: it stays saved, and what stands in SOFTWARE\Quandrix is a test's.
  if (!HasKey(kSavedKey) && HasKey(kQuandrixKey) && !CopyKey(kQuandrixKey, kSavedKey)) {
    ReleaseMutex(lock);
    CloseHandle(lock);
    throw std::runtime_error("cannot save the registry key SOFTWARE\\Quandrix");
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, kQuandrixKey);
}

RegistryScope::~RegistryScope() {
  RegDeleteTreeA(HKEY_CURRENT_USER, kQuandrixKey);
  if (CopyKey(kSavedKey, kQuandrixKey)) {
    RegDeleteTreeA(HKEY_CURRENT_USER, kSavedKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\LumoraTest");  // only when empty
  }
  ReleaseMutex(static_cast<HANDLE>(lock_));
  CloseHandle(static_cast<HANDLE>(lock_));
}

UpdateFixture::UpdateFixture() {
  platform_ = CreateNativePlatform();
  app_ = std::make_unique<Application>(backend_, "/opt/lumora/LumoraUpdate.exe");
}

UpdateFixture::~UpdateFixture() = default;

void UpdateFixture::WriteRegistry(const std::vector<RegValue>& lumora_values) {
  RegDeleteTreeA(HKEY_CURRENT_USER, kQuandrixKey);
  RegCloseKey(CreateKey(kQuandrixKey));
  HKEY h = CreateKey(kLumoraKey);
  for (const auto& v : lumora_values) {
    // Strings are stored with their terminating NUL, as programs that write them do.
    const LONG rc = v.is_dword
                        ? RegSetValueExA(h, v.name.c_str(), 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&v.dword), sizeof v.dword)
                        : RegSetValueExA(h, v.name.c_str(), 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(v.text.c_str()),
                                         static_cast<DWORD>(v.text.size() + 1));
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(h);
      throw std::runtime_error("cannot set the registry value " + v.name);
    }
  }
  RegCloseKey(h);
}

bool UpdateFixture::KeyExists(const std::string& key) const { return HasKey(key.c_str()); }

#else

// Each fixture has a registry file of its own (see the constructor): nothing to share.
RegistryScope::RegistryScope() = default;
RegistryScope::~RegistryScope() = default;

UpdateFixture::UpdateFixture() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) {
    had_xdg_ = true;
    saved_xdg_ = xdg;
  }
  setenv("XDG_CONFIG_HOME", home_.path().c_str(), 1);
  platform_ = CreateNativePlatform();
  app_ = std::make_unique<Application>(backend_, "/opt/lumora/LumoraUpdate.exe");
}

UpdateFixture::~UpdateFixture() {
  if (had_xdg_) {
    setenv("XDG_CONFIG_HOME", saved_xdg_.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

void UpdateFixture::WriteRegistry(const std::vector<RegValue>& lumora_values) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix]\r\n\r\n";
  text += "[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n";
  for (const auto& v : lumora_values) {
    text += "\"" + v.name + "\"=";
    if (v.is_dword) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(v.dword));
      text += std::string("dword:") + hex;
    } else {
      text += '"';
      for (char c : v.text) {
        if (c == '\\' || c == '"') text += '\\';
        text += c;
      }
      text += '"';
    }
    text += "\r\n";
  }
  WriteFile(home_.Native("registry/HKEY_CURRENT_USER.reg"), text);
}

bool UpdateFixture::KeyExists(const std::string& key) const {
  const std::string path = home_.Native("registry/HKEY_CURRENT_USER.reg");
  return Exists(path) &&
         ReadFile(path).find("[HKEY_CURRENT_USER\\" + key + "]") != std::string::npos;
}

#endif

void UpdateFixture::RegisterInstallation() {
  WriteRegistry({Sz("Version", "1.0"), Sz("HDPath", install_.path())});
}

}  // namespace lumora::testing

namespace lumora::testing {

#ifdef _WIN32

HeldOpen::HeldOpen(const std::string& native_path) {
  HANDLE h = CreateFileA(native_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + native_path);
  handle_ = h;
}

HeldOpen::~HeldOpen() { CloseHandle(static_cast<HANDLE>(handle_)); }

#else
HeldOpen::HeldOpen(const std::string& native_path) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int fd = open(native_path.c_str(), O_RDONLY);
    if (fd < 0) _exit(1);
    pause();
    _exit(0);
  }
  // Wait until the child has the file open.
  for (int i = 0; i < 400; ++i) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
      std::error_code ec2;
      if (fs::read_symlink(e.path(), ec2) == fs::path(native_path)) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  throw std::runtime_error("the holder never opened " + native_path);
}

HeldOpen::~HeldOpen() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

#endif

}  // namespace lumora::testing
