#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "platform/errors.h"
#include "platform/posix/codepage.h"
#include "platform/posix/posix_platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  // Code of the IoError that Open throws, 0 when it opens.
  int OpenError(const std::string& path, OpenMode mode) {
    try {
      fs_.Open(path, mode);
      return 0;
    } catch (const IoError& e) {
      return e.code();
    }
  }

  TempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, NamesResolveWithoutRegardToCase) {
  WriteFile(dir_.Native("Install/Addition/Tattoo/Fp001.psd"), "image");
  WriteFile(dir_.Native("Install/Partbase.txt"), "base");
  EXPECT_TRUE(fs_.FileExists(dir_.Core() + "install\\partbase.txt"));
  EXPECT_TRUE(fs_.FileExists(dir_.Core() + "INSTALL/addition\\TATTOO\\fp001.PSD"));
  EXPECT_TRUE(fs_.DirectoryExists(dir_.Core() + "install\\ADDITION\\"));
  auto f = fs_.Open(dir_.Core() + "install\\addition\\tattoo\\FP001.psd", OpenMode::kRead);
  char buf[16];
  EXPECT_EQ(f->Read(buf, sizeof buf).count, 5u);
  EXPECT_EQ(std::string(buf, 5), "image");

  // Creating a file in a folder written in another case puts it into that folder, and
  // creating an existing file in another case truncates that file.
  fs_.Open(dir_.Core() + "INSTALL\\new.txt", OpenMode::kCreate)->Write("n", 1);
  EXPECT_EQ(ReadFile(dir_.Native("Install/new.txt")), "n");
  fs_.Open(dir_.Core() + "install\\PARTBASE.TXT", OpenMode::kCreate);
  EXPECT_EQ(ReadFile(dir_.Native("Install/Partbase.txt")), "");
  EXPECT_EQ(ListNames(dir_.Native("Install")),
            (std::vector<std::string>{"Addition", "Partbase.txt", "new.txt"}));
}

// Paths that exist as written, whose folder exists as written, and neither: each way
// through the resolver gives what a lookup of every component gives.
TEST_F(PosixFileSystemTest, ResolvedPathsWhateverPartExistsAsWritten) {
  WriteFile(dir_.Native("Inst/Addition/Fp001.psd"), "image");
  ASSERT_EQ(mkdir(dir_.Native("Inst/empty").c_str(), 0777), 0);
  const std::string base = dir_.Native("");
  const struct {
    const char* path;      // below the temporary folder, as the core writes it
    const char* resolved;  // below the temporary folder
  } cases[] = {
      {"Inst\\Addition\\Fp001.psd", "Inst/Addition/Fp001.psd"},    // all as written
      {"Inst\\Addition\\FP001.PSD", "Inst/Addition/Fp001.psd"},    // the last name's case
      {"Inst\\Addition\\new.psd", "Inst/Addition/new.psd"},        // a file to be made
      {"inst\\addition\\new.psd", "Inst/Addition/new.psd"},        // ... in folders of any case
      {"inst\\ADDITION\\fp001.psd", "Inst/Addition/Fp001.psd"},    // every name's case
      {"INST\\missing\\fp001.psd", "Inst/missing/fp001.psd"},      // below a missing folder
      {"Inst\\\\Addition//fp001.psd", "Inst/Addition/Fp001.psd"},  // runs of separators
      {"inst\\EMPTY\\", "Inst/empty/"},                            // a folder, with its separator
      {"Inst\\Addition\\..\\EMPTY", "Inst/Addition/../empty"},     // '..' kept as it is
      {"inst\\.\\addition", "Inst/./Addition"},                    // '.' too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolvePath(base + c.path), base + c.resolved) << c.path;
  }
}

// A file is never created or emptied through a symbolic link, dangling or not: what it
// points to, wherever that is, stays as it was.
TEST_F(PosixFileSystemTest, CreatingNeverGoesThroughASymbolicLink) {
  WriteFile(dir_.Native("outside.txt"), "keep");
  ASSERT_EQ(symlink(dir_.Native("outside.txt").c_str(), dir_.Native("link.txt").c_str()), 0);
  ASSERT_EQ(symlink(dir_.Native("nothere.txt").c_str(), dir_.Native("dangling.txt").c_str()), 0);
  EXPECT_EQ(OpenError(dir_.Core() + "LINK.TXT", OpenMode::kCreate), errc::kAccessDenied);
  EXPECT_EQ(OpenError(dir_.Core() + "dangling.txt", OpenMode::kCreate), errc::kAccessDenied);
  EXPECT_EQ(ReadFile(dir_.Native("outside.txt")), "keep");
  EXPECT_FALSE(Exists(dir_.Native("nothere.txt")));
  // Reading through a link is harmless and stays possible.
  EXPECT_EQ(OpenError(dir_.Core() + "link.txt", OpenMode::kRead), 0);
}

