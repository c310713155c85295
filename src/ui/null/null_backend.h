// Null front-end: draws nothing and answers every message box at once. Used by the tests,
// which read the window model directly, and by builds without a screen.
// Implemented:
//  [X] pumping (with a hook called at each pump, where a test can close the window)
//  [X] message boxes answered by a hook (default: OK), closing themselves when asked
//  [X] the message loop: after the update, the "user" closes the window at once
//  [X] the update's start and end recorded (SetUpdateRunning)
//  [ ] drawing (nothing is drawn)
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shell/application.h"
#include "shell/backend.h"

namespace lumora {

class NullBackend : public UiBackend {
 public:
  // Called at every DispatchPending (each PumpMessages).
  std::function<void(Application&)> on_pump;
  // Answers a message box; default OK.
  std::function<int(const std::string& caption, const std::string& text)> on_message;

  int boxes_closed_by_themselves = 0;
  std::string last_error_box;
  // Each SetUpdateRunning call, in order.
  std::vector<bool> update_running_calls;

  void CreateWindows(Application& app) override { app_ = &app; }
  void ShowMainWindow() override {}
  void DispatchPending() override {
    if (on_pump && app_) on_pump(*app_);
  }
  void WaitAndDispatch(int /*timeout_ms*/) override {
    if (app_) app_->CloseMainWindow();
  }
  int RunMessageBox(const std::string& caption, const std::string& text, MessageKind,
                    bool close_at_once, const std::function<bool()>& stop) override {
    if (close_at_once || stop()) {
      ++boxes_closed_by_themselves;
      return kResultClosed;
    }
    return on_message ? on_message(caption, text) : kResultOk;
  }
  void ShowErrorBox(const std::string& /*title*/, const std::string& text) override {
    last_error_box = text;
  }
  void DestroyWindows() override {}
  void SetUpdateRunning(bool running) override { update_running_calls.push_back(running); }

 private:
  Application* app_ = nullptr;
};

}  // namespace lumora
