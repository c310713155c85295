#include "shell/application.h"

#include <exception>
#include <utility>

#include "platform/errors.h"

namespace lumora {
namespace {

std::string TitleFromPath(const std::string& path) {
  size_t slash = path.find_last_of("\\/:");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  name = name.substr(0, name.find('.'));
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  }
  return name;
}

}  // namespace

const char* MessageCaption(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning:
      return "Warning";
    case MessageKind::Error:
      return "Error";
    case MessageKind::Information:
      return "Information";
  }
  return "";
}

int MessageIconId(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning:
      return 32515;  // IDI_EXCLAMATION
    case MessageKind::Error:
      return 32513;  // IDI_HAND
    case MessageKind::Information:
      return 32516;  // IDI_ASTERISK
  }
  return 0;
}

Application::Application(UiBackend& backend, const std::string& exe_path)
    : backend_(backend), title_(TitleFromPath(exe_path)) {}

int Application::Run(const std::function<void()>& on_activate) {
  on_activate_ = on_activate;
  backend_.CreateWindows(*this);
  backend_.ShowMainWindow();
  Activate();
  while (!terminating_) {
    if (ConsumeQuit()) break;
    backend_.WaitAndDispatch(-1);
  }
  backend_.DestroyWindows();
  return succeeded_ ? 0 : failure_status_;
}

void Application::BeforeError() {
  if (!before_error) return;
  const std::function<void()> hook = std::move(before_error);
  before_error = nullptr;
  hook();
}

void Application::NoteStage() {
  if (!listener || Form1.Label2.Caption == last_stage_) return;
  last_stage_ = Form1.Label2.Caption;
  listener->OnStage(last_stage_);
}

void Application::Activate() {
  if (activated_) return;
  activated_ = true;
  if (!on_activate_) return;
  backend_.SetUpdateRunning(true);
  // Every window event runs inside the handler of uncaught errors: a failure ends the
  // handler, is reported, and the message loop goes on.
  try {
    on_activate_();
  } catch (const StopRun&) {
    // The update has shown its own message already.
  } catch (const std::exception& e) {
    ReportUncaught(e.what());
  }
  backend_.SetUpdateRunning(false);
}

void Application::PumpMessages() {
  ++pump_count_;
  NoteStage();
  backend_.DispatchPending();
  ConsumeQuit();
}

void Application::CloseMainWindow() { quit_queued_ = true; }

bool Application::ConsumeQuit() {
  if (!quit_queued_) return false;
  quit_queued_ = false;
  terminating_ = true;
  return true;
}

int Application::ShowMessageDialog(const std::string& text, MessageKind kind,
                                   MessageButtons /*buttons*/, int /*help_context*/) {
  if (kind == MessageKind::Error) BeforeError();
  NoteStage();
  if (listener) listener->OnMessage(kind, MessageCaption(kind), text);
  const bool at_once = terminating_;
  int result = backend_.RunMessageBox(MessageCaption(kind), text, kind, at_once,
                                      [this] { return quit_queued_; });
  // A quit request consumed by the dialog's own loop closes that very dialog.
  if (ConsumeQuit() || at_once) result = kResultClosed;
  shown_.push_back({MessageCaption(kind), text, kind, result});
  return result;
}

void Application::ReportUncaught(const std::string& message) {
  BeforeError();
  std::string text = message + ".";
  if (listener) listener->OnMessage(MessageKind::Error, title_, text);
  backend_.ShowErrorBox(title_, text);
  shown_.push_back({title_, text, MessageKind::Error, kResultOk});
}

}  // namespace lumora
