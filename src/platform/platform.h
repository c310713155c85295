// The system services of one run, chosen at build time (posix/ or win32/).
#pragma once

#include <memory>

#include "platform/filesystem.h"
#include "platform/processes.h"
#include "platform/registry.h"

namespace lumora {

struct Platform {
  std::unique_ptr<Registry> registry;
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<Processes> processes;
};

// The native services of the system the program was built for.
Platform CreateNativePlatform();

}  // namespace lumora
