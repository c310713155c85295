// Starting a program with CreateProcessW and waiting for it.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <string>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_text.h"

namespace lumora {
namespace {

class Win32Process : public Process {
 public:
  explicit Win32Process(HANDLE process) : process_(process) {}
  // The handle is released once nobody waits any more; the program itself runs on.
  ~Win32Process() override { CloseHandle(process_); }
  Win32Process(const Win32Process&) = delete;
  Win32Process& operator=(const Win32Process&) = delete;

  // Sleeps until the program ends, the time is up, or a message arrives for this thread's
  // windows; a message ends the wait early (false) so that the caller pumps it at once.
  bool WaitFor(int timeout_ms) override {
    DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    DWORD r = MsgWaitForMultipleObjects(1, &process_, FALSE, wait, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_OBJECT_0 + 1 || r == WAIT_TIMEOUT) {
      // A message woke the wait: the program may still have ended meanwhile.
      return WaitForSingleObject(process_, 0) != WAIT_TIMEOUT;
    }
    return true;  // the wait failed: nothing more to wait for
  }

 private:
  HANDLE process_;
};

}  // namespace

std::unique_ptr<Process> Win32Processes::Start(const std::string& command_line) {
  // sizeof(STARTUPINFOW) is 104 on 64-bit Windows; the 68 bytes of the 32-bit record
  // would make CreateProcessW refuse the call or misread the record here.
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof(STARTUPINFOW);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  std::wstring line = ToWide(command_line);
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return std::make_unique<Win32Process>(info.hProcess);
}

}  // namespace lumora
