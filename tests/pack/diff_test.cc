// The diff's part base and data file: what goes into the update, and what it cannot give.
#include "pack/diff.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "testing/test_util.h"

namespace lumora::pack {
namespace {

using lumora::testing::ReadFile;
using lumora::testing::TempDir;
using lumora::testing::WriteFile;

struct Release {
  std::string part_base, pal_data;
};

struct DiffCase {
  const char* what;
  Release old_release, new_release;
  std::string part_base;  // the update's partbase.txt, "-" for none
  std::string pal_data;   // the update's PalData.txt, "-" for none
  std::string findings;   // "code:line" of each, errors upper-cased
};

std::string Member(const Diff& diff, const std::string& name) {
  for (const PackedEntry& e : diff.entries) {
    if (e.name == name) return ReadFile(e.source.string());
  }
  return "-";
}

std::string Summary(const Diff& diff) {
  std::string s;
  for (const Finding& f : diff.findings) {
    std::string code = f.code;
    if (f.severity == Severity::kError) {
      for (char& c : code) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    s += (s.empty() ? "" : " ") + code + ":" + std::to_string(f.line);
  }
  return s;
}

TEST(DiffTest, PartBaseAndDataFileHoldWhatTheMergeMakesNew) {
  const std::string a = "1; 0; 0;a.psd;a;\r\n", b = "2; 0; 0;b.psd;b;\r\n",
                    c = "3; 0; 0;c.psd;c;\r\n", p1 = "pal 1\r\n", p2 = "pal 2\r\n";
  const DiffCase cases[] = {
      {"records and data lines appended", {a, p1}, {a + b + c, p1 + p2}, b + c, p2, ""},
      {"nothing new", {a, p1}, {a, p1}, "-", "-", ""},
      {"a comment goes with the record before it",
       {a, p1},
       {a + b + "# about b\r\n" + c, p1},
       b + "# about b\r\n" + c,
       "-",
       ""},
      {"a comment before the first new record: kept, and every run appends it again",
       {a, p1},
       {a + "# new\r\n" + b, p1},
       "# new\r\n" + b,
       "-",
       "comment-first:2"},
      {"a comment after an old record is no update's to give",
       {a + b, p1},
       {a + "# late\r\n" + b + c, p1},
       c,
       "-",
       "part-base-differs:2"},
      {"a new record between old ones lands at the end",
       {a + c, p1},
       {a + b + c, p1},
       b,
       "-",
       "part-base-differs:2"},
      {"a record removed",
       {a + b, p1},
       {a + c, p1},
       c,
       "-",
       "RECORD-MISSING:2 part-base-differs:2"},
      {"a new record whose image path an old line holds",
       {a, p1},
       {a + "9; 9; 9;A.PSD;again;\r\n", p1},
       "-",
       "-",
       "RECORD-HELD:2 part-base-differs:2"},
      {"an old comment naming the image path hides nothing",
       {"#a.psd\r\n", p1},
       {"#a.psd\r\n" + a, p1},
       a,
       "-",
       ""},
      {"OLD's last line without its end", {"1; 0; 0;a.psd;a;", p1}, {a + b, p1}, b, "-", ""},
      {"NEW's last record without its end",
       {a, p1},
       {a + "2; 0; 0;b.psd;b;", p1},
       b,
       "-",
       "part-base-differs:2"},
      {"a data line changed", {a, p1 + p2}, {a, p2 + p1}, "-", "-", "DATA-CHANGED:1"},
      {"OLD's last data line ended by the merge", {a, "pal 1"}, {a, p1 + p2}, "-", p2, ""},
      {"OLD's last data line continued",
       {a, "pal 1"},
       {a, "pal 10\r\n"},
       "-",
       "-",
       "DATA-CHANGED:1"},
  };
  std::string error;
  const std::unique_ptr<NameCodec> names = OpenNames("CP1252", &error);
  ASSERT_TRUE(names) << error;
  for (const DiffCase& c : cases) {
    TempDir dir;
    std::filesystem::create_directories(dir.Native("old"));
    std::filesystem::create_directories(dir.Native("new"));
    WriteFile(dir.Native("old/Partbase.txt"), c.old_release.part_base);
    WriteFile(dir.Native("old/PalData.txt"), c.old_release.pal_data);
    WriteFile(dir.Native("new/PARTBASE.TXT"), c.new_release.part_base);
    WriteFile(dir.Native("new/PalData.txt"), c.new_release.pal_data);
    StagingFolder staging;
    const Diff diff = MakeDiff(*names, {dir.Native("old"), dir.Native("new"), false}, staging);
    EXPECT_EQ(Member(diff, "partbase.txt"), c.part_base) << c.what;
    EXPECT_EQ(Member(diff, "PalData.txt"), c.pal_data) << c.what;
    EXPECT_EQ(Summary(diff), c.findings) << c.what;
  }
}

TEST(DiffTest, StagingFolderGoesWithItsFiles) {
  std::filesystem::path folder;
  {
    StagingFolder staging;
    folder = staging.Write("x.txt", "x").parent_path();
    EXPECT_TRUE(std::filesystem::exists(folder / "x.txt"));
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace lumora::pack
