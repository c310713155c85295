#include "app/front_end.h"
#include "platform/win32/win32_windows.h"
#include "ui/win32/win32_backend.h"

namespace lumora {

std::unique_ptr<UiBackend> CreateFrontEnd() { return std::make_unique<Win32Backend>(); }

void ShowHelp(const std::string& text) {
  MessageBoxA(nullptr, ToCrLf(text).c_str(), "LumoraUpdate", MB_OK | MB_ICONINFORMATION);
}

}  // namespace lumora
