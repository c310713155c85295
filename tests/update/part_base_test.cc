#include "update/part_base.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "update/text_file.h"
#include "update_fixture.h"

namespace lumora::testing {
namespace {

TEST(BasicIndexTest, FormsOfTheFirstField) {
  struct Case {
    const char* line;
    bool valid;
  };
  const Case cases[] = {
      {"12;a;b;", true},
      {"   12;a;", true},
      {"-3;x;", true},
      {"+7;x;", true},
      {"$0A;x;", true},
      {"$0a;x;", true},
      {"12", true},
      {"12 ;x;", false},
      {";x;", false},
      {"x1;x;", false},
      {"1.5;x;", false},
      {"2147483647;", true},
      {"2147483648;", false},
      {"-2147483648;", true},
      {"-2147483649;", false},
      {"+2147483647;", true},
      {"00000000000000000000012;", true},
      {"99999999999999999999999;", false},
      {"$FFFFFFFF;", true},
      {"$100000000;", false},
      {"$000000001;", true},
      {"$0000000000000000FFFFFFFF;", true},
      {" ;", false},
      {"   ", false},
      {"+;", false},
      {"-;", false},
      {"$;", false},
      {" $;", false},
      {"-$1;", false},
      {"+$1;", false},
      {"$G;", false},
      {"\t12;", false},
      {"1 2;", false},
      {"- 1;", false},
      {" -0;", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidBasicIndex(BasicIndexText(c.line)), c.valid) << '"' << c.line << '"';
  }
}

TEST(PartBaseLineTest, CommentLinesAndDuplicateKeys) {
  EXPECT_TRUE(IsCommentLine(""));
  EXPECT_TRUE(IsCommentLine("# 10 - Addition"));
  EXPECT_TRUE(IsCommentLine("\nx"));
  EXPECT_FALSE(IsCommentLine(" # not a comment"));
  EXPECT_FALSE(IsCommentLine("10; -129; -120;addition\\Tattoo\\ba045.psd;tattoo #1;"));

  EXPECT_EQ(DuplicateKey("10; -129; -120;addition\\Tattoo\\ba045.psd;tattoo #1;"),
            "ADDITION\\TATTOO\\BA045.PSD");
  EXPECT_EQ(DuplicateKey("10;1;2;\xe4x.psd;n;"), "\xe4X.PSD");  // only a-z change
  EXPECT_EQ(DuplicateKey("10;1;2;path-without-end"), "");
  EXPECT_EQ(DuplicateKey("10;1;2"), "");
  EXPECT_EQ(DuplicateKey("10;1;2;;name;"), "");
  EXPECT_EQ(UpperCase("aZ\xfa{z}"), "AZ\xfa{Z}");
}

class PartBaseTest : public UpdateFixture {
 protected:
  PartBaseTest() : base_(*platform_.files, *app_, Dir()) {}

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : app_->ShownMessages()) texts.push_back(m.text);
    return texts;
  }

  // Lays out the directory as it stands after extraction: the installed part base under its
  // working name, its working copy, and the archive's new part base.
  void LayOutMerge(const std::string& installed, const std::string& fresh) {
    WriteFile(At("HairBase1.txt"), installed);
    WriteFile(At("HairBase4Check.txt"), installed);
    WriteFile(At("partbase.txt"), fresh);
  }

  PartBaseFiles base_;
};

const std::vector<std::string> kInstalled = {
    "# 10 - Addition",
    "10; -1; -2;addition\\Tattoo\\old1.psd;old one;",
    "",
    "10; -1; -2;addition\\Tattoo\\old2.psd;old two;",
};

TEST_F(PartBaseTest, CheckCopiesLineByLineThenAcceptsValidIndexes) {
  // A last line without a line end and a lone CR line end both come out as CR LF.
  WriteFile(At("Partbase.txt"), "# head\r\n 12;a;\r$0A;b;\r\n\r\n-3");
  EXPECT_TRUE(base_.CheckPartBase());
  EXPECT_EQ(ReadFile(At("HairBase4Check.txt")), CrLf({"# head", " 12;a;", "$0A;b;", "", "-3"}));
  EXPECT_TRUE(app_->ShownMessages().empty());
  EXPECT_EQ(app_->PumpCount(), 10);  // one per line read, in both loops
}

TEST_F(PartBaseTest, CheckStopsAtBadIndexAndLeavesTheWholeCopy) {
  WriteFile(At("Partbase.txt"), CrLf({"1;a;", "12 ;bad;", "# #x;", "3;c;"}));
  WriteFile(At("HairBase4Check.txt"), "left from an earlier run, longer than the new copy...");
  EXPECT_FALSE(base_.CheckPartBase());
  EXPECT_EQ(Texts(), std::vector<std::string>{"Bad file PARTBASE.TXT. Basic index error."});
  EXPECT_EQ(app_->ShownMessages()[0].kind, MessageKind::Error);
  EXPECT_EQ(ReadFile(At("HairBase4Check.txt")), CrLf({"1;a;", "12 ;bad;", "# #x;", "3;c;"}));
}

