// Chooses the front-end that draws the window model on this system.
#pragma once

#include <memory>
#include <string>

#include "shell/backend.h"

namespace lumora {

// Windows: the native window. Linux: the FLTK window when it was built in and a display
// opens, else the terminal; LUMORA_UI=terminal forces the terminal.
std::unique_ptr<UiBackend> CreateFrontEnd();

// Shows the program's --help text where the user sees it: on standard output on Linux, in
// an information box on Windows, where the program has no console.
void ShowHelp(const std::string& text);

// Shows the report of --repair, lines ending in '\n', where the user sees it: on standard
// output on Linux, in an information box on Windows (an error box when the repair failed).
void ShowReport(const std::string& text, bool succeeded);

}  // namespace lumora