TEST_F(PosixFileSystemTest, ExactNameIsPreferredThenNameOrder) {
  WriteFile(dir_.Native("d/partbase.txt"), "lower");
  WriteFile(dir_.Native("d/Partbase.txt"), "upper");
  WriteFile(dir_.Native("d/PARTBASE.TXT"), "caps");
  auto read = [&](const std::string& name) {
    auto f = fs_.Open(dir_.Core() + "d\\" + name, OpenMode::kRead);
    char buf[16];
    return std::string(buf, f->Read(buf, sizeof buf).count);
  };
  EXPECT_EQ(read("partbase.txt"), "lower");
  EXPECT_EQ(read("Partbase.txt"), "upper");
  EXPECT_EQ(read("PARTBASE.TXT"), "caps");
  EXPECT_EQ(read("PartBase.Txt"), "caps");  // "PARTBASE.TXT" sorts first
}

TEST_F(PosixFileSystemTest, OnlyRegularFilesAreFiles) {
  ASSERT_EQ(mkdir(dir_.Native("Partbase.txt").c_str(), 0777), 0);
  EXPECT_FALSE(fs_.FileExists(dir_.Core() + "Partbase.txt"));
  EXPECT_TRUE(fs_.DirectoryExists(dir_.Core() + "partbase.TXT"));
  EXPECT_FALSE(fs_.DeleteFile(dir_.Core() + "Partbase.txt"));
  EXPECT_TRUE(Exists(dir_.Native("Partbase.txt")));
}

TEST_F(PosixFileSystemTest, OpenErrorCodes) {
  WriteFile(dir_.Native("file.txt"), "x");
  ASSERT_EQ(mkdir(dir_.Native("folder").c_str(), 0777), 0);
  struct Case {
    const char* what;
    std::string path;
    OpenMode mode;
    int code;
  };
  const Case cases[] = {
      {"missing file", dir_.Core() + "none.txt", OpenMode::kRead, 2},
      {"missing file, write", dir_.Core() + "none.txt", OpenMode::kWriteExisting, 2},
      {"missing folder", dir_.Core() + "nodir\\none.txt", OpenMode::kRead, 3},
      {"missing folder, create", dir_.Core() + "nodir\\none.txt", OpenMode::kCreate, 3},
      {"file used as folder", dir_.Core() + "file.txt\\x", OpenMode::kCreate, 3},
      {"folder read as file", dir_.Core() + "FOLDER", OpenMode::kRead, 5},
      {"folder written as file", dir_.Core() + "folder", OpenMode::kWriteExisting, 5},
      {"folder created as file", dir_.Core() + "folder", OpenMode::kCreate, 5},
      {"existing file", dir_.Core() + "FILE.TXT", OpenMode::kReadWrite, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OpenError(c.path, c.mode), c.code) << c.what;
  }
  EXPECT_EQ(IoErrorText(3), "Invalid filename");
}

TEST_F(PosixFileSystemTest, AccessDeniedIsFive) {
  // A file that even the superuser may not write.
  struct stat st;
  if (stat("/sys/kernel/notes", &st) == 0) {
    EXPECT_EQ(OpenError("/sys/kernel/notes", OpenMode::kWriteExisting), 5);
  }
  if (geteuid() == 0) GTEST_SKIP() << "the superuser writes into read-only folders";
  ASSERT_EQ(mkdir(dir_.Native("ro").c_str(), 0555), 0);
  EXPECT_EQ(OpenError(dir_.Core() + "ro\\new.txt", OpenMode::kCreate), 5);
}

