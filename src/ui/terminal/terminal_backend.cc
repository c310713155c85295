#include "ui/terminal/terminal_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace lumora {
namespace {

constexpr int kBarWidth = 30;  // characters of the drawn bar

// A message text with its LF CR pairs (and lone LFs or CRs) as line breaks.
std::string Lines(const std::string& text) {
  std::string s;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n' || c == '\r') {
      char other = c == '\n' ? '\r' : '\n';
      if (i + 1 < text.size() && text[i + 1] == other) ++i;
      s += '\n';
    } else {
      s += c;
    }
  }
  return s;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool SameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Keys typed before a question (an Enter pressed while the update ran) must not answer it.
void DiscardTypedAhead() { tcflush(STDIN_FILENO, TCIFLUSH); }

}  // namespace

TerminalBackend::TerminalBackend(std::FILE* out)
    : out_(out), out_is_tty_(isatty(fileno(out)) != 0), attended_(isatty(STDIN_FILENO) != 0) {
  if (attended_ && !SameFile(fileno(out_), STDIN_FILENO)) {
    // The output goes elsewhere (a log): what asks for an answer also goes to the terminal
    // the answer comes from, so nobody waits at a blank screen.
    const char* name = ttyname(STDIN_FILENO);
    const int fd = name ? open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd >= 0 && !(answer_tty_ = fdopen(fd, "w"))) close(fd);
  }
}

TerminalBackend::~TerminalBackend() {
  if (answer_tty_) std::fclose(answer_tty_);
}

void TerminalBackend::Emit(std::FILE* f, const std::string& text) {
  if (closing_) {
    // After the close, output that the reader does not take at once is dropped rather
    // than waited for, with whatever an interrupted write left in the buffer.
    pollfd p = {fileno(f), POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
      __fpurge(f);
      return;
    }
  }
  std::fputs(text.c_str(), f);
  std::fflush(f);
}

void TerminalBackend::Say(const std::string& line) {
  Emit(out_, line + "\n");
  if (answer_tty_) Emit(answer_tty_, line + "\n");
}

void TerminalBackend::CreateWindows(Application& app) { app_ = &app; }

void TerminalBackend::ShowMainWindow() {
  if (app_) Emit(out_, app_->Form1.Caption + "\n");
}

void TerminalBackend::TakeSignals() {
  if (app_ && signals_.Take()) {
    closing_ = true;
    app_->CloseMainWindow();
  }
}

void TerminalBackend::Draw(bool force) {
  if (!app_) return;
  const TForm1& f = app_->Form1;
  const ProgressBar& bar = f.ProgressBar1;
  // The bar is drawn over Min..Max, as the window's control draws it.
  const int span = bar.Max() > bar.Min() ? bar.Max() - bar.Min() : 0;
  const int filled = span ? (bar.Position() - bar.Min()) * kBarWidth / span : 0;
  const std::string* captions[4] = {&f.Label1.Caption, &f.Label2.Caption, &f.Label3.Caption,
                                    &f.Label4.Caption};
  bool same = !force && filled == drawn_filled_;
  for (int i = 0; same && i < 4; ++i) same = *captions[i] == drawn_captions_[i];
  if (same) return;
  for (int i = 0; i < 4; ++i) drawn_captions_[i] = *captions[i];
  drawn_filled_ = filled;
  std::string text = Trimmed(f.Label2.Caption);
  std::string file = Trimmed(f.Label3.Caption + " " + f.Label4.Caption);
  if (!file.empty()) text += "  " + file;
  std::string drawn_bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                          "] " + Trimmed(f.Label1.Caption);
  // On a terminal the whole line is redrawn in place; elsewhere one line is written per
  // change of the captions or the percentage (the bar alone moves too often to log).
  std::string line =
      out_is_tty_ ? text + "  " + drawn_bar : text + "  " + Trimmed(f.Label1.Caption);
  if (!force && line == last_drawn_) return;
  if (out_is_tty_) {
    Emit(out_, "\r\x1b[K" + line);
    status_open_ = true;
  } else {
    Emit(out_, line + "\n");
  }
  last_drawn_ = line;
}

void TerminalBackend::EndStatusLine() {
  if (status_open_) {
    Emit(out_, "\n");
    status_open_ = false;
  }
}

void TerminalBackend::DispatchPending() {
  TakeSignals();
  Draw(false);
}

int TerminalBackend::WaitForAnswer(int timeout_ms) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals_.wake_fd(), POLLIN, 0}};
  int n = poll(fds, signals_.wake_fd() >= 0 ? 2 : 1, timeout_ms);
  if (n <= 0) return 0;
  if (fds[1].revents & POLLIN) return 0;
  char buf[256];
  ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
  if (got <= 0) return 2;
  return 1;
}

void TerminalBackend::WaitAndDispatch(int timeout_ms) {
  TakeSignals();
  if (!app_ || app_->QuitRequested()) return;
  if (!attended_) {
    // Nobody can close a window that an unattended run leaves open: end at once.
    app_->CloseMainWindow();
    return;
  }
  Draw(false);
  EndStatusLine();
  if (!close_asked_) {
    DiscardTypedAhead();
    Say("Press Enter to close the window.");
    close_asked_ = true;
  }
  for (;;) {
    int answer = WaitForAnswer(timeout_ms);
    TakeSignals();
    if (answer != 0 || app_->QuitRequested()) break;
    if (timeout_ms >= 0) return;
  }
  close_asked_ = false;
  app_->CloseMainWindow();
}

void TerminalBackend::PrintBox(const std::string& caption, const std::string& text) {
  Draw(false);
  EndStatusLine();
  Say(caption + ": " + Lines(text));
}

int TerminalBackend::RunMessageBox(const std::string& caption, const std::string& text,
                                   MessageKind /*kind*/, bool close_at_once,
                                   const std::function<bool()>& stop) {
  PrintBox(caption, text);
  TakeSignals();
  if (close_at_once || stop()) return kResultClosed;
  if (!attended_) return kResultOk;
  DiscardTypedAhead();
  Say("[OK: press Enter]");
  for (;;) {
    int answer = WaitForAnswer(-1);
    TakeSignals();
    if (stop()) return kResultClosed;
    if (answer == 1) return kResultOk;
    if (answer == 2) return kResultClosed;
  }
}

void TerminalBackend::ShowErrorBox(const std::string& title, const std::string& text) {
  PrintBox(title, text);
}

void TerminalBackend::DestroyWindows() {
  Draw(false);
  EndStatusLine();
  if (closing_) __fpurge(out_);
  std::fflush(out_);
}

}  // namespace lumora
