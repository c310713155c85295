// Two utilities of the main window beside the extraction: removing a directory tree, and
// starting another program and waiting for it while the window stays alive. No stage of
// the update uses them.
#pragma once

#include <string>

#include "platform/filesystem.h"
#include "platform/processes.h"

namespace lumora {

class Application;

// The recursive walk of DeleteExtractFiles: deletes every file below dir and removes every
// subdirectory after its contents. Entries that are hidden, system or volume labels are
// never seen, so they stay with everything they contain, and so do the directories above
// them. prefix is dir relative to where the walk began, ending in '\' ("" at the top).
// Nothing is reported: deletions that fail are passed over.
void ReadFiles(FileSystem& files, const std::string& dir, const std::string& prefix);

// Removes the tree below dir (a path without a trailing '\'), then dir itself. A missing
// directory changes nothing. Reports nothing.
void DeleteExtractFiles(FileSystem& files, const std::string& dir);

// Starts command_line and waits until the program ends, pumping the window's messages
// between polls. False at once when the program cannot be started; true when it was
// started and has ended. Its exit code is not read.
bool ExecAndWait(Processes& processes, Application& app, const std::string& command_line);

}  // namespace lumora
