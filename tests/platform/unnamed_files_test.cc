// New files made without a name (O_TMPFILE) until they are linked under their own: what the
// rest of the file layer sees of them meanwhile, names taken by others, the fallback to
// working names, the limit of open descriptors, and what a killed extraction leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "archive/entry_name.h"
#include "archive/self_extractor.h"
#include "archive/writer.h"
#include "platform/errors.h"
#include "platform/posix/posix_platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// True when the file system of the native folder dir makes files without a name.
bool MakesUnnamedFiles(const std::string& dir) {
  const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Runs a shell command; true when it succeeded.
bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Runs body in a child process and returns its exit status (-1 when a signal ended it):
// limits, environment and file systems it changes stay there.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class UnnamedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MakesUnnamedFiles(dir_.path())) GTEST_SKIP() << "no O_TMPFILE on " << dir_.path();
  }

  // Code of the IoError that CreatePending (or, with a mode, Open) throws; 0 when it opens.
  int CreateError(const std::string& path, const OpenMode* mode = nullptr) {
    try {
      if (mode) {
        fs_.Open(path, *mode);
      } else {
        fs_.CreatePending(path);
      }
      return 0;
    } catch (const IoError& e) {
      return e.code();
    }
  }
  std::string Read(const std::string& path) {
    auto f = fs_.Open(path, OpenMode::kRead);
    char buf[64];
    return std::string(buf, f->Read(buf, sizeof buf).count);
  }

  TempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(UnnamedFilesTest, ANewFileHasNoNameUntilItGetsItsOwn) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "folder indexes held" : "no folder indexes");
    const std::string folder = held ? "Held" : "Plain";
    ASSERT_EQ(mkdir(dir_.Native(folder).c_str(), 0777), 0);
    const std::string pics = dir_.Core() + folder + "\\";
    fs_.HoldFolderIndexes(held);
    const std::string working = pics + "~LumoraUpdate.0.tmp";
    ASSERT_EQ(fs_.CreatePending(working)->Write("image", 5).count, 5u);
    // Nothing on the disk has a name for it; this file system knows it by its working name.
    EXPECT_EQ(ListNames(dir_.Native(folder)), std::vector<std::string>{});
    EXPECT_TRUE(fs_.FileExists(working));
    EXPECT_EQ(fs_.Kind(pics + "~lumoraupdate.0.TMP"), EntryKind::kFile);
    EXPECT_EQ(Read(working), "image");
    EXPECT_EQ(CreateError(working), errc::kFileExists);
    const OpenMode create_new = OpenMode::kCreateNew;
    EXPECT_EQ(CreateError(working, &create_new), errc::kFileExists);

    ASSERT_TRUE(fs_.RenameWritten(working, pics + "Fp001.psd"));
    EXPECT_EQ(ListNames(dir_.Native(folder)), std::vector<std::string>{"Fp001.psd"});
    EXPECT_EQ(ReadFile(dir_.Native(folder + "/Fp001.psd")), "image");
    EXPECT_FALSE(fs_.FileExists(working));
    // The name is known at once, in every letter case: a second file may not take it.
    EXPECT_TRUE(fs_.FileExists(pics + "FP001.PSD"));
    const std::string second = pics + "~LumoraUpdate.1.tmp";
    fs_.CreatePending(second)->Write("other", 5);
    EXPECT_FALSE(fs_.RenameWritten(second, pics + "fp001.PSD"));
    EXPECT_TRUE(fs_.DeleteFile(second));
    EXPECT_FALSE(fs_.FileExists(second));
    EXPECT_FALSE(fs_.RenameWritten(second, pics + "Fp002.psd"));
    EXPECT_EQ(ListNames(dir_.Native(folder)), std::vector<std::string>{"Fp001.psd"});
    EXPECT_EQ(ReadFile(dir_.Native(folder + "/Fp001.psd")), "image");
    if (held) fs_.HoldFolderIndexes(false);
  }
}

