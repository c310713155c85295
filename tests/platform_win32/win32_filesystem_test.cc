// The file services over real files in a temporary folder: error codes, sharing, renames
// that never replace, the directory search with the system's attribute bits, names in any
// script and long paths.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/tree_ops.h"
#include "platform/errors.h"
#include "platform/win32/win32_platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::ListNames;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class Win32FileSystemTest : public ::testing::Test {
 protected:
  // The path of a name in the folder as the core writes it ('\' separated).
  std::string P(const std::string& relative) const {
    std::string p = dir_.Core() + relative;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
  }
  int OpenError(const std::string& path, OpenMode mode) {
    try {
      fs_.Open(path, mode);
    } catch (const IoError& e) {
      return e.code();
    }
    return 0;
  }
  // The folder's path for the wide functions (the temporary folder's name is ASCII).
  std::wstring WideDir() const {
    const std::string& dir = dir_.path();
    return std::wstring(dir.begin(), dir.end()) + L"\\";
  }
  // The attributes of what stands under the real (UTF-16) name relative to the folder.
  DWORD WideAttributes(const std::wstring& relative) const {
    return GetFileAttributesW((WideDir() + relative).c_str());
  }
  // A handle as another program holds a file: reading, sharing reading only.
  HANDLE HoldOpen(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  TempDir dir_;
  Win32FileSystem fs_;
};

TEST_F(Win32FileSystemTest, OpenFailuresCarryTheSystemsErrorCode) {
  WriteFile(dir_.Native("a.txt"), "a");
  ASSERT_TRUE(fs_.CreateDirectory(P("Sub")));
  // The last six: a device name is refused before the system opens the device, in any
  // folder, and a name that only starts like one is a file.
  const struct {
    const char* path;
    OpenMode mode;
    int code;
  } cases[] = {
      {"missing.txt", OpenMode::kRead, 2},   {"missing.txt", OpenMode::kWriteExisting, 2},
      {"Nowhere/a.txt", OpenMode::kRead, 3}, {"Nowhere/a.txt", OpenMode::kCreate, 3},
      {"Sub", OpenMode::kRead, 5},           {"Sub", OpenMode::kCreate, 5},
      {"a.txt", OpenMode::kRead, 0},         {"A.TXT", OpenMode::kReadWrite, 0},
      {"nul.txt", OpenMode::kCreate, 5},     {"Sub/COM1 .log", OpenMode::kCreate, 5},
      {"conout$", OpenMode::kRead, 5},       {"LPT\xB2.txt", OpenMode::kCreate, 5},
      {"COM10.txt", OpenMode::kCreate, 0},   {"CONSOLE.txt", OpenMode::kCreateNew, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(OpenError(P(c.path), c.mode), c.code);
    if (c.code == 5 && std::string(c.path) != "Sub") {
      EXPECT_EQ(fs_.Kind(P(c.path)), EntryKind::kOther);  // a device: neither file nor folder
    }
  }
  EXPECT_EQ(IoErrorText(3), "Invalid filename");
}

TEST_F(Win32FileSystemTest, OpenModesShareAsTheUpdateNeeds) {
  WriteFile(dir_.Native("f.txt"), "data");
  {
    // The archive is read with reading shared: a second reader is fine, a writer is not.
    auto reader = fs_.Open(P("f.txt"), OpenMode::kRead);
    EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kRead), 0);
    EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kWriteExisting), errc::kSharingViolation);
  }
  {
    // An output file is written with no sharing at all.
    auto writer = fs_.Open(P("f.txt"), OpenMode::kWriteExisting);
    EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kRead), errc::kSharingViolation);
  }
  {
    // A text file opened for appending: nobody else may write it, and a reader who does
    // not share writing is refused while it is open.
    auto appender = fs_.Open(P("f.txt"), OpenMode::kReadWrite);
    EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kRead), errc::kSharingViolation);
    HANDLE sharing_reader =
        CreateFileA(P("f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(sharing_reader, INVALID_HANDLE_VALUE);
    CloseHandle(sharing_reader);
    EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kReadWrite), errc::kSharingViolation);
  }
  // Closing released every handle.
  EXPECT_EQ(OpenError(P("f.txt"), OpenMode::kWriteExisting), 0);
}