TEST_F(PartBaseTest, CheckPassesOverCommentLinesWhateverFollows) {
  WriteFile(At("Partbase.txt"), CrLf({"#;;;", "", "# x1;", "5;ok;"}));
  EXPECT_TRUE(base_.CheckPartBase());
}

TEST_F(PartBaseTest, CheckWithoutPartBaseIsAnIoError) {
  EXPECT_THROW(base_.CheckPartBase(), IoError);
  EXPECT_FALSE(Exists(At("HairBase4Check.txt")));
}

TEST_F(PartBaseTest, MergeAppendsNewRecordsAndCommentsShareTheirRecordsFate) {
  LayOutMerge(
      CrLf(kInstalled),
      CrLf({"# 10 - Addition", "# new tattoos", "10; -1; -2;ADDITION\\tattoo\\OLD2.PSD;dropped;",
            "# follows dropped", "10; 0; 0;addition\\Tattoo\\new1.psd;kept;", "# follows kept", "",
            "10; 0; 0;noimagepath;", "10; 0; 0;addition\\Tattoo\\new1.psd;again;"}));
  ASSERT_TRUE(base_.MergePartBase());
  EXPECT_EQ(ReadFile(At("Partbase.txt")),
            CrLf(kInstalled) +
                CrLf({"# 10 - Addition", "# new tattoos",
                      "10; 0; 0;addition\\Tattoo\\new1.psd;kept;", "# follows kept", "",
                      "10; 0; 0;noimagepath;", "10; 0; 0;addition\\Tattoo\\new1.psd;again;"}));
  EXPECT_TRUE(base_.duplicatesFound);
  EXPECT_TRUE(Exists(At("HairBase2.txt")));
  EXPECT_FALSE(Exists(At("HairBase1.txt")));
  EXPECT_TRUE(app_->ShownMessages().empty());
}

TEST_F(PartBaseTest, MergeLooksOnlyPastLinesThatBeginWithHash) {
  // The key stands in a '#' line (passed over) and in a record whose image differs but
  // whose name holds the key (found: any line but a '#' one counts).
  LayOutMerge(CrLf({"# a\\b.psd", "1;0;0;x.psd;see A\\C.PSD here;"}),
              CrLf({"1;0;0;a\\b.psd;n;", "1;0;0;a\\c.psd;n;"}));
  ASSERT_TRUE(base_.MergePartBase());
  EXPECT_EQ(ReadFile(At("Partbase.txt")),
            CrLf({"# a\\b.psd", "1;0;0;x.psd;see A\\C.PSD here;", "1;0;0;a\\b.psd;n;"}));
  EXPECT_TRUE(base_.duplicatesFound);
}

TEST_F(PartBaseTest, MergeWithoutRecordsAppendsEverythingAndNeverOpensTheWorkingCopy) {
  LayOutMerge(CrLf(kInstalled), CrLf({"# only", "", "# comments"}));
  ASSERT_TRUE(platform_.files->DeleteFile(Dir() + "HairBase4Check.txt"));
  ASSERT_TRUE(base_.MergePartBase());
  EXPECT_EQ(ReadFile(At("Partbase.txt")), CrLf(kInstalled) + CrLf({"# only", "", "# comments"}));
  EXPECT_FALSE(base_.duplicatesFound);
}

TEST_F(PartBaseTest, MergeAppendsOnItsOwnLineAfterAnUnendedLastLine) {
  LayOutMerge("1;0;0;a.psd;n;", CrLf({"2;0;0;b.psd;n;"}));
  ASSERT_TRUE(base_.MergePartBase());
  EXPECT_EQ(ReadFile(At("Partbase.txt")), CrLf({"1;0;0;a.psd;n;", "2;0;0;b.psd;n;"}));
}

TEST_F(PartBaseTest, MergeRenameFailuresStopWithTheFileMessage) {
  // A left "HairBase2.txt" takes the name of the first rename.
  LayOutMerge(CrLf(kInstalled), CrLf({"2;0;0;b.psd;n;"}));
  WriteFile(At("HairBase2.txt"), "left");
  auto before = Snapshot(install_.path());
  EXPECT_FALSE(base_.MergePartBase());
  EXPECT_EQ(Snapshot(install_.path()), before);
  EXPECT_EQ(Texts(), std::vector<std::string>{partbase::kFileErrorText});

  // Without "HairBase1.txt" the second rename fails after the first one was made.
  ASSERT_TRUE(platform_.files->DeleteFile(Dir() + "HairBase2.txt"));
  ASSERT_TRUE(platform_.files->DeleteFile(Dir() + "HairBase1.txt"));
  EXPECT_FALSE(base_.MergePartBase());
  EXPECT_EQ(ReadFile(At("HairBase2.txt")), CrLf({"2;0;0;b.psd;n;"}));
  EXPECT_FALSE(Exists(At("partbase.txt")));
  EXPECT_EQ(app_->ShownMessages().size(), 2u);
}

