// The part base "Partbase.txt" and the data file "PalData.txt" of an installation, the
// working names they bear while an update runs, and the four operations on them that the
// update sequence calls. Each operation works in the installation directory, shows its own
// message and returns false when the update must stop; a failed text-file operation is
// not caught here (it throws IoError), and a failed deletion is never reported.
#pragma once

#include <cstdint>
#include <string>

#include "platform/filesystem.h"

namespace lumora {

class Application;
class TextWriter;

// Told before a merge appends to an installed file, and after, so that an interrupted run
// can cut off exactly what it appended: the rollback journal.
class AppendRecord {
 public:
  virtual ~AppendRecord() = default;
  // base: the installed file's own name; offset: where the appended bytes start. False
  // when what it records could not be put on the disk.
  virtual bool WillAppend(const char* base, int64_t offset) = 0;
  virtual void Appended(const char* base, int64_t offset, int64_t length, uint32_t crc) = 0;
};

namespace partbase {
inline constexpr const char kPartBase[] = "Partbase.txt";
inline constexpr const char kPalData[] = "PalData.txt";
inline constexpr const char kPalDataArh[] = "PalData.arh";
inline constexpr const char kWorkingCopy[] = "HairBase4Check.txt";
inline constexpr const char kInstalledPartBase[] = "HairBase1.txt";
inline constexpr const char kNewPartBase[] = "HairBase2.txt";

inline constexpr const char kFileErrorText[] =
    "File error.\n\rIf you run Lumora Studio complete it and try again.";
inline constexpr const char kBasicIndexErrorText[] = "Bad file PARTBASE.TXT. Basic index error.";
}  // namespace partbase

// A comment line is empty or begins with '#', LF or CR; every other line is a record.
bool IsCommentLine(const std::string& line);
// The basic index of a record line: the text before its first ';', the whole line without.
std::string BasicIndexText(const std::string& line);
// Optional blanks, then an optional sign and decimal digits in the signed 32-bit range, or
// '$' and hexadecimal digits whose value fits in 32 bits; nothing after them.
bool IsValidBasicIndex(const std::string& text);
// 'a'..'z' to 'A'..'Z'; every other byte unchanged.
std::string UpperCase(std::string text);
// The duplicate key of a record line: the image path, the text between its third and
// fourth ';', upper-cased. Empty when the line has no such field; an empty key is never
// found.
std::string DuplicateKey(const std::string& record_line);

class PartBaseFiles {
 public:
  // install_dir ends in '\'; every file name is appended to it directly.
  PartBaseFiles(FileSystem& files, Application& app, std::string install_dir);

  // Copies "Partbase.txt" line by line to "HairBase4Check.txt", then tests the basic index
  // of every record line of the copy. False (with the basic index message) at the first
  // bad one; the copy stays.
  bool CheckPartBase();
  // Moves the new part base to "HairBase2.txt", gives the installed one its name back and
  // appends every new line that is not dropped: a record whose key occurs in a line of the
  // working copy that does not begin with '#' is dropped (and sets duplicatesFound), and a
  // comment line shares the fate of the nearest record line before it.
  bool MergePartBase();
  // Appends every line of the new "PalData.txt" to "PalData.arh", deletes the new file,
  // puts what was appended on the disk and gives "PalData.arh" its name back.
  bool MergePalData();
  // Deletes the working files and gives the installed files still under a working name
  // their own names back ("PalData.arh" only once what was appended is on the disk).
  bool RestoreBaseFiles();

  // Set by MergePartBase when it drops at least one record.
  bool duplicatesFound = false;
  // Told of every append (may be null).
  AppendRecord* append_record = nullptr;

 private:
  std::string Path(const char* name) const { return install_dir_ + name; }
  bool FileError();
  // Syncs what was written; false, with the disk-full message, when the disk lost some.
  bool OnDisk();
  // Tells the append record where the merge through writer (base's file) starts
  // appending; false, with the disk-full message, when that cannot be put on the disk. The
  // writer is closed first then: the undo that comes with the message reads the file.
  bool WillAppend(const char* base, TextWriter& writer);
  // Tells the append record what was appended to path from offset on, read back.
  void Appended(const char* base, const std::string& path, int64_t offset);

  FileSystem& files_;
  Application& app_;
  std::string install_dir_;
};

}  // namespace lumora
