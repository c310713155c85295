#include "ui/posix/close_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace lumora {
namespace {

constexpr int kCloseSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_close_requested = 0;
int g_wake_pipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int) {
  const int saved_errno = errno;
  g_close_requested = 1;
  if (g_wake_pipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(g_wake_pipe[1], &c, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

}  // namespace

CloseSignals::CloseSignals() {
  if (g_wake_pipe[0] < 0 && pipe(g_wake_pipe) == 0) {
    for (int fd : g_wake_pipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  // No restarted calls: a call that waits (on a pipe nobody reads, say) returns when the
  // close comes, so that nothing outlives it. The update's reads and writes are of regular
  // files, which a signal does not interrupt, and their loops go on after EINTR anyway.
  sa.sa_flags = 0;
  for (int sig : kCloseSignals) sigaction(sig, &sa, nullptr);
  // A closed output (the reader of a pipe went away) must not end the update half-way:
  // writes to it fail, and the update runs on to its end.
  signal(SIGPIPE, SIG_IGN);
}

CloseSignals::~CloseSignals() {
  for (int sig : kCloseSignals) signal(sig, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
}

int CloseSignals::wake_fd() const { return g_wake_pipe[0]; }

bool CloseSignals::Take() {
  if (!g_close_requested) return false;
  g_close_requested = 0;
  char drain[64];
  while (g_wake_pipe[0] >= 0 && read(g_wake_pipe[0], drain, sizeof drain) > 0) {
  }
  return true;
}

}  // namespace lumora