TEST_F(PartBaseTest, MergePalDataAppendsEveryLineAndTakesTheNameBack) {
  WriteFile(At("PalData.arh"), "p1\r\np2");
  WriteFile(At("PalData.txt"), "# n1\r\n\r\nn3\n");
  ASSERT_TRUE(base_.MergePalData());
  EXPECT_EQ(ReadFile(At("PalData.txt")), "p1\r\np2\r\n# n1\r\n\r\nn3\n\r\n");
  EXPECT_EQ(ListNames(install_.path()), std::vector<std::string>{"PalData.txt"});
}

TEST_F(PartBaseTest, RestoreDeletesWorkingFilesAndGivesNamesBack) {
  struct Case {
    std::vector<std::string> before;
    std::vector<std::string> after;
    bool ok;
  };
  const std::vector<Case> cases = {
      {{"HairBase4Check.txt", "HairBase2.txt", "Partbase.txt", "PalData.arh"},
       {"PalData.txt", "Partbase.txt"},
       true},
      {{"HairBase1.txt", "PalData.txt"}, {"PalData.txt", "Partbase.txt"}, true},
      // Both names taken: the working names stay, nothing is reported.
      {{"HairBase1.txt", "Partbase.txt", "PalData.txt", "PalData.arh"},
       {"HairBase1.txt", "PalData.arh", "PalData.txt", "Partbase.txt"},
       true},
      {{}, {}, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    for (const auto& name : c.before) WriteFile(dir.Native(name), name);
    PartBaseFiles base(*platform_.files, *app_, dir.Core());
    EXPECT_EQ(base.RestoreBaseFiles(), c.ok);
    EXPECT_EQ(ListNames(dir.path()), c.after);
  }
  EXPECT_TRUE(app_->ShownMessages().empty());
}

// The merge as a straight reading of its rules: the working copy is searched from its
// start for every record of the new part base.
std::string NaiveMerge(FileSystem& files, const TempDir& tmp, bool* duplicates) {
  const std::string dir = tmp.Core();
  TextWriter out = TextWriter::Append(files, dir + "Partbase.txt");
  TextReader fresh(files, dir + "HairBase2.txt");
  bool keep = true;
  std::string line, w;
  while (fresh.ReadLine(&line)) {
    if (!IsCommentLine(line)) {
      const std::string key = DuplicateKey(line);
      keep = true;
      TextReader copy(files, dir + "HairBase4Check.txt");
      while (keep && copy.ReadLine(&w)) {
        if (!w.empty() && w[0] == '#') continue;
        if (!key.empty() && UpperCase(w).find(key) != std::string::npos) {
          keep = false;
          *duplicates = true;
        }
      }
    }
    if (keep) out.WriteLine(line);
  }
  out.Close();
  return ReadFile(tmp.Native("Partbase.txt"));
}

TEST_F(PartBaseTest, DuplicateCheckAgreesWithASearchPerRecord) {
  std::mt19937 rng(12345);
  // A tiny alphabet makes keys that overlap, nest and repeat inside each other.
  auto word = [&](int max_len) {
    static const char kChars[] = "abAB\\.;";
    std::string s;
    int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_len));
    for (int i = 0; i < n; ++i) s += kChars[rng() % 7];
    return s;
  };
  auto make_lines = [&](int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
      switch (rng() % 8) {
        case 0:
          lines.push_back("#" + word(6));
          break;
        case 1:
          lines.push_back("");
          break;
        case 2:
          lines.push_back(word(12));  // no fourth ';': no key, or a stray one
          break;
        default:
          lines.push_back("1;0;0;" + word(5) + ";" + word(4) + ";");
      }
    }
    return lines;
  };
  for (int round = 0; round < 40; ++round) {
    const std::string installed = CrLf(make_lines(1 + round * 3));
    const std::string fresh = CrLf(make_lines(1 + round * 2));
    TempDir a, b;
    for (TempDir* d : {&a, &b}) {
      WriteFile(d->Native("HairBase1.txt"), installed);
      WriteFile(d->Native("HairBase4Check.txt"), installed);
      WriteFile(d->Native("Partbase.txt"), fresh);
    }
    PartBaseFiles fast(*platform_.files, *app_, a.Core());
    ASSERT_TRUE(fast.MergePartBase());
    ASSERT_TRUE(platform_.files->Rename(b.Core() + "Partbase.txt", b.Core() + "HairBase2.txt"));
    ASSERT_TRUE(platform_.files->Rename(b.Core() + "HairBase1.txt", b.Core() + "Partbase.txt"));
    bool naive_duplicates = false;
    const std::string expected = NaiveMerge(*platform_.files, b, &naive_duplicates);
    ASSERT_EQ(ReadFile(a.Native("Partbase.txt")), expected) << "round " << round;
    ASSERT_EQ(fast.duplicatesFound, naive_duplicates) << "round " << round;
  }
}

}  // namespace
}  // namespace lumora::testing
