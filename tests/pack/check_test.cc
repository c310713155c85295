// The packer's check: texts read and appended as the updater does, and the names of an
// archive that the updater refuses or takes for one another.
#include "pack/check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pack/part_text.h"

namespace lumora::pack {
namespace {

std::unique_ptr<NameCodec> Cp1252() {
  std::string error;
  std::unique_ptr<NameCodec> names = OpenNames("CP1252", &error);
  EXPECT_TRUE(names) << error;
  return names;
}

// "code@entry" of each finding, errors upper-cased ("NAME-TWIN@A.TXT").
std::string Summary(const std::vector<Finding>& findings) {
  std::string s;
  for (const Finding& f : findings) {
    std::string code = f.code;
    if (f.severity == Severity::kError) {
      for (char& c : code) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    s += (s.empty() ? "" : " ") + code + "@" + f.entry +
         (f.line ? ":" + std::to_string(f.line) : "");
  }
  return s;
}

struct AppendCase {
  const char* what;
  std::string installed;
  std::vector<std::string> lines;
  std::string after;
};

TEST(PartTextTest, AppendedTextIsWhatTheMergeLeaves) {
  const AppendCase cases[] = {
      {"ends in CR LF", "a\r\n", {"b"}, "a\r\nb\r\n"},
      {"ends in a CR alone", "a\r", {"b"}, "a\rb\r\n"},
      {"no last line end: CR LF first", "a", {"b"}, "a\r\nb\r\n"},
      {"an LF alone is no line end", "a\n", {"b"}, "a\n\r\nb\r\n"},
      {"empty file", "", {"b", ""}, "b\r\n\r\n"},
      {"0x1A in the tail cuts", "a\r\n\x1A\x1A", {"b"}, "a\r\nb\r\n"},
      {"0x1A cuts even with nothing appended", "a\r\n\x1Ajunk", {}, "a\r\n"},
      {"nothing appended keeps a missing line end", "a", {}, "a"},
      {"0x1A before the last 128 bytes stays",
       "\x1A" + std::string(128, 'x'),
       {},
       "\x1A" + std::string(128, 'x')},
  };
  for (const AppendCase& c : cases) {
    EXPECT_EQ(AppendedText(c.installed, c.lines), c.after) << c.what;
  }
}

TEST(PartTextTest, UpdaterLinesEndOnlyAtCrOrTheTextsEnd) {
  EXPECT_EQ(UpdaterLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b\nc", "d"}));
  EXPECT_EQ(UpdaterLines("a\r\n\x1A"
                         "b\r\n"),
            (std::vector<std::string>{"a"}));
  EXPECT_EQ(UpdaterLines("\r\n\r\n"), (std::vector<std::string>{"", ""}));
  int64_t eof = 0;
  const std::vector<EditorLine> lines = EditorLines("a\r\nb\nc\rd", &eof);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].text, "b");
  EXPECT_EQ(lines[1].end, EditorLine::kLf);
  EXPECT_EQ(lines[2].end, EditorLine::kCr);
  EXPECT_EQ(lines[3].end, EditorLine::kNone);
  EXPECT_EQ(eof, -1);
}

struct NamesCase {
  const char* what;
  std::vector<std::string> entries;  // a trailing '\' makes a folder
  std::string findings;
};

TEST(ArchiveCheckTest, NamesTheUpdaterRefusesOrTakesForOneAnother) {
  const NamesCase cases[] = {
      {"sound", {"Pics\\", "Pics\\a.psd", "Pics\\Sub\\", "Pics\\Sub\\b.psd"}, ""},
      {"a folder's entry makes the folders above it", {"A\\B\\", "A\\x.psd"}, ""},
      {"case twins over the code page", {"caf\xE9.txt", "CAF\xC9.TXT"}, "NAME-TWIN@CAF\xC9.TXT"},
      {"one name twice", {"a.txt", "a.txt"}, "NAME-TWIN@a.txt"},
      {"one folder twice", {"D\\", "d\\"}, "folder-twin@d\\"},
      {"a file, then a folder of its name", {"f", "F\\"}, "FILE-FOLDER@F\\"},
      {"a file inside a file", {"f", "f\\x"}, "FILE-FOLDER@f\\x folder-missing@f\\x"},
      {"a file, after a file inside a folder of its name", {"D\\", "D\\x", "d"}, "FILE-FOLDER@d"},
      {"working name in a folder",
       {"D\\", "D\\~LumoraUpdate.3.tmp"},
       "NAME-WORKING@D\\~LumoraUpdate.3.tmp"},
      {"the scratch file at the top", {"tempfile.tmp"}, "NAME-WORKING@tempfile.tmp"},
      {"the scratch name in a folder is no working file", {"D\\", "D\\TempFile.tmp"}, ""},
      {"reserved name, any case", {"hairbase1.TXT"}, "NAME-RESERVED@hairbase1.TXT"},
      {"the journal's name", {"~LumoraUpdate.jnl"}, "NAME-RESERVED@~LumoraUpdate.jnl"},
      {"reserved name in a folder is free", {"D\\", "D\\HairBase2.txt"}, ""},
      {"the part base as a folder", {"PartBase.TXT\\"}, "MERGED-FOLDER@PartBase.TXT\\"},
      {"twins of the part base", {"partbase.txt", "Partbase.txt"}, "NAME-TWIN@Partbase.txt"},
      {"refused name", {"..\\x", "a"}, "NAME-REFUSED@..\\x"},
      {"Windows name", {"NUL.psd", "a?b"}, "NAME-WINDOWS@NUL.psd NAME-WINDOWS@a?b"},
      {"a file whose folder no entry makes",
       {"Pics\\a.psd", "Pics\\b.psd"},
       "folder-missing@Pics\\a.psd"},
  };
  const std::unique_ptr<NameCodec> names = Cp1252();
  for (const NamesCase& c : cases) {
    ArchiveCheck check(*names);
    for (const std::string& name : c.entries) check.AddEntry(name, name.back() == '\\');
    EXPECT_EQ(Summary(check.Run()), c.findings) << c.what;
  }
}

TEST(ArchiveCheckTest, ByteTheCodePageLacks) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows gives every byte of its code pages a character";
#endif
  const std::unique_ptr<NameCodec> names = Cp1252();
  ArchiveCheck check(*names);
  check.AddEntry("a\x81", false);
  check.AddText("PalData.txt", "a\r\nb\x81\r\n");
  EXPECT_EQ(Summary(check.Run()), "NAME-CODEPAGE@a\x81 codepage@PalData.txt:2");
}

TEST(ArchiveCheckTest, AnInstallationDecidesFoldersImagesAndFilesThatStand) {
  const std::unique_ptr<NameCodec> names = Cp1252();
  ArchiveCheck check(*names, [](const std::string& path) {
    if (path == "Pics" || path == "Old") return Stands::kFolder;
    if (path == "Pics\\have.psd" || path == "Old\\x.psd") return Stands::kFile;
    return Stands::kNothing;
  });
  for (const std::string name : {"Pics\\a.psd", "Pics\\have.psd", "New\\b.psd", "Old\\"}) {
    check.AddEntry(name, name.back() == '\\');
  }
  check.AddText("PARTBASE.txt", "1; 0; 0;Old\\x.psd;a;\r\n2; 0; 0;Old\\y.psd;b;\r\n");
  check.SetInstalledPartBase("# 1; 0; 0;old\\x.psd;hidden;\r\n7; 0; 0;OLD\\X.PSD;c;\r\n");
  EXPECT_EQ(Summary(check.Run()),
            "installed-file@Pics\\have.psd FOLDER-MISSING@New\\b.psd "
            "installed-duplicate@PARTBASE.txt:1 image-missing@PARTBASE.txt:2");
}

TEST(ArchiveCheckTest, PartBaseFindingsComeByLine) {
  const std::unique_ptr<NameCodec> names = Cp1252();
  ArchiveCheck check(*names);
  check.AddEntry("partbase.txt", false);
  check.AddEntry("a.psd", false);
  check.AddText("partbase.txt",
                "# comment; not a record\r\n$1F; $7fffffff; -2147483648;a.psd;a;\r\n"
                "2147483648; 0; 0;A.PSD;b;\n3;0;0;b.psd;c;\r\r\n\x1A");
  EXPECT_EQ(Summary(check.Run()),
            "LINE-END@partbase.txt:3 BASIC-INDEX@partbase.txt:3 duplicate-key@partbase.txt:3 "
            "line-end@partbase.txt:4 image-missing@partbase.txt:4");
}

}  // namespace
}  // namespace lumora::pack
