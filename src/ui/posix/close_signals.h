// Ctrl-C, SIGTERM and SIGHUP as the window's close, for the Linux front-ends. A signal only
// records the request and writes a byte to a pipe: a front-end that waits (poll, select,
// FLTK's wait) watches the pipe's read end and wakes at once, then delivers the request
// to the application from its own loop, never from the handler.
#pragma once

namespace lumora {

class CloseSignals {
 public:
  // Installs the handlers (and makes the pipe once per process), and ignores SIGPIPE.
  CloseSignals();
  // Gives the four signals back their default action.
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  // The read end of the wake-up pipe: readable while a request waits (-1 without a pipe).
  int wake_fd() const;
  // True once for every run of signals since the last call; empties the pipe.
  bool Take();
};

}  // namespace lumora
