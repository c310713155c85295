#include "app/front_end.h"
#include "ui/win32/win32_backend.h"

namespace lumora {

std::unique_ptr<UiBackend> CreateFrontEnd() { return std::make_unique<Win32Backend>(); }

}  // namespace lumora
