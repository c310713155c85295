// Chooses the front-end that draws the window model on this system.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "shell/backend.h"

namespace lumora {

// Windows: the native window. Linux: the FLTK window when it was built in and a display
// opens, else the terminal; LUMORA_UI=terminal forces the terminal.
std::unique_ptr<UiBackend> CreateFrontEnd();

// Shows the program's --help text where the user sees it: on standard output on Linux, in
// an information box on Windows, where the program has no console.
void ShowHelp(const std::string& text);

// Shows the report of --repair or --check, lines ending in '\n', where the user sees it: on
// standard output on Linux, in an information box titled caption on Windows (an error box
// when it failed).
void ShowReport(const std::string& text, bool succeeded,
                const char* caption = "LumoraUpdate --repair");

// A wrong command line: on standard error on Linux, in an error box on Windows.
void ShowUsageError(const std::string& text);

// Text in the code page (paths, messages) as UTF-8, for the log.
std::string TextToUtf8(const std::string& text);

// The arguments after the program's name, as text in the code page. On Windows they are
// read from the UTF-16 command line: a character the code page lacks comes as its escape
// (a log in a folder of any script), where the C run-time's argv would hold a '?'.
std::vector<std::string> CommandArguments(int argc, char** argv);

// Opens a file named by text in the code page for appending; null when it cannot be.
std::FILE* OpenForAppending(const std::string& path);

}  // namespace lumora
