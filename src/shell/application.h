// The application object: the two windows, the message pump, the quit request and the
// terminating flag, ShowMessageDialog and the handler of uncaught errors. It runs one
// activation handler, once, inside its message loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shell/backend.h"
#include "shell/message_dialog.h"
#include "shell/window_model.h"

namespace lumora {

class Application {
 public:
  // exe_path gives the application title: its file name without directory and without
  // anything from its first '.', the first letter kept, the rest in lower case.
  Application(UiBackend& backend, const std::string& exe_path);

  TForm1 Form1;
  TForm3 Form3;

  const std::string& Title() const { return title_; }

  // Start-up and the message loop: creates the windows, shows the main window, delivers
  // its activation (the update runs inside it), then handles messages until the program
  // is terminating. Returns the exit status: 0 when the handler reported success, else 1.
  int Run(const std::function<void()>& on_activate);

  // Delivers the main window's activation. Only the first call runs the handler: the
  // update starts once per run whatever the toolkit reports.
  void Activate();

  // Dispatches every queued message and returns at once. A quit request found in the
  // queue is consumed and marks the program as terminating; the caller carries on.
  void PumpMessages();

  // Closing the main window: queues the quit request and returns at once.
  void CloseMainWindow();

  // Shows text modally with the kind's caption and icon and returns the result that
  // closed it. Once the program is terminating the box closes by itself at once
  // (result 2); a quit request that arrives while it is open closes it the same way.
  int ShowMessageDialog(const std::string& text, MessageKind kind, MessageButtons buttons,
                        int help_context);

  // The handler of uncaught errors: the failure's message followed by ".", titled with
  // the application title.
  void ReportUncaught(const std::string& message);

  // Set by the update when it has ended successfully; decides the exit status.
  void SetSucceeded() { succeeded_ = true; }

  bool QuitRequested() const { return quit_queued_; }
  bool Terminating() const { return terminating_; }

  // What the user was shown, in order, for tests and unattended logs.
  struct Shown {
    std::string caption;
    std::string text;
    MessageKind kind;
    int result;
  };
  const std::vector<Shown>& ShownMessages() const { return shown_; }
  int PumpCount() const { return pump_count_; }

 private:
  bool ConsumeQuit();

  UiBackend& backend_;
  std::string title_;
  std::function<void()> on_activate_;
  bool activated_ = false;
  bool quit_queued_ = false;
  bool terminating_ = false;
  bool succeeded_ = false;
  int pump_count_ = 0;
  std::vector<Shown> shown_;
};

}  // namespace lumora
