// Windows services behind the platform interfaces, through the wide (...W) functions. Paths
// and values reach the core as byte strings of the ANSI code page, each character that the
// code page cannot write as an escape (win32_text.h), and go back to UTF-16 the same way.
// Implemented:
//  [X] registry: HKEY_CURRENT_USER keys opened and created with full access, string values
//      (REG_SZ, REG_EXPAND_SZ with its %variables% expanded), every other type refused
//  [X] files: CreateFileW with the sharing of each open mode, errors as GetLastError codes,
//      directory search with the real attribute bits, renames that never replace, names
//      in any script, long paths ("\\?\C:\...", "\\?\UNC\...")
//  [X] processes: CreateProcessW in a new console, waited for while window messages wake
//      the caller, so the window stays alive without keeping a core busy
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/filesystem.h"
#include "platform/processes.h"
#include "platform/registry.h"

namespace lumora {

class Win32Registry : public Registry {
 public:
  bool CreateKey(const std::string& key) override;
  std::optional<std::string> ReadString(const std::string& key, const std::string& name) override;
};

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  EntryKind Kind(const std::string& path) override;
  // As Kind, but a reparse point (a junction, a symbolic link) is kOther.
  EntryKind KindForCreate(const std::string& path) override;
  // Upper case by the ANSI code page (CharUpperBuffA), as the file system compares names;
  // a letter beyond ASCII never becomes an ASCII one, and ASCII folds only to ASCII. An
  // escaped character folds by CharUpperBuffW: to the escape of its upper case, or to the
  // code page's byte for it where the code page has one.
  std::string FoldCase(const std::string& name) override;
  bool PathFits(const std::string& path, bool directory) override;
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool RenameWritten(const std::string& from, const std::string& to) override;
  bool ListDirectory(const std::string& path, std::vector<DirEntry>* entries) override;
  int64_t FreeSpace(const std::string& path) override;
  bool Sync(const std::string& path) override;
  // A named semaphore of one count per installation folder (its full path, folded).
  std::unique_ptr<FolderLock> LockFolder(const std::string& path) override;
  std::string ModuleFileName() override;
};

class Win32Processes : public Processes {
 public:
  std::unique_ptr<Process> Start(const std::string& command_line) override;
};

}  // namespace lumora
