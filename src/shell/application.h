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

// Told of what the user is shown: the status line's stages, every message with its kind,
// and the uncaught-error report. The unattended log is one (src/app/run_log.*).
class ApplicationListener {
 public:
  virtual ~ApplicationListener() = default;
  virtual void OnStage(const std::string& status) = 0;
  virtual void OnMessage(MessageKind kind, const std::string& caption, const std::string& text) = 0;
};

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
  // The exit status of a run that did not succeed (default 1).
  void SetFailureStatus(int status) { failure_status_ = status; }

  // Called once, before the first error message or uncaught-error report is shown, while
  // it is set: the update undoes a failed run here, so that the message comes after.
  std::function<void()> before_error;
  // Told of stages and messages (may be null).
  ApplicationListener* listener = nullptr;

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
  // Before an error is shown: the before_error hook, once.
  void BeforeError();
  // Tells the listener of a new status line.
  void NoteStage();

  UiBackend& backend_;
  std::string title_;
  std::function<void()> on_activate_;
  bool activated_ = false;
  bool quit_queued_ = false;
  bool terminating_ = false;
  bool succeeded_ = false;
  int failure_status_ = 1;
  std::string last_stage_;
  int pump_count_ = 0;
  std::vector<Shown> shown_;
};

}  // namespace lumora