TEST_F(PosixFileSystemTest, ErrnoTranslation) {
  const std::pair<int, int> table[] = {
      {ENOENT, 2}, {ENOTDIR, 3}, {EMFILE, 4},   {EACCES, 5},  {EPERM, 5},    {EISDIR, 5},
      {EROFS, 19}, {EBUSY, 32},  {ENOSPC, 112}, {EFBIG, 112}, {EDQUOT, 112}, {EIO, 31},
  };
  for (const auto& [posix_errno, code] : table) {
    EXPECT_EQ(WindowsErrorCode(posix_errno), code) << posix_errno;
  }
}

TEST_F(PosixFileSystemTest, ReadWriteSeekSizeTruncate) {
  auto f = fs_.Open(dir_.Core() + "data.bin", OpenMode::kCreate);
  EXPECT_EQ(f->Write("0123456789", 10).count, 10u);
  EXPECT_EQ(f->Size(), 10);
  EXPECT_EQ(f->Position(), 10);
  f.reset();
  auto rw = fs_.Open(dir_.Core() + "DATA.BIN", OpenMode::kReadWrite);
  EXPECT_EQ(rw->Seek(4), 4);
  char buf[8];
  IoResult r = rw->Read(buf, sizeof buf);
  EXPECT_EQ(r.count, 6u);
  EXPECT_EQ(r.error, 0);
  EXPECT_TRUE(rw->Truncate(3));
  EXPECT_EQ(rw->Size(), 3);
  rw.reset();
  // Writing an existing file starts at its beginning and keeps the rest.
  WriteFile(dir_.Native("w.txt"), "abcdef");
  fs_.Open(dir_.Core() + "w.txt", OpenMode::kWriteExisting)->Write("XY", 2);
  EXPECT_EQ(ReadFile(dir_.Native("w.txt")), "XYcdef");
}

TEST_F(PosixFileSystemTest, FileSizeLimitIsAFullDisk) {
  // In a child, so the limit does not reach the rest of the suite.
  const std::string target = dir_.Core() + "big.bin";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    PosixFileSystem fs;  // ignores SIGXFSZ
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    auto f = fs.Open(target, OpenMode::kCreate);
    std::string block(600, 'x');
    IoResult first = f->Write(block.data(), block.size());
    IoResult second = f->Write(block.data(), block.size());
    IoResult third = f->Write(block.data(), block.size());
    bool ok = first.count == 600 && first.error == 0 && second.count == 400 &&
              second.error == errc::kDiskFull && third.count == 0 && third.error == errc::kDiskFull;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(dir_.Native("big.bin")).size(), 1000u);
}

TEST_F(PosixFileSystemTest, RenameNeverReplacesInAnyCase) {
  WriteFile(dir_.Native("PalData.txt"), "pal");
  WriteFile(dir_.Native("PalData.arh"), "old");
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "PalData.txt", dir_.Core() + "PalData.arh"));
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "paldata.TXT", dir_.Core() + "PALDATA.ARH"));
  EXPECT_EQ(ReadFile(dir_.Native("PalData.arh")), "old");
  EXPECT_EQ(ReadFile(dir_.Native("PalData.txt")), "pal");
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "missing.txt", dir_.Core() + "x.txt"));
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "PalData.txt", dir_.Core() + "nodir\\x.txt"));

  EXPECT_TRUE(fs_.Rename(dir_.Core() + "paldata.txt", dir_.Core() + "HairBase1.txt"));
  EXPECT_EQ(ListNames(dir_.path()), (std::vector<std::string>{"HairBase1.txt", "PalData.arh"}));
  // Another spelling of its own name.
  EXPECT_TRUE(fs_.Rename(dir_.Core() + "hairbase1.txt", dir_.Core() + "HAIRBASE1.TXT"));
  EXPECT_EQ(ListNames(dir_.path()), (std::vector<std::string>{"HAIRBASE1.TXT", "PalData.arh"}));
  EXPECT_EQ(ReadFile(dir_.Native("HAIRBASE1.TXT")), "pal");
}

TEST_F(PosixFileSystemTest, RenameIntoFolderOfAnotherCase) {
  WriteFile(dir_.Native("a.txt"), "a");
  WriteFile(dir_.Native("Sub/B.txt"), "b");
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "a.txt", dir_.Core() + "sub\\b.TXT"));
  EXPECT_TRUE(fs_.Rename(dir_.Core() + "a.txt", dir_.Core() + "sub\\c.txt"));
  EXPECT_EQ(ReadFile(dir_.Native("Sub/c.txt")), "a");
}