// Another process takes the name while the file waits for it: the file never replaces
// what stands there, and goes when it is deleted.
TEST_F(UnnamedFilesTest, ANameTakenMeanwhileIsNeverReplaced) {
  const struct {
    const char* what;
    const char* taken;  // the name the other process makes
    bool folder;
  } cases[] = {
      {"the same name", "Fp001.psd", false},
      {"the name in other letters", "FP001.PSD", false},
      {"a folder of the name", "fp001.psd", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = "case" + std::to_string(++n);
    ASSERT_EQ(mkdir(dir_.Native(folder).c_str(), 0777), 0);
    const std::string core = dir_.Core() + folder + "\\";
    const std::string taken = dir_.Native(folder + "/" + c.taken);
    HeldFolderIndexes held(fs_);
    EXPECT_FALSE(fs_.FileExists(core + "fp001.psd"));
    fs_.CreatePending(core + "~LumoraUpdate.0.tmp")->Write("ours", 4);
    ASSERT_EQ(InChild([&] {
                if (c.folder) return mkdir(taken.c_str(), 0777) == 0 ? 0 : 1;
                WriteFile(taken, "theirs");
                return 0;
              }),
              0);
    EXPECT_FALSE(fs_.RenameWritten(core + "~LumoraUpdate.0.tmp", core + "fp001.psd"));
    EXPECT_TRUE(fs_.DeleteFile(core + "~LumoraUpdate.0.tmp"));
    EXPECT_EQ(ListNames(dir_.Native(folder)), std::vector<std::string>{c.taken});
    if (!c.folder) {
      EXPECT_EQ(ReadFile(taken), "theirs");
    }
  }
}

// What stands under a working name (left by a run cut short where files had working
// names, or put there by anyone) takes it, as for a create under that name.
TEST_F(UnnamedFilesTest, AWorkingNameThatStandsIsTaken) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> lay;
  } cases[] = {
      {"a file", [](const std::string& at) { WriteFile(at, "half"); }},
      {"a file in other letters",
       [](const std::string& at) {
         WriteFile(at.substr(0, at.rfind('/')) + "/~LUMORAUPDATE.0.TMP", "half");
       }},
      {"a folder", [](const std::string& at) { ASSERT_EQ(mkdir(at.c_str(), 0777), 0); }},
      {"a dangling link",
       [](const std::string& at) { ASSERT_EQ(symlink("nowhere", at.c_str()), 0); }},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = "case" + std::to_string(++n);
    ASSERT_EQ(mkdir(dir_.Native(folder).c_str(), 0777), 0);
    c.lay(dir_.Native(folder + "/~LumoraUpdate.0.tmp"));
    EXPECT_EQ(CreateError(dir_.Core() + folder + "\\~LumoraUpdate.0.tmp"), errc::kFileExists);
  }
  // A file there is deleted, and the name is free again.
  EXPECT_TRUE(fs_.DeleteFile(dir_.Core() + "case1\\~LumoraUpdate.0.tmp"));
  EXPECT_EQ(CreateError(dir_.Core() + "case1\\~LumoraUpdate.0.tmp"), 0);
  EXPECT_EQ(ListNames(dir_.Native("case1")), std::vector<std::string>{});
}

TEST_F(UnnamedFilesTest, WithoutThemNewFilesStandUnderTheirWorkingNames) {
  ASSERT_EQ(InChild([&] {
              setenv("LUMORA_NO_TMPFILE", "1", 1);
              PosixFileSystem fs;
              fs.CreatePending(dir_.Core() + "~LumoraUpdate.0.tmp")->Write("x", 1);
              if (!Exists(dir_.Native("~LumoraUpdate.0.tmp"))) return 1;
              if (!fs.RenameWritten(dir_.Core() + "~LumoraUpdate.0.tmp", dir_.Core() + "a.psd")) {
                return 2;
              }
              return ListNames(dir_.path()) == std::vector<std::string>{"a.psd"} ? 0 : 3;
            }),
            0);
}

// The soft limit of open descriptors is raised to the hard one (and programs started
// meanwhile get the soft limit back); where few descriptors are left, new files beyond
// them are made under their names.
TEST_F(UnnamedFilesTest, NewFilesBeyondTheFreeDescriptorsStandUnderTheirNames) {
  const std::string limit_file = dir_.Native("limit.txt");
  const int status = InChild([&] {
    struct rlimit limit = {256, 4096};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    {
      PosixFileSystem fs;
      if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur != 4096) return 11;
      auto shell = PosixProcesses().Start("sh -c \"ulimit -Sn > " + limit_file + "\"");
      if (!shell || !shell->WaitFor(10000) || ReadFile(limit_file) != "256\n") return 12;
      if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur != 4096) return 13;
    }
    limit = {200, 200};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 14;
    PosixFileSystem fs;
    const int most = fs.MaxPendingFiles();
    if (most < 1 || most > 200 - 64) return 15;
    for (int i = 0; i < most + 3; ++i) {
      fs.CreatePending(dir_.Core() + "~LumoraUpdate." + std::to_string(i) + ".tmp");
    }
    const size_t named = ListNames(dir_.path()).size();  // limit.txt, and the files beyond
    return named == 4 ? 0 : 16;
  });
  EXPECT_EQ(status, 0);
}

