#include "archive/tree_ops.h"

#include <vector>

#include "shell/application.h"

namespace lumora {
namespace {

// Entries with one of these bits are passed over as if absent.
constexpr uint32_t kUnseen = attr::kHidden | attr::kSystem | attr::kVolumeLabel;

// How long one poll of the started program waits before the window's messages are pumped
// again: short enough for the window to repaint smoothly, long enough not to keep a core
// busy.
constexpr int kPollMs = 20;

}  // namespace

void ReadFiles(FileSystem& files, const std::string& dir, const std::string& prefix) {
  std::vector<DirEntry> entries;
  if (!files.ListDirectory(dir, &entries)) return;
  for (const DirEntry& entry : entries) {
    if ((entry.attributes & kUnseen) != 0) continue;
    if (entry.name == "." || entry.name == "..") continue;
    const std::string path = dir + "\\" + entry.name;
    if ((entry.attributes & attr::kDirectory) != 0 &&
        (entry.attributes & attr::kReparsePoint) != 0) {
      // A link to a folder elsewhere: the link goes, and nothing that it points to.
      files.RemoveDirectory(path);
    } else if ((entry.attributes & attr::kDirectory) != 0) {
      ReadFiles(files, path, prefix + entry.name + "\\");
      files.RemoveDirectory(path);
    } else {
      files.DeleteFile(path);
    }
  }
}

void DeleteExtractFiles(FileSystem& files, const std::string& dir) {
  ReadFiles(files, dir, "");
  files.RemoveDirectory(dir);
}

bool ExecAndWait(Processes& processes, Application& app, const std::string& command_line) {
  std::unique_ptr<Process> process = processes.Start(command_line);
  if (!process) return false;
  while (!process->WaitFor(kPollMs)) app.PumpMessages();
  return true;
}

}  // namespace lumora