TEST_F(PosixFileSystemTest, RenameRefusedWhileAnotherProcessHoldsTheSource) {
  WriteFile(dir_.Native("Partbase.txt"), "base");
  // This process's own descriptors do not count.
  auto own = fs_.Open(dir_.Core() + "Partbase.txt", OpenMode::kRead);

  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    int fd = open(dir_.Native("Partbase.txt").c_str(), O_RDONLY);
    dup2(fd, 0);
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the child is sleeping with the file as its standard input.
  bool held = false;
  for (int i = 0; i < 500 && !held; ++i) {
    held = HeldOpenByOtherProcess(dir_.Native("Partbase.txt"));
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(held);
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "partbase.txt", dir_.Core() + "HairBase1.txt"));
  EXPECT_TRUE(Exists(dir_.Native("Partbase.txt")));

  kill(holder, SIGKILL);
  int status;
  waitpid(holder, &status, 0);
  EXPECT_TRUE(fs_.Rename(dir_.Core() + "partbase.txt", dir_.Core() + "HairBase1.txt"));
  EXPECT_EQ(ReadFile(dir_.Native("HairBase1.txt")), "base");
}

TEST_F(PosixFileSystemTest, DirectoriesAndListing) {
  EXPECT_TRUE(fs_.CreateDirectory(dir_.Core() + "Addition"));
  EXPECT_FALSE(fs_.CreateDirectory(dir_.Core() + "ADDITION"));  // exists in another case
  EXPECT_FALSE(fs_.CreateDirectory(dir_.Core() + "none\\Tattoo"));
  EXPECT_TRUE(fs_.CreateDirectory(dir_.Core() + "addition\\Tattoo"));
  WriteFile(dir_.Native("Addition/.hidden"), "h");
  WriteFile(dir_.Native("Addition/file.psd"), "f");

  std::vector<DirEntry> entries;
  ASSERT_TRUE(fs_.ListDirectory(dir_.Core() + "addition", &entries));
  std::map<std::string, uint32_t> seen;
  for (const DirEntry& e : entries) seen[e.name] = e.attributes;
  EXPECT_EQ(seen, (std::map<std::string, uint32_t>{{".", attr::kDirectory},
                                                   {"..", attr::kDirectory},
                                                   {".hidden", attr::kHidden},
                                                   {"Tattoo", attr::kDirectory},
                                                   {"file.psd", 0}}));
  EXPECT_FALSE(fs_.ListDirectory(dir_.Core() + "nothing", &entries));

  EXPECT_FALSE(fs_.RemoveDirectory(dir_.Core() + "Addition"));  // not empty
  EXPECT_TRUE(fs_.RemoveDirectory(dir_.Core() + "ADDITION\\tattoo"));
  EXPECT_TRUE(fs_.DeleteFile(dir_.Core() + "addition\\FILE.psd"));
  EXPECT_FALSE(fs_.DeleteFile(dir_.Core() + "addition\\FILE.psd"));
}

// Windows-1252 against the locale's UTF-8: each byte one way, each name the other way.
TEST(CodePageTest, Windows1252AndUtf8) {
  const CodePage& page = CodePage::System();
  ASSERT_EQ(page.name(), "CP1252");
  const struct {
    const char* name;    // in the code page ("?" where a character is missing)
    const char* native;  // UTF-8
    bool representable;  // then each turns into the other
  } cases[] = {
      {"caf\xE9.txt", "caf\xC3\xA9.txt", true},           // café
      {"\x80 \x9F", "\xE2\x82\xAC \xC5\xB8", true},       // € Ÿ
      {"??.txt", "\xE6\x97\xA5\xE6\x9C\xAC.txt", false},  // 日本: not in the code page
      {"a?-", "a\xFF-", false},                           // not UTF-8 at all
  };
  for (const auto& c : cases) {
    std::string native, name;
    EXPECT_EQ(page.FromNative(c.native, &name), c.representable) << c.native;
    EXPECT_EQ(name, c.name);
    if (c.representable) {
      EXPECT_TRUE(page.ToNative(c.name, &native)) << c.name;
      EXPECT_EQ(native, c.native);
    }
  }
  std::string undefined;
  EXPECT_FALSE(page.ToNative("a\x81", &undefined));  // a byte Windows-1252 leaves undefined

  // Upper case of every byte: a-z, 0xE0-0xFE but 0xF7, and the four pairs elsewhere.
  for (int b = 0; b < 256; ++b) {
    int upper = b;
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) upper = b - 0x20;
    if (b == 0x9A || b == 0x9C || b == 0x9E) upper = b - 0x10;
    if (b == 0xFF) upper = 0x9F;
    EXPECT_EQ(page.Upper(static_cast<uint8_t>(b)), upper) << std::hex << b;
  }
  // Turkish dotless i is no ASCII letter's twin; a code page of several bytes is no code page.
  ASSERT_NE(CodePage::Named("CP1254"), nullptr);
  EXPECT_EQ(CodePage::Named("CP1254")->Upper(0xFD), 0xFD);
  EXPECT_EQ(CodePage::Named("UTF-8"), nullptr);
  EXPECT_EQ(CodePage::Named("no such page"), nullptr);
}

