// Which archive entry names the updater accepts.
#pragma once

#include <cstdint>
#include <string>

namespace lumora {

// False for a name that could reach outside the extraction directory: an empty name, an
// absolute one ('\' or '/' first), one with a drive letter or any ':', or one with a ".."
// or a "." component ('\' and '/' both separate components).
bool IsSafeEntryName(const std::string& name);

// False for a name that Windows cannot create as itself, whatever the system the updater
// runs on (an updater is made for Windows): a component holding < > " | ? * or a byte
// below 0x20, one that ends in a dot or a space (Win32 strips those, so the name would
// alias another), or one that is a reserved device name, with or without an extension
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, and COM and LPT with a superscript digit as the
// code page writes them). '\' and '/' separate components; a trailing '\' ends a folder.
bool IsWindowsEntryName(const std::string& name);

// The part of the name that the progress window shows: empty for a directory entry (a
// name ending in '\'), else the part after the last '\', or the whole name.
std::string DisplayName(const std::string& name);

// The folder part of an entry name, with its separator ("" for a name at the top).
std::string EntryFolder(const std::string& name);

// The working name of the run's new file number n (from 0): "~LumoraUpdate.<n>.tmp".
std::string WorkingName(int64_t n);
// True for a working name of a new file: one of WorkingName's, or the one name that
// earlier updaters used ("~LumoraUpdate.tmp"); without regard to letter case.
bool IsWorkingName(const std::string& name);
// True when a file entry names one of the extraction's own working files: a working name
// (IsWorkingName) in any folder, or the scratch file (format::kScratchName) at the top, in
// any letter case. Extraction would write the member under that name and
// then rename it onto itself, or delete it as the scratch file.
bool IsWorkingFileName(const std::string& name);

}  // namespace lumora