// A file system made for one case below: its native folder, or the reason it cannot be had.
struct Place {
  const char* what;
  bool unnamed;  // new files are made without a name there
  std::function<bool(const std::string& scratch, std::string* dir, std::string* why)> make;
  std::function<void(const std::string& dir)> drop;
};

// Writes an updater of a folder and count small files to native and returns its start
// offset.
int64_t WriteSmallUpdater(const std::string& native, int count) {
  struct Sink : ByteSink {
    bool Write(const uint8_t* data, size_t n) override {
      bytes.append(reinterpret_cast<const char*>(data), n);
      return true;
    }
    std::string bytes = std::string(1000, 'I');  // the image
  } sink;
  ArchiveWriter writer(sink, ClearPolicy::kAdaptive);
  writer.Begin();
  writer.AddDirectory("Pics\\");
  for (int i = 0; i < count; ++i) {
    writer.AddFile("Pics\\f" + std::to_string(i) + ".psd",
                   std::string(500 + i, static_cast<char>('a' + i % 26)));
  }
  writer.Finish(true);
  WriteFile(native, sink.bytes);
  return 1001;
}

// An extraction killed halfway leaves no name on the disk for the files it wrote, where
// they had none; elsewhere they stand under their working names, for a repair to remove.
TEST_F(UnnamedFilesTest, AKilledExtractionLeavesNoWorkingNames) {
  constexpr int kFiles = 40, kKilledAt = 30;  // entries, the folder's first
  const std::string updater = dir_.Native("update");
  const int64_t offset = WriteSmallUpdater(updater, kFiles);
  const Place places[] = {
      {"the test folder's file system", true,
       [](const std::string& scratch, std::string* dir, std::string*) {
         *dir = scratch + "/here";
         return mkdir(dir->c_str(), 0777) == 0;
       },
       [](const std::string&) {}},
      {"tmpfs", true,
       [](const std::string&, std::string* dir, std::string* why) {
         struct statfs st;
         *why = "no tmpfs at /dev/shm";
         if (statfs("/dev/shm", &st) != 0 || st.f_type != 0x01021994) return false;
         char name[] = "/dev/shm/lumora-test-XXXXXX";
         if (!mkdtemp(name)) return false;
         *dir = name;
         return true;
       },
       [](const std::string& dir) { Shell("rm -rf '" + dir + "'"); }},
      {"FAT through FUSE", false,
       [](const std::string& scratch, std::string* dir, std::string* why) {
         *why = "needs root, /dev/fuse, mkfs.vfat and fusefat";
         *dir = scratch + "/fat";
         const std::string image = scratch + "/fat.img";
         return getuid() == 0 && access("/dev/fuse", F_OK) == 0 && mkdir(dir->c_str(), 0777) == 0 &&
                Shell("truncate -s 64M '" + image + "' && mkfs.vfat -F 32 '" + image +
                      "' >/dev/null 2>&1 && fusefat -o rw+ '" + image + "' '" + *dir +
                      "' >/dev/null 2>&1");
       },
       [](const std::string& dir) { Shell("umount '" + dir + "'"); }},
  };
  for (const Place& place : places) {
    SCOPED_TRACE(place.what);
    std::string dir, why;
    if (!place.make(dir_.path(), &dir, &why)) {
      std::cerr << "[  SKIPPED ] " << place.what << ": " << why << "\n";
      continue;
    }
    EXPECT_EQ(MakesUnnamedFiles(dir), place.unnamed);
    const int status = InChild([&] {
      PosixFileSystem fs;
      SelfExtractor extractor(fs, nullptr);
      extractor.extractDir = dir + "\\";
      extractor.SetArchive(updater, offset);
      int entries = 0;
      extractor.on_entry = [&](const std::string&, bool) {
        if (++entries == kKilledAt) raise(SIGKILL);
      };
      extractor.Selfextract();
      return 0;
    });
    EXPECT_EQ(status, -1) << "the extraction was not killed";
    const std::vector<std::string> left = ListNames(dir + "/Pics");
    if (place.unnamed) {
      EXPECT_EQ(left, std::vector<std::string>{});
    } else {
      EXPECT_EQ(left.size(), static_cast<size_t>(kKilledAt - 2));
      EXPECT_TRUE(std::all_of(left.begin(), left.end(), IsWorkingName));
    }
    place.drop(dir);
  }
}

}  // namespace
}  // namespace lumora