TEST_F(Win32FileSystemTest, ReadWriteSeekSizeAndTruncate) {
  {
    auto f = fs_.Open(P("f.bin"), OpenMode::kCreate);
    IoResult w = f->Write("hello world", 11);
    EXPECT_EQ(w.count, 11u);
    EXPECT_EQ(w.error, 0);
    EXPECT_EQ(f->Position(), 11);
  }
  auto f = fs_.Open(P("f.bin"), OpenMode::kReadWrite);
  EXPECT_EQ(f->Size(), 11);
  EXPECT_EQ(f->Seek(6), 6);
  char buf[16] = {};
  IoResult r = f->Read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, r.count), "world");
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(f->Read(buf, 4).count, 0u);  // the end of the file
  EXPECT_TRUE(f->Truncate(5));
  EXPECT_EQ(f->Position(), 11);  // truncation leaves the position alone
  EXPECT_EQ(f->Size(), 5);
  EXPECT_EQ(f->Seek(-1), -1);
  f.reset();
  EXPECT_EQ(ReadFile(dir_.Native("f.bin")), "hello");
  // Creating an existing file empties it.
  fs_.Open(P("f.bin"), OpenMode::kCreate);
  EXPECT_EQ(ReadFile(dir_.Native("f.bin")), "");
}

TEST_F(Win32FileSystemTest, WriteToAReadOnlyHandleReportsTheCode) {
  WriteFile(dir_.Native("f.txt"), "data");
  auto f = fs_.Open(P("f.txt"), OpenMode::kRead);
  IoResult w = f->Write("x", 1);
  EXPECT_EQ(w.count, 0u);
  EXPECT_EQ(w.error, errc::kAccessDenied);
}

TEST_F(Win32FileSystemTest, RenameNeverReplaces) {
  WriteFile(dir_.Native("Partbase.txt"), "installed");
  WriteFile(dir_.Native("HairBase1.txt"), "left over");
  EXPECT_FALSE(fs_.Rename(P("Partbase.txt"), P("HairBase1.txt")));
  EXPECT_FALSE(fs_.Rename(P("Partbase.txt"), P("HAIRBASE1.TXT")));
  // A new spelling of the file's own name names an existing file too.
  EXPECT_FALSE(fs_.Rename(P("Partbase.txt"), P("PARTBASE.TXT")));
  EXPECT_FALSE(fs_.Rename(P("missing.txt"), P("other.txt")));
  EXPECT_EQ(ReadFile(dir_.Native("Partbase.txt")), "installed");
  EXPECT_EQ(ReadFile(dir_.Native("HairBase1.txt")), "left over");

  EXPECT_TRUE(fs_.Rename(P("partbase.txt"), P("HairBase2.txt")));
  EXPECT_EQ(ListNames(dir_.path()), (std::vector<std::string>{"HairBase1.txt", "HairBase2.txt"}));
  EXPECT_EQ(ReadFile(dir_.Native("HairBase2.txt")), "installed");
}

