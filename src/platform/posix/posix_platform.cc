#include "platform/posix/posix_platform.h"

#include "platform/platform.h"

namespace lumora {

Platform CreateNativePlatform() {
  Platform p;
  p.registry = std::make_unique<PosixRegistry>();
  p.files = std::make_unique<PosixFileSystem>();
  p.processes = std::make_unique<PosixProcesses>();
  return p;
}

}  // namespace lumora
