#include "platform/win32/win32_platform.h"

#include "platform/platform.h"

namespace lumora {

Platform CreateNativePlatform() {
  Platform p;
  p.registry = std::make_unique<Win32Registry>();
  p.files = std::make_unique<Win32FileSystem>();
  p.processes = std::make_unique<Win32Processes>();
  return p;
}

}  // namespace lumora