TEST_F(Win32FileSystemTest, RenameFailsWhileAnotherHandleHoldsTheSource) {
  WriteFile(dir_.Native("PalData.txt"), "palette");
  HANDLE held = HoldOpen(P("PalData.txt"));
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(fs_.Rename(P("PalData.txt"), P("PalData.arh")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(held);
  EXPECT_TRUE(fs_.Rename(P("PalData.txt"), P("PalData.arh")));
  EXPECT_EQ(ReadFile(dir_.Native("PalData.arh")), "palette");
}

TEST_F(Win32FileSystemTest, ExistenceTestsTellFilesFromDirectories) {
  WriteFile(dir_.Native("Partbase.txt"), "p");
  ASSERT_TRUE(fs_.CreateDirectory(P("Dir")));
  ASSERT_TRUE(fs_.CreateDirectory(P("Partbase2.txt")));
  EXPECT_TRUE(fs_.FileExists(P("Partbase.txt")));
  EXPECT_TRUE(fs_.FileExists(P("PARTBASE.TXT")));
  EXPECT_FALSE(fs_.FileExists(P("Partbase2.txt")));  // a directory of that name
  EXPECT_FALSE(fs_.FileExists(P("Dir")));
  EXPECT_FALSE(fs_.FileExists(P("missing")));
  EXPECT_FALSE(fs_.FileExists(P("Part*.txt")));  // no wildcard expansion
  EXPECT_FALSE(fs_.FileExists(P("Part????.txt")));
  EXPECT_TRUE(fs_.DirectoryExists(P("Dir")));
  EXPECT_TRUE(fs_.DirectoryExists(P("dir\\")));
  EXPECT_FALSE(fs_.DirectoryExists(P("Partbase.txt")));
  EXPECT_FALSE(fs_.DirectoryExists(P("missing")));
}

TEST_F(Win32FileSystemTest, DirectoryCreationRemovalAndDeletion) {
  EXPECT_TRUE(fs_.CreateDirectory(P("A")));
  EXPECT_FALSE(fs_.CreateDirectory(P("A")));     // exists
  EXPECT_FALSE(fs_.CreateDirectory(P("B\\C")));  // parent missing
  WriteFile(dir_.Native("A/f.txt"), "f");
  EXPECT_FALSE(fs_.RemoveDirectory(P("A")));  // not empty
  EXPECT_FALSE(fs_.DeleteFile(P("A")));       // a directory
  EXPECT_TRUE(fs_.DeleteFile(P("A\\F.TXT")));
  EXPECT_FALSE(fs_.DeleteFile(P("A\\f.txt")));  // gone
  EXPECT_TRUE(fs_.RemoveDirectory(P("A")));
  EXPECT_FALSE(fs_.RemoveDirectory(P("A")));
  EXPECT_TRUE(ListNames(dir_.path()).empty());
}

TEST_F(Win32FileSystemTest, ListDirectoryGivesNamesWithTheirAttributeBits) {
  WriteFile(dir_.Native("W/plain.txt"), "p");
  WriteFile(dir_.Native("W/hidden.txt"), "h");
  WriteFile(dir_.Native("W/system.txt"), "s");
  ASSERT_TRUE(fs_.CreateDirectory(P("W\\Sub")));
  ASSERT_TRUE(SetFileAttributesA(P("W\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesA(P("W\\system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));

  for (const std::string& path : {P("W"), P("W\\")}) {
    std::vector<DirEntry> entries;
    ASSERT_TRUE(fs_.ListDirectory(path, &entries));
    auto attributes = [&](const std::string& name) -> int64_t {
      for (const DirEntry& e : entries) {
        if (e.name == name) return e.attributes;
      }
      return -1;
    };
    EXPECT_NE(attributes("."), -1);
    EXPECT_NE(attributes(".."), -1);
    EXPECT_EQ(attributes("plain.txt") & (attr::kHidden | attr::kDirectory), 0);
    EXPECT_EQ(attributes("hidden.txt") & attr::kHidden, attr::kHidden);
    EXPECT_EQ(attributes("system.txt") & attr::kSystem, attr::kSystem);
    EXPECT_EQ(attributes("Sub") & attr::kDirectory, attr::kDirectory);
    EXPECT_EQ(entries.size(), 6u);
  }
  std::vector<DirEntry> none;
  EXPECT_FALSE(fs_.ListDirectory(P("missing"), &none));
  EXPECT_TRUE(none.empty());
}

TEST_F(Win32FileSystemTest, DeleteExtractFilesKeepsHiddenEntriesAndTheirParents) {
  WriteFile(dir_.Native("X/a.txt"), "a");
  WriteFile(dir_.Native("X/Keep/Deep/secret.txt"), "h");
  WriteFile(dir_.Native("X/Keep/Deep/gone.txt"), "g");
  WriteFile(dir_.Native("X/Keep/gone.txt"), "g");
  WriteFile(dir_.Native("X/Cache/inner.txt"), "c");
  WriteFile(dir_.Native("X/Other/y/z.txt"), "z");
  ASSERT_TRUE(SetFileAttributesA(P("X\\Keep\\Deep\\secret.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(
      SetFileAttributesA(P("X\\Cache").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
  DeleteExtractFiles(fs_, P("X"));
  EXPECT_EQ(ListNames(dir_.Native("X")), (std::vector<std::string>{"Cache", "Keep"}));
  EXPECT_EQ(ListNames(dir_.Native("X/Keep/Deep")), std::vector<std::string>{"secret.txt"});
  EXPECT_EQ(ListNames(dir_.Native("X/Cache")), std::vector<std::string>{"inner.txt"});

  ASSERT_TRUE(SetFileAttributesA(P("X\\Keep\\Deep\\secret.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(SetFileAttributesA(P("X\\Cache").c_str(), FILE_ATTRIBUTE_DIRECTORY));
  DeleteExtractFiles(fs_, P("X"));
  EXPECT_TRUE(ListNames(dir_.path()).empty());
}

// A symbolic link or junction to a folder elsewhere: the walk removes the link and never
// goes through it. Skipped where links cannot be made (no privilege for them).
TEST_F(Win32FileSystemTest, DeleteExtractFilesRemovesLinksNotWhatTheyPointTo) {
  WriteFile(dir_.Native("Outside/precious.txt"), "keep");
  WriteFile(dir_.Native("X/a.txt"), "a");
  if (!CreateSymbolicLinkA(P("X\\link").c_str(), P("Outside").c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    GTEST_SKIP() << "cannot make a directory link here (error " << GetLastError() << ")";
  }
  std::vector<DirEntry> entries;
  ASSERT_TRUE(fs_.ListDirectory(P("X"), &entries));
  for (const DirEntry& e : entries) {
    if (e.name == "link") {
      EXPECT_NE(e.attributes & attr::kReparsePoint, 0u);
    }
  }
  DeleteExtractFiles(fs_, P("X"));
  EXPECT_EQ(ReadFile(dir_.Native("Outside/precious.txt")), "keep");
  EXPECT_EQ(ListNames(dir_.path()), std::vector<std::string>{"Outside"});
}

TEST_F(Win32FileSystemTest, FreeSpaceAndModuleFileName) {
  EXPECT_GT(fs_.FreeSpace(dir_.Core()), 0);
  EXPECT_EQ(fs_.FreeSpace(P("missing\\")), -1);
  const std::string self = fs_.ModuleFileName();
  ASSERT_GT(self.size(), 4u);
  EXPECT_EQ(self.substr(self.size() - 4), ".exe");
  EXPECT_TRUE(fs_.FileExists(self));
  EXPECT_EQ(OpenError(self, OpenMode::kRead), 0);
}

// Core text with each '^' as the escape byte 0x01.
std::string E(std::string text) {
  std::replace(text.begin(), text.end(), '^', '\x01');
  return text;
}

// Names beyond the ANSI code page reach the core as escapes (0x01 and the four hex digits
// of each UTF-16 unit); every call takes them back to the real name. The expected forms are
// those of code page 1252, Wine's with a C.UTF-8 or no locale.
struct ScriptName {
  const char* what;
  const wchar_t* wide;
  std::string core;
};
const ScriptName kScriptNames[] = {
    {"Cyrillic", L"Загрузки", E("^0417^0430^0433^0440^0443^0437^043A^0438")},
    {"Cyrillic with ASCII", L"Ярослав-2", E("^042F^0440^043E^0441^043B^0430^0432-2")},
    {"CJK", L"資料", E("^8CC7^6599")},
    {"beyond the basic plane", L"clef \U0001D11E", E("clef ^D834^DD1E")},
    // 'Ő' has a look-alike in the code page ('O'), which must never stand in for it.
    {"best-fit look-alike", L"\u0150r", E("^0150r")},
    {"in the code page", L"Caf\u00e9", "Caf\xe9"},
};

class Win32ScriptNamesTest : public Win32FileSystemTest {
 protected:
  void SetUp() override {
    if (GetACP() != 1252) GTEST_SKIP() << "the expected names are those of code page 1252";
  }
  bool Listed(const std::string& folder, const std::string& name, uint32_t attribute) {
    std::vector<DirEntry> entries;
    if (!fs_.ListDirectory(folder, &entries)) return false;
    for (const DirEntry& e : entries) {
      if (e.name == name) return (e.attributes & attr::kDirectory) == attribute;
    }
    return false;
  }
};

TEST_F(Win32ScriptNamesTest, FoldersAndFilesLiveUnderTheirRealNames) {
  for (const ScriptName& n : kScriptNames) {
    SCOPED_TRACE(n.what);
    const std::wstring wide = n.wide;
    const std::string folder = P(n.core);
    const std::string file = folder + "\\" + n.core + ".txt";
    ASSERT_TRUE(fs_.CreateDirectory(folder));
    EXPECT_EQ(WideAttributes(wide) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_TRUE(Listed(dir_.Core(), n.core, attr::kDirectory));
    {
      auto f = fs_.Open(file, OpenMode::kCreateNew);
      EXPECT_EQ(f->Write("data", 4).count, 4u);
    }
    EXPECT_NE(WideAttributes(wide + L"\\" + wide + L".txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(Listed(folder, n.core + ".txt", 0));
    EXPECT_TRUE(fs_.FileExists(file));
    EXPECT_EQ(fs_.Kind(file), EntryKind::kFile);
    EXPECT_EQ(fs_.KindForCreate(folder), EntryKind::kDirectory);
    EXPECT_TRUE(fs_.DirectoryExists(folder + "\\"));
    EXPECT_TRUE(fs_.PathFits(file, false));
    EXPECT_GT(fs_.FreeSpace(folder + "\\"), 0);
    char data[8] = {};
    EXPECT_EQ(fs_.Open(file, OpenMode::kRead)->Read(data, sizeof data).count, 4u);

    const std::string renamed = folder + "\\~" + n.core;
    EXPECT_TRUE(fs_.Rename(file, renamed));
    EXPECT_NE(WideAttributes(wide + L"\\~" + wide), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(fs_.RenameWritten(renamed, file));
    EXPECT_FALSE(fs_.Rename(renamed, file));  // the source is gone
    EXPECT_FALSE(fs_.RemoveDirectory(folder));
    EXPECT_TRUE(fs_.DeleteFile(file));
    EXPECT_TRUE(fs_.RemoveDirectory(folder));
    EXPECT_EQ(WideAttributes(wide), INVALID_FILE_ATTRIBUTES);
  }
  EXPECT_TRUE(ListNames(dir_.path()).empty());
}

TEST_F(Win32ScriptNamesTest, EscapedLettersFoldAsTheSystemComparesThem) {
  const std::string lower = E("^044F^0440.txt");  // "яр.txt"
  const std::string upper = E("^042F^0420.TXT");  // "ЯР.TXT"
  ASSERT_TRUE(CloseHandle(CreateFileW((WideDir() + L"яр.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
  EXPECT_TRUE(fs_.FileExists(P(upper)));
  EXPECT_FALSE(fs_.Rename(P(lower), P(upper)));  // another spelling of its own name
  EXPECT_EQ(fs_.FoldCase(lower), upper);
  EXPECT_EQ(fs_.FoldCase(upper), upper);
  EXPECT_NE(fs_.FoldCase(E("^044F")), fs_.FoldCase(E("^0430")));
  // The folded name still names the file; its escapes stay escapes.
  EXPECT_TRUE(fs_.FileExists(P(fs_.FoldCase(lower))));
  // No letter beyond ASCII folds to an ASCII one: the dotless i stays itself.
  EXPECT_EQ(fs_.FoldCase(E("^0131x")), E("^0131X"));
}

// "\\?\" paths are taken as they stand, up to 32,767 characters; their '?' is no wildcard.
TEST_F(Win32FileSystemTest, LongPathPrefixIsAPathNotAWildcard) {
  const std::string dir = "\\\\?\\" + dir_.Core();
  WriteFile(dir_.Native("Partbase.txt"), "p");
  EXPECT_TRUE(fs_.FileExists(dir + "Partbase.txt"));
  EXPECT_TRUE(fs_.FileExists(dir + "PARTBASE.TXT"));
  EXPECT_FALSE(fs_.FileExists(dir + "Part?ase.txt"));  // a wildcard after the prefix still is
  EXPECT_FALSE(fs_.FileExists(dir + "Part*"));
  EXPECT_TRUE(fs_.DirectoryExists(dir));
  EXPECT_EQ(fs_.Kind(dir + "Partbase.txt"), EntryKind::kFile);
  EXPECT_EQ(OpenError(dir + "Partbase.txt", OpenMode::kRead), 0);
  EXPECT_GT(fs_.FreeSpace(dir), 0);
  for (const std::string& path : {dir, dir.substr(0, dir.size() - 1)}) {
    std::vector<DirEntry> entries;
    ASSERT_TRUE(fs_.ListDirectory(path, &entries));
    EXPECT_EQ(entries.size(), 3u);  // ".", ".." and the file
  }

  // Beyond MAX_PATH only with the prefix.
  std::string deep = dir;
  for (int i = 0; i < 4; ++i) {
    deep += std::string(80, static_cast<char>('a' + i));
    ASSERT_TRUE(fs_.PathFits(deep, true));
    ASSERT_TRUE(fs_.CreateDirectory(deep));
    deep += "\\";
  }
  EXPECT_FALSE(fs_.PathFits(deep.substr(4) + "f.txt", false));
  EXPECT_TRUE(fs_.PathFits(deep + "f.txt", false));
  fs_.Open(deep + "f.txt", OpenMode::kCreateNew);
  EXPECT_TRUE(fs_.FileExists(deep + "f.txt"));
  EXPECT_FALSE(fs_.PathFits(dir + std::string(256, 'n'), false));  // one name of 256

  // One folder, one lock, whichever way its path is written.
  const auto lock = fs_.LockFolder(dir.substr(0, dir.size() - 1));
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(fs_.LockFolder(dir_.path()), nullptr);
}

}  // namespace
}  // namespace lumora
