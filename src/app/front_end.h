// Chooses the front-end that draws the window model on this system.
#pragma once

#include <memory>

#include "shell/backend.h"

namespace lumora {

// Windows: the native window. Linux: the FLTK window when it was built in and a display
// opens, else the terminal; LUMORA_UI=terminal forces the terminal.
std::unique_ptr<UiBackend> CreateFrontEnd();

}  // namespace lumora
