// What the packer needs from the system it runs on: the command line, paths, file names
// and the terminal. host_posix.cc implements it on Linux, host_win32.cc on Windows.
//
// Text is what the system's narrow programs read and write: on Linux the encoding of the
// locale, on Windows the ANSI code page (the one the updater's A-functions name files in).
// Archive names are in an 8-bit code page; a NameCodec turns one into the other.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::pack {

class NameCodec {
 public:
  virtual ~NameCodec() = default;

  // The code page of archive names, as the user names it ("CP1252").
  virtual const std::string& name() const = 0;

  // Appends the code page form of text to name. A character the code page cannot write is
  // appended as '?' and the result is false.
  virtual bool FromText(std::string_view text, std::string* name) const = 0;

  // Appends the text form of an archive name to text; false when a byte has none.
  virtual bool ToText(std::string_view name, std::string* text) const = 0;

  // True when the code page gives every byte of an archive name a character (the text
  // form may still lack one: on Windows that is the ANSI code page's).
  virtual bool Defines(std::string_view name) const = 0;

  // One component of a path from the file system: its text form (for messages and
  // checks) in *text, its code page form in *name, false as for FromText.
  virtual bool FromPath(const std::filesystem::path& component, std::string* text,
                        std::string* name) const = 0;

  // The name in upper case, as Windows compares names.
  virtual std::string Folded(std::string_view name) const = 0;

  // Why extract cannot name files in this code page, "" when it can.
  virtual std::string ExtractProblem() const = 0;
};

// The codec of the code page named, or of this system's default when codepage is empty;
// nullptr, with the reason in *error, when the code page is not usable.
std::unique_ptr<NameCodec> OpenNames(const std::string& codepage, std::string* error);

// The command line as text, without the program's name. Throws std::runtime_error when an
// argument cannot be written as text.
std::vector<std::string> Arguments(int argc, char** argv);

// A path given as text, and a path as text (for messages and the platform layer).
std::filesystem::path PathOf(const std::string& text);
std::string TextOf(const std::filesystem::path& path);

// Whether the stream goes to a terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);

// Moves from onto to, replacing a file already there. Throws std::runtime_error.
void MoveOnto(const std::filesystem::path& from, const std::filesystem::path& to);

// Lets everyone run the file, where the file system keeps such a mark.
void MakeExecutable(const std::filesystem::path& path);

// A new temporary file, open for reading and writing, that goes away when it is closed or
// the program ends however it ends: in $TMPDIR (default /tmp) on Linux, in the folder
// GetTempPath names on Windows. nullptr when it cannot be made.
std::FILE* TemporaryFile();
// The folder TemporaryFile makes its files in.
std::string TemporaryFolder();

// Until KeepOnInterrupt: Ctrl-C, SIGTERM and SIGHUP remove path before they end the
// program (Linux; on Windows nothing is removed).
void RemoveOnInterrupt(const std::filesystem::path& path);
void KeepOnInterrupt();

// Whether the packer may read back the file it writes while it is still writing it. Not on
// Windows: a second handle open on the file, however briefly, would make the Ctrl-C
// handler's removal of it fail.
extern const bool kReadBackWhileWriting;

// The reason a write failed, by its errno, with "the disk is full" for a full disk or quota.
std::string WriteFailure(int error);

}  // namespace lumora::pack
