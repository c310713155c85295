// Starting a program from a Windows command line and waiting for it on Linux.
//
// The command line is split by the rules Windows programs use for their own, then started
// with posix_spawnp, which reports a program that cannot be executed as its result (the
// child runs exec before posix_spawnp returns). The child inherits the environment, the
// current directory and the terminal, but none of this process's other descriptors, and
// the signal dispositions this process changed are set back to their defaults for it, and
// so is the limit of open descriptors.
// Waiting sleeps in poll() on a pidfd, or in short naps where pidfds are not available.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "platform/posix/codepage.h"
#include "platform/posix/posix_platform.h"

extern char** environ;

namespace lumora {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

class PosixProcess : public Process {
 public:
  explicit PosixProcess(pid_t pid) : pid_(pid), pidfd_(OpenPidFd(pid)) {}
  ~PosixProcess() override {
    // A child still running is left to run; if it has ended by now, it is reaped.
    if (!ended_) Reap(WNOHANG);
    if (pidfd_ >= 0) close(pidfd_);
  }
  PosixProcess(const PosixProcess&) = delete;
  PosixProcess& operator=(const PosixProcess&) = delete;

  bool WaitFor(int timeout_ms) override {
    if (ended_) return true;
    if (Reap(WNOHANG)) return true;
    if (timeout_ms <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return Reap(WNOHANG);
      if (pidfd_ >= 0) {
        pollfd p{pidfd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
          close(pidfd_);
          pidfd_ = -1;
        }
      } else {
        // No pidfd: short naps keep the reaction quick without keeping a core busy.
        struct timespec nap = {0, 2 * 1000 * 1000};
        if (left < 2) nap.tv_nsec = left * 1000 * 1000;
        nanosleep(&nap, nullptr);
      }
      if (Reap(WNOHANG)) return true;
    }
  }

 private:
  // True when the child has ended and is reaped, or can no longer be waited for (the wait
  // failed, which counts as ended).
  bool Reap(int flags) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, flags);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    ended_ = true;
    return true;
  }

  pid_t pid_;
  int pidfd_;
  bool ended_ = false;
};

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  std::vector<std::string> args;
  const std::string& s = command_line;
  size_t i = 0;
  if (s.empty()) return args;

  // The program name: up to the closing quote, or up to the first blank or control
  // character; backslashes are plain characters in it.
  std::string program;
  if (s[0] == '"') {
    size_t close = s.find('"', 1);
    if (close == std::string::npos) close = s.size();
    program = s.substr(1, close - 1);
    i = close < s.size() ? close + 1 : close;
  } else {
    while (i < s.size() && static_cast<unsigned char>(s[i]) > ' ') program += s[i++];
  }
  args.push_back(program);

  while (i < s.size() && IsBlank(s[i])) ++i;
  // The arguments. quotes counts the quotes of the current run: 1 inside a quoted part;
  // the third quote of a run gives a literal quote and ends the quoted part.
  std::string arg;
  bool have_arg = false;
  int quotes = 0;
  size_t backslashes = 0;
  while (i < s.size()) {
    char c = s[i];
    if (IsBlank(c) && quotes == 0) {
      arg.append(backslashes, '\\');
      backslashes = 0;
      if (have_arg) args.push_back(arg);
      arg.clear();
      have_arg = false;
      while (i < s.size() && IsBlank(s[i])) ++i;
      continue;
    }
    have_arg = true;
    if (c == '\\') {
      ++backslashes;
      ++i;
      continue;
    }
    if (c == '"') {
      arg.append(backslashes / 2, '\\');
      if (backslashes % 2 == 0) {
        ++quotes;  // a quote that groups
      } else {
        arg += '"';  // an escaped quote
      }
      backslashes = 0;
      ++i;
      while (i < s.size() && s[i] == '"') {
        if (++quotes == 3) {
          arg += '"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    arg.append(backslashes, '\\');
    backslashes = 0;
    arg += c;
    ++i;
  }
  arg.append(backslashes, '\\');
  if (have_arg) args.push_back(arg);
  return args;
}

std::unique_ptr<Process> PosixProcesses::Start(const std::string& command_line) {
  std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty() || args[0].empty()) return nullptr;
  // A program named with a path is found as every other file is: '\' separates, and
  // letter case does not matter. A bare name is looked up in PATH.
  // The arguments are in the code page, as the core writes them; the program gets them in
  // the locale's encoding.
  for (size_t i = 0; i < args.size(); ++i) {
    if (i == 0 && args[0].find_first_of("\\/") != std::string::npos) {
      args[0] = ResolvePath(args[0]);
      if (args[0].empty()) return nullptr;
      continue;
    }
    std::string native;
    CodePage::System().ToNative(args[i], &native);
    args[i] = std::move(native);
  }

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return nullptr;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return nullptr;
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Handles are not inherited: only standard input, output and error reach the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  for (int sig : {SIGXFSZ, SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  int rc;
  {
    // The limit of open descriptors this process started with, not the one it raised.
    const StartLimits limits;
    rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return nullptr;
  return std::make_unique<PosixProcess>(pid);
}

}  // namespace lumora
