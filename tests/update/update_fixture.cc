#include "update_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

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

void UpdateFixture::WriteRegistry(const std::vector<std::string>& lumora_values) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix]\r\n\r\n";
  text += "[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n";
  for (const auto& v : lumora_values) text += v + "\r\n";
  WriteFile(home_.Native("registry/HKEY_CURRENT_USER.reg"), text);
}

void UpdateFixture::RegisterInstallation() {
  WriteRegistry({"\"Version\"=\"1.0\"", "\"HDPath\"=\"" + install_.path() + "\""});
}

std::string UpdateFixture::RegistryText() const {
  std::string path = home_.Native("registry/HKEY_CURRENT_USER.reg");
  return Exists(path) ? ReadFile(path) : std::string();
}

}  // namespace lumora::testing

namespace lumora::testing {

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

}  // namespace lumora::testing
