// The packer on Linux: names in the locale's encoding, converted through the CodePage
// tables that the updater's POSIX platform uses too.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "pack/host.h"
#include "platform/posix/codepage.h"

namespace fs = std::filesystem;

namespace lumora::pack {

namespace {

class PosixNames : public NameCodec {
 public:
  explicit PosixNames(const CodePage& page) : page_(page) {}
  const std::string& name() const override { return page_.name(); }
  bool FromText(std::string_view text, std::string* name) const override {
    return page_.FromNative(text, name);
  }
  bool ToText(std::string_view name, std::string* text) const override {
    return page_.ToNative(name, text);
  }
  bool Defines(std::string_view name) const override {
    std::string text;
    return page_.ToNative(name, &text);
  }
  bool FromPath(const fs::path& component, std::string* text, std::string* name) const override {
    *text = component.string();
    return page_.FromNative(*text, name);
  }
  std::string Folded(std::string_view name) const override { return page_.Folded(name); }
  std::string ExtractProblem() const override { return ""; }

 private:
  const CodePage& page_;
};

// The file an interrupt removes: a fixed buffer, so that the handler reads no string
// object that the program may be changing.
char g_remove_on_interrupt[4096];
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnInterrupt(int sig) {
  if (g_remove_on_interrupt[0] != '\0') unlink(g_remove_on_interrupt);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

std::string TemporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

std::FILE* TemporaryFile() {
  const std::string folder = TemporaryFolder();
  // A file without a name where the system makes one; else a named one, removed at once.
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
    std::string name = folder + "/lumora-pack-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (!file) close(fd);
  return file;
}

void RemoveOnInterrupt(const fs::path& path) {
  const std::string text = fs::absolute(path).string();
  if (text.size() >= sizeof g_remove_on_interrupt) return;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  for (int sig : kInterrupts) sigaddset(&sa.sa_mask, sig);
  // The name is in place before any handler can read it.
  sigset_t blocked, old;
  sigemptyset(&blocked);
  for (int sig : kInterrupts) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, &old);
  std::memcpy(g_remove_on_interrupt, text.c_str(), text.size() + 1);
  for (int sig : kInterrupts) sigaction(sig, &sa, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void KeepOnInterrupt() {
  sigset_t blocked, old;
  sigemptyset(&blocked);
  for (int sig : kInterrupts) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, &old);
  g_remove_on_interrupt[0] = '\0';
  for (int sig : kInterrupts) signal(sig, SIG_DFL);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

std::string WriteFailure(int error) {
  if (error == ENOSPC || error == EDQUOT) return "the disk is full";
  return std::strerror(error);
}

std::unique_ptr<NameCodec> OpenNames(const std::string& codepage, std::string* error) {
  if (codepage.empty()) return std::make_unique<PosixNames>(CodePage::System());
  const CodePage* page = CodePage::Named(codepage);
  if (!page) {
    *error = "--codepage " + codepage +
             ": not an 8-bit code page that iconv knows (e.g. CP1252, CP1250)";
    return nullptr;
  }
  // The platform layer, which list and extract go through, names files the same way.
  setenv("LUMORA_CODEPAGE", codepage.c_str(), 1);
  return std::make_unique<PosixNames>(*page);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

fs::path PathOf(const std::string& text) { return fs::path(text); }

std::string TextOf(const fs::path& path) { return path.string(); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void MoveOnto(const fs::path& from, const fs::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    throw std::runtime_error("cannot rename " + TextOf(from) + " to " + TextOf(to) + ": " +
                             std::strerror(errno));
  }
}

void MakeExecutable(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
}

const bool kReadBackWhileWriting = true;

}  // namespace lumora::pack
