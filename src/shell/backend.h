// What a toolkit backend provides to the application: drawing the window model, a pump
// that never waits, a wait for the next event, and the modal boxes. Backends live under
// src/ui/; the core sees only this interface.
#pragma once

#include <functional>
#include <string>

#include "shell/message_dialog.h"

namespace lumora {

class Application;

class UiBackend {
 public:
  virtual ~UiBackend() = default;

  // Creates the windows for app.Form1 and app.Form3 (both hidden).
  virtual void CreateWindows(Application& app) = 0;
  // Shows the main window.
  virtual void ShowMainWindow() = 0;
  // Dispatches every event already queued (repaints from the model, input, the title
  // bar's close, which calls app.CloseMainWindow()); returns when none is left. Never
  // waits.
  virtual void DispatchPending() = 0;
  // Waits for at least one event, at most timeout_ms (-1: no limit), and dispatches it.
  virtual void WaitAndDispatch(int timeout_ms) = 0;
  // Shows a modal message box with one OK button (default and cancel) and runs its own
  // loop until it closes. The main window keeps painting and takes no input. The loop
  // also ends, with result 2, as soon as stop() turns true (a quit request arrived), and
  // at once after its first event when close_at_once is set. Returns 1 for OK, Enter or
  // Esc, 2 for the title bar's close.
  virtual int RunMessageBox(const std::string& caption, const std::string& text, MessageKind kind,
                            bool close_at_once, const std::function<bool()>& stop) = 0;
  // The box of the uncaught-error report: error icon, one OK button.
  virtual void ShowErrorBox(const std::string& title, const std::string& text) = 0;
  // Destroys the windows.
  virtual void DestroyWindows() = 0;
  // Called with true as the update starts (the activation handler) and with false once
  // it has ended, its messages answered. A front-end that can hold off the end of the
  // user's session does so in between; the others need nothing.
  virtual void SetUpdateRunning(bool /*running*/) {}
};

}  // namespace lumora
