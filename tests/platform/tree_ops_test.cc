#include "archive/tree_ops.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class DeleteExtractFilesTest : public ::testing::Test {
 protected:
  std::string Core(const std::string& relative) const {
    std::string p = dir_.Core() + relative;
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return p;
  }

  TempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(DeleteExtractFilesTest, NestedTreeIsRemovedCompletely) {
  WriteFile(dir_.Native("Extract/a.txt"), "a");
  WriteFile(dir_.Native("Extract/Addition/Tattoo/fp001.psd"), "p");
  WriteFile(dir_.Native("Extract/Addition/Tattoo/fp002.psd"), "p");
  WriteFile(dir_.Native("Extract/Addition/b.txt"), "b");
  ASSERT_TRUE(fs_.CreateDirectory(Core("Extract/Empty")));
  WriteFile(dir_.Native("Beside.txt"), "stays");

  DeleteExtractFiles(fs_, Core("Extract"));
  EXPECT_EQ(ListNames(dir_.path()), std::vector<std::string>{"Beside.txt"});
}

TEST_F(DeleteExtractFilesTest, HiddenEntriesStayWithEverythingAboveThem) {
  WriteFile(dir_.Native("Extract/a.txt"), "a");
  WriteFile(dir_.Native("Extract/Keep/Deep/.hidden"), "h");
  WriteFile(dir_.Native("Extract/Keep/Deep/gone.txt"), "g");
  WriteFile(dir_.Native("Extract/Keep/gone.txt"), "g");
  WriteFile(dir_.Native("Extract/.cache/inner/file.txt"), "c");
  WriteFile(dir_.Native("Extract/Other/x.txt"), "x");

  DeleteExtractFiles(fs_, Core("Extract"));
  EXPECT_EQ(ListNames(dir_.Native("Extract")), (std::vector<std::string>{".cache", "Keep"}));
  EXPECT_EQ(ListNames(dir_.Native("Extract/Keep")), std::vector<std::string>{"Deep"});
  EXPECT_EQ(ListNames(dir_.Native("Extract/Keep/Deep")), std::vector<std::string>{".hidden"});
  // A hidden folder is never entered: it stays whole.
  EXPECT_TRUE(Exists(dir_.Native("Extract/.cache/inner/file.txt")));
}

TEST_F(DeleteExtractFilesTest, MissingDirectoryChangesNothing) {
  WriteFile(dir_.Native("Other/a.txt"), "a");
  DeleteExtractFiles(fs_, Core("Nothing"));
  EXPECT_EQ(ListNames(dir_.path()), std::vector<std::string>{"Other"});
  EXPECT_TRUE(Exists(dir_.Native("Other/a.txt")));
}

TEST_F(DeleteExtractFilesTest, SymbolicLinkToAFolderIsRemovedNotFollowed) {
  WriteFile(dir_.Native("Outside/precious.txt"), "keep");
  WriteFile(dir_.Native("Extract/a.txt"), "a");
  ASSERT_EQ(symlink(dir_.Native("Outside").c_str(), dir_.Native("Extract/link").c_str()), 0);
  DeleteExtractFiles(fs_, Core("Extract"));
  EXPECT_FALSE(Exists(dir_.Native("Extract")));
  EXPECT_TRUE(Exists(dir_.Native("Outside/precious.txt")));
}

// A name with a backslash in it reads as several components to the core: "..\victim"
// would name a file above the tree, and "link\x" a file through a link. The walk passes
// such names by; what lies outside stays.
TEST_F(DeleteExtractFilesTest, NamesWithABackslashAreLeftAlone) {
  WriteFile(dir_.Native("victim"), "keep");
  WriteFile(dir_.Native("Outside/x"), "keep");
  WriteFile(dir_.Native("Extract/..\\victim"), "odd");
  WriteFile(dir_.Native("Extract/Sub/link\\x"), "odd");
  ASSERT_EQ(symlink(dir_.Native("Outside").c_str(), dir_.Native("Extract/Sub/link").c_str()), 0);
  DeleteExtractFiles(fs_, Core("Extract"));
  EXPECT_EQ(ReadFile(dir_.Native("victim")), "keep");
  EXPECT_EQ(ReadFile(dir_.Native("Outside/x")), "keep");
  EXPECT_EQ(ListNames(dir_.Native("Extract")), (std::vector<std::string>{"..\\victim", "Sub"}));
  EXPECT_EQ(ListNames(dir_.Native("Extract/Sub")), std::vector<std::string>{"link\\x"});
}

}  // namespace
}  // namespace lumora
