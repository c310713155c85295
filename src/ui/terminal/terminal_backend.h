// Terminal front-end: draws the progress window model as one status line.
// Implemented:
//  [X] captions, bar and percentage, redrawn in place on a terminal
//  [X] one line per change when the output is not a terminal (logs, CI)
//  [X] message dialogs answered with Enter (OK) or end of input (closed), or at once when
//      standard input is not a terminal; keys typed before a question are discarded
//  [X] messages and questions also on the answering terminal when the output goes elsewhere
//  [X] Ctrl-C, SIGTERM and SIGHUP as the window's close: they only queue the end
//  [X] a closed output never ends the run, and one that nobody reads never holds it after
//      a close
//  [ ] window icon, fonts and layout (a terminal has none)
#pragma once

#include <cstdio>
#include <string>

#include "shell/application.h"
#include "shell/backend.h"
#include "ui/posix/close_signals.h"

namespace lumora {

class TerminalBackend : public UiBackend {
 public:
  // Draws to out; answers messages from standard input when it is a terminal, and then
  // also writes the messages and questions there when out is not that terminal.
  explicit TerminalBackend(std::FILE* out = stdout);
  ~TerminalBackend() override;

  void CreateWindows(Application& app) override;
  void ShowMainWindow() override;
  void DispatchPending() override;
  void WaitAndDispatch(int timeout_ms) override;
  int RunMessageBox(const std::string& caption, const std::string& text, MessageKind kind,
                    bool close_at_once, const std::function<bool()>& stop) override;
  void ShowErrorBox(const std::string& title, const std::string& text) override;
  void DestroyWindows() override;

 private:
  // Delivers a close that a signal asked for.
  void TakeSignals();
  void Draw(bool force);
  void EndStatusLine();
  void PrintBox(const std::string& caption, const std::string& text);
  // Writes text to f at once. After a close, text that f cannot take without waiting is
  // dropped: a pipe that nobody reads never holds the program.
  void Emit(std::FILE* f, const std::string& text);
  // Writes a line to the output, and to the answering terminal when that is elsewhere.
  void Say(const std::string& line);
  // Waits for a line or the end of standard input, or a signal. 1 Enter, 2 end, 0 signal.
  int WaitForAnswer(int timeout_ms);

  CloseSignals signals_;
  std::FILE* out_;
  Application* app_ = nullptr;
  bool out_is_tty_;
  bool attended_;
  std::FILE* answer_tty_ = nullptr;  // standard input's terminal when out_ is not it; owned
  bool closing_ = false;             // a close signal came: output never waits
  bool close_asked_ = false;         // the window's close is asked for, not answered yet
  bool status_open_ = false;         // a status line is on screen without its line end
  std::string last_drawn_;
  // What the last line was made from: a pump that changed none of it makes no line (an
  // extraction pumps many times for each file).
  std::string drawn_captions_[4];
  int drawn_filled_ = -1;
};

}  // namespace lumora