// Core names in the code page reach the files the locale names, in any letter case.
TEST_F(PosixFileSystemTest, NamesInTheCodePage) {
  WriteFile(dir_.Native("caf\xC3\xA9.txt"), "cafe");  // café.txt
  WriteFile(dir_.Native("\xC3\xBF.txt"), "y");        // ÿ.txt
  WriteFile(dir_.Native("\xE6\x97\xA5.txt"), "sun");  // 日.txt
  EXPECT_EQ(OpenError(dir_.Core() + "CAF\xC9.TXT", OpenMode::kRead), 0);
  EXPECT_TRUE(fs_.FileExists(dir_.Core() + "\x9F.TXT"));
  EXPECT_FALSE(fs_.FileExists(dir_.Core() + "?.txt"));      // the name Windows would show
  EXPECT_FALSE(fs_.FileExists(dir_.Core() + "a\x81.txt"));  // no native name stands for it
  EXPECT_FALSE(fs_.CreateDirectory(dir_.Core() + "a\x81"));

  fs_.Open(dir_.Core() + "Na\xEFve.txt", OpenMode::kCreate);  // naïve.txt
  EXPECT_TRUE(Exists(dir_.Native("Na\xC3\xAFve.txt")));
  EXPECT_TRUE(fs_.Rename(dir_.Core() + "NA\xCFVE.TXT", dir_.Core() + "\xC9t\xE9.txt"));
  EXPECT_TRUE(Exists(dir_.Native("\xC3\x89t\xC3\xA9.txt")));  // Été.txt
  EXPECT_FALSE(fs_.Rename(dir_.Core() + "\xC9t\xE9.txt", dir_.Core() + "CAF\xC9.txt"));

  std::vector<DirEntry> entries;
  ASSERT_TRUE(fs_.ListDirectory(dir_.Core(), &entries));
  std::map<std::string, uint32_t> seen;
  for (const DirEntry& e : entries) seen[e.name] = e.attributes;
  EXPECT_EQ(seen, (std::map<std::string, uint32_t>{{".", attr::kDirectory},
                                                   {"..", attr::kDirectory},
                                                   {"caf\xE9.txt", 0},
                                                   {"\xFF.txt", 0},
                                                   {"\xC9t\xE9.txt", 0},
                                                   {"?.txt", attr::kSystem}}));
}

TEST_F(PosixFileSystemTest, FreeSpaceAndModuleFileName) {
  int64_t free_here = fs_.FreeSpace(dir_.Core());
  EXPECT_GT(free_here, 0);
  // A file that does not exist yet counts on its nearest existing folder.
  EXPECT_GT(fs_.FreeSpace(dir_.Core() + "a\\b\\c.txt"), 0);
  std::string exe = fs_.ModuleFileName();
  EXPECT_NE(exe.find("platform_tests"), std::string::npos) << exe;
  EXPECT_TRUE(fs_.FileExists(exe));
}

}  // namespace
}  // namespace lumora

