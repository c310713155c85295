// Win32 front-end: the progress window Form1, the dialog window Form3 and the modal message
// box as native windows, drawn from the window model.
// Implemented:
//  [X] Form1 (class "TForm1"): caption, design layout, 8-point "MS Sans Serif" labels that
//      size themselves to their text, the common progress control with its 16-bit range,
//      the program's 16-colour icon from its resource (the system application icon in a
//      program without one); only what changed in the model is redrawn
//  [X] Form3 (class "TForm3"): created hidden with its layout; Button1 runs Button1Click
//  [X] pumping that never waits (PeekMessageA, TranslateMessage, DispatchMessageA) and a
//      wait for the next message that sleeps
//  [X] the title bar's close: it only queues the end of the program
//  [X] message boxes of the program's own: system icon by kind, text wrapped to half the
//      screen width, one default OK button (Enter and Esc give 1, the title bar's close 2),
//      closing by themselves when a quit request arrives, owner windows disabled meanwhile
//  [X] the uncaught-error box (MessageBoxA with the error icon)
//  [X] without a desktop (no window could be made) the message loop ends instead of waiting
//  [X] the task-bar button: a window of the application's own ("TApplication", no size,
//      titled with the application title) carries it and owns Form1; minimising Form1
//      minimises the program to it, and its close is Form1's close
//  [X] the end of the session: refused while the update runs, with the reason "Updating
//      the Lumora database" given to the system; a session that ends anyway is the close
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "shell/application.h"
#include "shell/backend.h"

namespace lumora {

class Win32Backend : public UiBackend {
 public:
  Win32Backend();
  ~Win32Backend() override;
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;

  void CreateWindows(Application& app) override;
  void ShowMainWindow() override;
  void DispatchPending() override;
  void WaitAndDispatch(int timeout_ms) override;
  int RunMessageBox(const std::string& caption, const std::string& text, MessageKind kind,
                    bool close_at_once, const std::function<bool()>& stop) override;
  void ShowErrorBox(const std::string& title, const std::string& text) override;
  void DestroyWindows() override;
  // While the update runs, log-off and shut-down are refused (WM_QUERYENDSESSION answered
  // FALSE) and the system is given the reason; WM_ENDSESSION is the main window's close.
  void SetUpdateRunning(bool running) override;
  // True while the system holds the reason (false where it has no such function).
  bool SessionEndBlockedWithReason() const;

  // The system windows, as opaque handles (HWND), for tests that look at them.
  void* ApplicationWindow() const;  // the task-bar button's window, owner of Form1
  void* MainWindow() const;
  void* Form3Window() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A message text with its line breaks (LF CR, and lone LFs or CRs) as the CR LF pairs that
// the system's text drawing breaks lines at.
std::string ToCrLf(const std::string& text);

}  // namespace lumora