namespace lumora {
namespace {

// While the folder indexes are held, lookups answer from them: every change of this
// process is in them at once, and a change of another (after the moment a folder is
// trusted) is seen by the folder's new modification time.
TEST_F(PosixFileSystemTest, HeldIndexesSeeEveryChange) {
  WriteFile(dir_.Native("Pics/A.psd"), "a");
  const std::string pics = dir_.Core() + "pics\\";
  const auto outside = [this](const std::function<void()>& change) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    change();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  fs_.HoldFolderIndexes(true);
  EXPECT_TRUE(fs_.FileExists(pics + "a.PSD"));
  EXPECT_FALSE(fs_.FileExists(pics + "b.psd"));
  fs_.Open(pics + "B.psd", OpenMode::kCreateNew);
  EXPECT_TRUE(fs_.FileExists(pics + "b.psd"));
  EXPECT_TRUE(fs_.RenameWritten(pics + "b.PSD", pics + "C.psd"));
  EXPECT_FALSE(fs_.FileExists(pics + "b.psd"));
  EXPECT_TRUE(fs_.FileExists(pics + "c.psd"));
  EXPECT_TRUE(fs_.DeleteFile(pics + "c.PSD"));
  EXPECT_EQ(fs_.Kind(pics + "C.psd"), EntryKind::kNone);
  EXPECT_TRUE(fs_.CreateDirectory(pics + "Sub"));
  EXPECT_EQ(fs_.Kind(pics + "SUB"), EntryKind::kDirectory);
  outside([&] { WriteFile(dir_.Native("Pics/D.psd"), "d"); });
  EXPECT_TRUE(fs_.FileExists(pics + "d.psd"));
  outside([&] { std::remove(dir_.Native("Pics/A.psd").c_str()); });
  EXPECT_FALSE(fs_.FileExists(pics + "a.psd"));
  fs_.HoldFolderIndexes(false);
  WriteFile(dir_.Native("Pics/E.psd"), "e");
  EXPECT_TRUE(fs_.FileExists(pics + "e.psd"));
  EXPECT_EQ(ListNames(dir_.Native("Pics")), (std::vector<std::string>{"D.psd", "E.psd", "Sub"}));
}

// A held index trusts its folder's path only while every folder on it is watched: when a
// folder above it (or the folder itself) is moved away and another made under its name,
// or a link on the path is pointed elsewhere, lookups answer for the new folder at once.
TEST_F(PosixFileSystemTest, HeldIndexesFollowTheirPathWhenAFolderAboveMoves) {
  std::string root;
  const struct {
    const char* what;
    const char* path;  // the folder looked into, below the test folder
    std::function<void()> swap;
  } cases[] = {
      {"the folder above moved away", "Up/Pics",
       [&] {
         rename((root + "Up").c_str(), (root + "Up.old").c_str());
         WriteFile(root + "Up/Pics/New.psd", "n");
       }},
      {"the folder itself moved away", "Up/Pics",
       [&] {
         rename((root + "Up/Pics").c_str(), (root + "Up/Pics.old").c_str());
         WriteFile(root + "Up/Pics/New.psd", "n");
       }},
      {"a link on the path pointed elsewhere", "Link/Pics",
       [&] {
         WriteFile(root + "Other/Pics/New.psd", "n");
         unlink((root + "Link").c_str());
         symlink((root + "Other").c_str(), (root + "Link").c_str());
       }},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = "case" + std::to_string(++n);
    root = dir_.Native(top) + "/";
    WriteFile(root + "Up/Pics/Old.psd", "o");
    ASSERT_EQ(symlink((root + "Up").c_str(), (root + "Link").c_str()), 0);
    const std::string pics = dir_.Core() + top + "\\" + c.path + "\\";
    fs_.HoldFolderIndexes(true);
    EXPECT_TRUE(fs_.FileExists(pics + "old.PSD"));
    EXPECT_FALSE(fs_.FileExists(pics + "new.PSD"));
    c.swap();
    EXPECT_FALSE(fs_.FileExists(pics + "old.PSD"));
    EXPECT_TRUE(fs_.FileExists(pics + "new.PSD"));
    fs_.HoldFolderIndexes(false);
  }
}

// In a child: this process alone in a user namespace of its own, with fewer inotify watches
// than the test folder has folders above it. False when the system allows no namespace.
bool RunOutOfWatches() {
  constexpr const char* kWatches = "2";
  const auto put = [](const char* file, const char* text) {
    const int fd = open(file, O_WRONLY);
    const bool ok = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
    if (fd >= 0) close(fd);
    return ok;
  };
  // Without a mapping for its user and group, the process could make no file.
  return unshare(CLONE_NEWUSER) == 0 && put("/proc/self/uid_map", "0 0 1") &&
         put("/proc/self/setgroups", "deny") && put("/proc/self/gid_map", "0 0 1") &&
         put("/proc/sys/user/max_inotify_watches", kWatches);
}

// A folder looked into through held indexes is moved away by another program, which makes
// one of another letter case in its place: lookups in the old spelling find the new folder
// at once, whether or not every folder on its path can be watched.
TEST_F(PosixFileSystemTest, HeldIndexesFindAFolderRemadeInAnotherCase) {
  enum Outcome { kFound, kOldFolderMissed, kNewFileMissed, kNewFileMisplaced, kNoNamespace };
  const char* const told[] = {"", "the folder's file was not found before the move",
                              "the new folder's file was not found",
                              "a file made in the old spelling went elsewhere", ""};
  const struct {
    const char* what;
    bool link;            // the folder is reached through a symbolic link to its parent
    bool out_of_watches;  // inotify_add_watch fails before the path is watched
  } cases[] = {
      {"every folder on the path watched", false, false},
      {"a symbolic link on the path", true, false},
      {"inotify watches exhausted", false, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = "case" + std::to_string(++n);
    ASSERT_EQ(mkdir(dir_.Native(top).c_str(), 0777), 0);
    if (c.link) {
      ASSERT_EQ(symlink(dir_.Native(top).c_str(), dir_.Native(top + "link").c_str()), 0);
    }
    const std::string base = c.link ? top + "link" : top;
    const std::string root = dir_.Native(base) + "/";
    const std::string core = dir_.Core() + base + "\\";
    WriteFile(root + "D/sub/x.psd", "x");
    // In a child, so that a namespace or a watch limit stays there.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (c.out_of_watches && !RunOutOfWatches()) _exit(kNoNamespace);
      PosixFileSystem fs;
      fs.HoldFolderIndexes(true);
      if (!fs.FileExists(core + "D\\sub\\X.psd")) _exit(kOldFolderMissed);
      rename((root + "D").c_str(), (root + "D2").c_str());
      WriteFile(root + "d/SUB/y.psd", "y");
      if (!fs.FileExists(core + "D\\sub\\Y.psd")) _exit(kNewFileMissed);
      try {
        fs.Open(core + "D\\sub\\z.psd", OpenMode::kCreateNew);
      } catch (const IoError&) {
        _exit(kNewFileMisplaced);
      }
      _exit(Exists(root + "d/SUB/z.psd") ? kFound : kNewFileMisplaced);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kNoNamespace) {
      std::cerr << "[  SKIPPED ] " << c.what << ": no user namespace to limit watches in\n";
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), kFound) << told[std::min(WEXITSTATUS(status), 4)];
  }
}

// Another process creates a file right after one of this process's own changes, in the
// same clock tick as often as not: the held index sees every such file at once, so a
// rename never makes a name beside one that differs only in letter case.
TEST_F(PosixFileSystemTest, HeldIndexesSeeAnotherProcessRacingTheRun) {
  constexpr int kRounds = 200;
  WriteFile(dir_.Native("Race/.keep"), "");
  const std::string race = dir_.Core() + "race\\";
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    close(done[0]);
    char round;
    for (int i = 0; read(go[0], &round, 1) == 1; ++i) {
      const std::string name = dir_.Native("Race/FP" + std::to_string(i) + ".PSD");
      close(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
      if (write(done[1], &round, 1) != 1) break;
    }
    _exit(0);
  }
  close(go[0]);
  close(done[1]);
  fs_.HoldFolderIndexes(true);
  EXPECT_FALSE(fs_.FileExists(race + "fp0.psd"));
  int missed = 0, twins = 0;
  for (int i = 0; i < kRounds; ++i) {
    const std::string mine = race + "mine" + std::to_string(i);
    fs_.Open(mine, OpenMode::kCreateNew);
    char round = 1;
    ASSERT_EQ(write(go[1], &round, 1), 1);
    ASSERT_EQ(read(done[0], &round, 1), 1);
    const std::string theirs = race + "fp" + std::to_string(i) + ".psd";
    if (!fs_.FileExists(theirs)) ++missed;
    if (fs_.RenameWritten(mine, theirs)) ++twins;
  }
  fs_.HoldFolderIndexes(false);
  close(go[1]);
  close(done[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(missed, 0) << "of " << kRounds;
  EXPECT_EQ(twins, 0) << "of " << kRounds;
}

}  // namespace
}  // namespace lumora
