// The self-extraction driver over real files in a temporary folder, with the window model
// read after every pump.
#include "archive/self_extractor.h"

#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/entry_name.h"
#include "archive/format.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "testing/archive_builder.h"
#include "testing/test_util.h"
#include "ui/null/null_backend.h"

namespace lumora {
namespace {

using testing::ArchiveEntry;
using testing::TempDir;

// The member "ABABABA" as the system's own writer stores it: codes 256, 65, 66, 258, 260,
// 257 in 9 bits, one block of 7 bytes, then the terminator.
const std::string kAbabaMember("\x07\x00\x83\x08\x11\x48\x30\x20\x00", 9);
// A member that decodes to nothing: the clear code and the end code.
const std::string kEmptyMember("\x03\x00\x03\x02\x00", 5);

std::string Entry(const std::string& name, const std::string& member) {
  return "," + name + std::string(1, '\0') + member;
}
std::string DirEntry(const std::string& name) { return "," + name + std::string(2, '\0'); }

class SelfExtractorTest : public ::testing::Test {
 protected:
  SelfExtractorTest()
      : platform_(CreateNativePlatform()), app_(ui_, "LumoraUpdate"), ex_(*platform_.files, &app_) {
    out_ = dir_.Native("out");
    testing::WriteFile(dir_.Native("out/.keep"), "");
    ex_.extractDir = dir_.Core() + "out\\";
    ui_.CreateWindows(app_);
    ui_.on_pump = [this](Application& app) { labels4_.push_back(app.Form1.Label4.Caption); };
  }

  // An updater whose archive is given byte for byte after an image of image_length bytes.
  void UseRaw(const std::string& archive, int64_t image_length = 100) {
    testing::WriteFile(dir_.Native("upd"), std::string(image_length, 'I') + archive);
    ex_.SetArchive(dir_.Native("upd"), image_length + 1);
  }
  void UseBuilt(const std::vector<ArchiveEntry>& entries, bool trailer = true) {
    int64_t offset = testing::WriteUpdater(dir_.Native("upd"), entries, 1000, trailer);
    ex_.SetArchive(dir_.Native("upd"), offset);
  }
  std::string Out(const std::string& rel) { return testing::ReadFile(out_ + "/" + rel); }

  TempDir dir_;
  std::string out_;
  Platform platform_;
  NullBackend ui_;
  Application app_;
  SelfExtractor ex_;
  std::vector<std::string> labels4_;
};

TEST_F(SelfExtractorTest, WorkedExampleAndEmptyMemberUnpack) {
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + Entry("e.txt", kEmptyMember) +
         ";");
  ex_.Selfextract();
  EXPECT_EQ(Out("a.txt"), "ABABABA");
  EXPECT_EQ(Out("e.txt"), "");
  EXPECT_FALSE(testing::Exists(out_ + "/TempFile.tmp"));
}

TEST_F(SelfExtractorTest, EntriesInOrderWithDirectoriesAndLabels) {
  UseBuilt({{"partbase.txt", "# x\r\n10; 1; 2;addition\\Tattoo\\fp001.psd;t;\r\n"},
            {"Addition\\", ""},
            {"Addition\\Tattoo\\", ""},
            {"Addition\\Tattoo\\fp001.psd", std::string(5000, 'p')},
            {"Addition\\Tattoo\\ba045.psd", "tiny"}});
  ex_.Selfextract();
  EXPECT_EQ(Out("Addition/Tattoo/fp001.psd"), std::string(5000, 'p'));
  EXPECT_EQ(Out("Addition/Tattoo/ba045.psd"), "tiny");
  // One pump after the set-up, then one after each entry's name is shown.
  std::vector<std::string> names;
  for (size_t i = 1; i < labels4_.size(); ++i) {
    if (names.empty() || labels4_[i] != names.back() || labels4_[i].empty()) {
      names.push_back(labels4_[i]);
    }
  }
  ASSERT_GE(names.size(), 5u);
  EXPECT_EQ(names[0], "partbase.txt");
  EXPECT_EQ(names[1], "");
  EXPECT_EQ(names[2], "");
  EXPECT_EQ(names[3], "fp001.psd");
}

TEST_F(SelfExtractorTest, ExistingFileIsNeverOverwritten) {
  testing::WriteFile(out_ + "/a.txt", "installed");
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + Entry("b.txt", kAbabaMember) +
         ";");
  ex_.Selfextract();
  EXPECT_EQ(Out("a.txt"), "installed");
  EXPECT_EQ(Out("b.txt"), "ABABABA");
  EXPECT_FALSE(testing::Exists(out_ + "/TempFile.tmp"));
}

TEST_F(SelfExtractorTest, ExistingFileMatchesWithoutRegardToCase) {
  testing::WriteFile(out_ + "/Partbase.txt", "installed");
  UseRaw(std::string(format::kMagic) + Entry("partbase.txt", kAbabaMember) + ";");
  ex_.Selfextract();
  EXPECT_EQ(Out("Partbase.txt"), "installed");
  EXPECT_EQ(testing::ListNames(out_), (std::vector<std::string>{".keep", "Partbase.txt"}));
}

// A batch gets its names while the next one is written: every name stands only after the
// record was told of it, a name met again in a later batch keeps its first file, and a
// folder made between batches names every file before it.
TEST_F(SelfExtractorTest, BatchesGetTheirNamesWhileTheNextIsWritten) {
  struct Record : CreationRecord {
    std::string out;
    std::vector<std::string> told, early;
    void WillCreate(const std::vector<CreatedEntry>& entries) override {
      for (const CreatedEntry& e : entries) {
        told.push_back(e.name);
        if (testing::Exists(out + "/" + e.name)) early.push_back(e.name);
      }
    }
  };
  for (int batch : {1, 2, 3, 1000}) {
    SCOPED_TRACE(batch);
    std::filesystem::remove_all(out_);
    testing::WriteFile(out_ + "/.keep", "");
    Record record;
    record.out = out_;
    ex_.creation_record = &record;
    ex_.naming_batch = batch;
    UseBuilt({{"f1", "one"},
              {"f2", "two"},
              {"f3", "three"},
              {"F1", "again"},
              {"d\\", ""},
              {"d\\f4", "four"},
              {"f5", "five"},
              {"f6", "six"},
              {"F2", "again"}});
    ex_.Selfextract();
    EXPECT_EQ(testing::ListNames(out_),
              (std::vector<std::string>{".keep", "d", "f1", "f2", "f3", "f5", "f6"}));
    EXPECT_EQ(Out("f1") + Out("f2") + Out("f3") + Out("d/f4") + Out("f5") + Out("f6"),
              "onetwothreefourfivesix");
    EXPECT_EQ(record.told.size(), 7u);
    EXPECT_EQ(record.early, std::vector<std::string>{});
  }
  ex_.creation_record = nullptr;
}

// Another program takes a new file's name after the record was told of it and before the
// file gets it: that program's file stays as it is, the update's copy goes, the other files
// of its batch still get their names (nothing is left under a working name), and the
// extraction stops.
TEST_F(SelfExtractorTest, ANameTakenWhileItsBatchWaitsKeepsTheOtherProgramsFile) {
  struct Taker : CreationRecord {
    std::string out;
    void WillCreate(const std::vector<CreatedEntry>& entries) override {
      for (const CreatedEntry& e : entries) {
        if (e.name == "f2") testing::WriteFile(out + "/f2", "theirs");
      }
    }
  };
  // Files without a name, and under working names (as where the file system has none).
  const struct {
    int batch;
    const char* no_tmpfile;
  } cases[] = {{1, "0"}, {2, "0"}, {1000, "0"}, {2, "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.batch) + " " + c.no_tmpfile);
    std::filesystem::remove_all(out_);
    testing::WriteFile(out_ + "/.keep", "");
#ifndef _WIN32  // Windows has working names only
    setenv("LUMORA_NO_TMPFILE", c.no_tmpfile, 1);
#endif
    Platform platform = CreateNativePlatform();
#ifndef _WIN32
    unsetenv("LUMORA_NO_TMPFILE");
#endif
    SelfExtractor ex(*platform.files, nullptr);
    ex.extractDir = dir_.Core() + "out\\";
    Taker taker;
    taker.out = out_;
    ex.creation_record = &taker;
    ex.naming_batch = c.batch;
    const int64_t offset = testing::WriteUpdater(
        dir_.Native("upd"), {{"f1", "one"}, {"f2", "two"}, {"f3", "three"}, {"f4", "four"}}, 1000,
        true);
    ex.SetArchive(dir_.Native("upd"), offset);
    EXPECT_THROW(ex.Selfextract(), IoError);
    EXPECT_EQ(Out("f2"), "theirs");
    EXPECT_EQ(Out("f1") + Out("f3"), "onethree");
    for (const std::string& name : testing::ListNames(out_)) {
      EXPECT_FALSE(IsWorkingFileName(name)) << name;
    }
  }
}

TEST_F(SelfExtractorTest, LeftoverScratchFileIsDeletedAfterFirstFileEntry) {
  testing::WriteFile(out_ + "/TempFile.tmp", "left from an earlier run");
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + ";");
  ex_.Selfextract();
  EXPECT_FALSE(testing::Exists(out_ + "/TempFile.tmp"));
}

TEST_F(SelfExtractorTest, PaddingAndMagicVariantsChangeNothing) {
  std::string body = Entry("a.txt", kAbabaMember) + std::string(3, '\0') + DirEntry("d\\") +
                     std::string(2, '\0') + Entry("d\\b.txt", kAbabaMember) + std::string(5, '\0') +
                     ";";
  for (const std::string magic : {"QRX1.00", "XYZ9.99", "\x01\x02\x03\x04\x05\x06\x07"}) {
    TempDir fresh;
    ex_.extractDir = fresh.Core();
    UseRaw(magic + body);
    ex_.Selfextract();
    EXPECT_EQ(testing::ReadFile(fresh.Native("a.txt")), "ABABABA") << magic;
    EXPECT_EQ(testing::ReadFile(fresh.Native("d/b.txt")), "ABABABA") << magic;
  }
}

TEST_F(SelfExtractorTest, UnknownSeparatorEndsTheArchiveSilently) {
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + "X" +
         Entry("b.txt", kAbabaMember) + ";");
  ex_.Selfextract();
  EXPECT_TRUE(testing::Exists(out_ + "/a.txt"));
  EXPECT_FALSE(testing::Exists(out_ + "/b.txt"));
}

TEST_F(SelfExtractorTest, MissingEndByteExtractsEverythingThenFails) {
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + Entry("b.txt", kAbabaMember));
  try {
    ex_.Selfextract();
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  EXPECT_EQ(Out("b.txt"), "ABABABA");
}

TEST_F(SelfExtractorTest, DirectoryWithoutTrailingSeparatorIsStillCreated) {
  UseRaw(std::string(format::kMagic) + DirEntry("Addition") + DirEntry("Addition\\Tattoo\\") + ";");
  ex_.Selfextract();
  EXPECT_TRUE(platform_.files->DirectoryExists(ex_.extractDir + "Addition\\Tattoo"));
}

TEST_F(SelfExtractorTest, HostileNamesAreRefusedAndNothingLeavesTheFolder) {
  for (const std::string name : {"..\\evil.txt", "\\evil.txt", "/evil.txt", "C:evil.txt",
                                 "a\\..\\..\\evil.txt", "", "x/../../evil.txt"}) {
    UseRaw(std::string(format::kMagic) + Entry(name, kAbabaMember) + ";");
    try {
      ex_.Selfextract();
      FAIL() << "accepted \"" << name << "\"";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Invalid filename") << name;
    }
  }
  EXPECT_FALSE(testing::Exists(dir_.Native("evil.txt")));
  EXPECT_FALSE(testing::Exists("/evil.txt"));
  EXPECT_EQ(testing::ListNames(out_), std::vector<std::string>{".keep"});
}

// Names that Windows cannot create as themselves are refused by the check, before anything
// is written, on every system: an updater is made for Windows.
TEST_F(SelfExtractorTest, NamesWindowsCannotCreateAreRefusedByTheCheck) {
  struct Case {
    std::string name;
    bool taken;
  };
  const std::vector<Case> cases = {
      {"Partbase.txt.", false},  {"Extra.psd ", false}, {"a<b.psd", false},
      {"a>b.psd", false},        {"a\"b.psd", false},   {"a|b.psd", false},
      {"a?b.psd", false},        {"a*.psd", false},     {"tab\tname.psd", false},
      {"dir.\\x.psd", false},    {"CON", false},        {"nul.list", false},
      {"Pics\\com1.psd", false}, {"LPT9.txt", false},   {"COM\xB9.txt", false},
      {"aux \\x.psd", false},    {"COM10.psd", true},   {"CONSOLE.txt", true},
      {"nul_x.psd", true},       {"a.b.c.psd", true},   {"caf\xE9 .x.psd", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseRaw(std::string(format::kMagic) + Entry(c.name, kAbabaMember) + ";");
    if (c.taken) {
      EXPECT_NO_THROW(ex_.Verify());
      continue;
    }
    try {
      ex_.Verify();
      ADD_FAILURE() << "accepted";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Invalid filename");
    }
  }
  EXPECT_EQ(testing::ListNames(out_), std::vector<std::string>{".keep"});
}

TEST_F(SelfExtractorTest, ProgressRangeForTheDeliveredFileSize) {
  // An image of the delivered length and an archive padded after its end byte to the
  // delivered file's 1,741,944 bytes: the bar's range must come out as 6704..54435.
  std::string archive = std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + ";";
  std::string file = std::string(format::kDefaultImageLength, 'I') + archive;
  file.resize(1741944, 'z');
  testing::WriteFile(dir_.Native("upd"), file);
  ex_.SetArchive(dir_.Native("upd"), format::kDefaultArchiveStartOffset);
  ex_.Selfextract();
  EXPECT_EQ(ex_.progressShift, 5);
  EXPECT_EQ(app_.Form1.ProgressBar1.Max(), 54435);
  EXPECT_EQ(app_.Form1.ProgressBar1.Min(), 6704);
}

TEST_F(SelfExtractorTest, PercentageCountsTheImageAsDone) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data += static_cast<char>((i * 7919) % 251);
  UseBuilt({{"big.bin", data}});
  std::vector<std::string> percents;
  ui_.on_pump = [&](Application& app) { percents.push_back(app.Form1.Label1.Caption); };
  ex_.Selfextract();
  EXPECT_EQ(Out("big.bin"), data);
  ASSERT_GT(percents.size(), 2u);
  // Every report shows Position / Max, rounded half to even, with the image counted.
  const ProgressBar& bar = app_.Form1.ProgressBar1;
  EXPECT_EQ(percents.back(), std::to_string(std::lrint(100.0 * bar.Position() / bar.Max())) + "%");
}

TEST(ProgressPercentTextTest, RoundsHalfToEvenWithMaxAsDivisor) {
  const struct {
    int position, max;
    const char* text;
  } cases[] = {
      {0, 100, "0%"},         {1, 200, "0%"},         {3, 200, "2%"},  // 0.5 and 1.5: to even
      {5, 200, "2%"},         {7, 200, "4%"},         {199, 200, "100%"},
      {6719, 54435, "12%"},  // the first report of a 1,741,944-byte updater (shift 5)
      {6704, 54435, "12%"},  // Min, where the archive starts: the image counts as done
      {54435, 54435, "100%"}, {65535, 65535, "100%"}, {1, 0, "0%"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressPercentText(c.position, c.max), c.text) << c.position << " / " << c.max;
  }
}

TEST_F(SelfExtractorTest, Selfextract1ClickSetsItsOwnCaptionsAndClosesTheWindow) {
  UseRaw(std::string(format::kMagic) + Entry("a.txt", kAbabaMember) + ";");
  ex_.Selfextract1Click();
  EXPECT_EQ(app_.Form1.Label2.Caption, "Complete.     ");
  EXPECT_EQ(app_.Form1.Label1.Caption, "    ");
  EXPECT_EQ(app_.Form1.Label3.Caption, std::string(16, ' '));
  EXPECT_EQ(app_.Form1.Label4.Caption, " ");
  EXPECT_EQ(app_.Form1.ProgressBar1.Position(), app_.Form1.ProgressBar1.Min());
  EXPECT_TRUE(app_.QuitRequested() || app_.Terminating());
}

TEST_F(SelfExtractorTest, ProgramFileThatCannotBeOpened) {
  ex_.SetArchive(dir_.Native("missing"), 1);
  try {
    ex_.Selfextract();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir_.Native("missing"));
  }
}

TEST_F(SelfExtractorTest, FileInMissingDirectoryFailsWithInvalidFilename) {
  UseRaw(std::string(format::kMagic) + Entry("nodir\\a.txt", kAbabaMember) + ";");
  try {
    ex_.Selfextract();
    FAIL();
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "Invalid filename");
  }
}

TEST_F(SelfExtractorTest, TwoCharacterDirectoryNamesAreNotCreatedUnderAnEmptyPrefix) {
  TempDir cwd;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  ex_.extractDir = "";
  ex_.ExtractEmptyDirectory("ab\\");
  ex_.ExtractEmptyDirectory("abc\\de\\");
  ASSERT_EQ(chdir(old), 0);
  EXPECT_FALSE(testing::Exists(cwd.Native("ab")));
  EXPECT_TRUE(testing::Exists(cwd.Native("abc/de")));
}

TEST_F(SelfExtractorTest, VerifyCountsAndChecksTheTrailer) {
  std::vector<ArchiveEntry> entries = {{"d\\", ""}, {"d\\a", std::string(3000, 'a')}, {"b", "bb"}};
  UseBuilt(entries);
  ArchiveSummary s = ex_.Verify();
  EXPECT_EQ(s.files, 2);
  EXPECT_EQ(s.directories, 1);
  EXPECT_EQ(s.decoded_bytes, 3002);
  EXPECT_TRUE(s.has_trailer);

  testing::UpdaterFile f = testing::BuildUpdater(entries);
  // Any byte of the archive changed: the checksum no longer matches.
  const size_t first = static_cast<size_t>(f.start_offset) - 1;
  for (size_t at : {first, (first + f.bytes.size()) / 2, f.bytes.size() - 14}) {
    testing::WriteFile(dir_.Native("upd"), testing::FlipByte(f.bytes, at));
    ex_.SetArchive(dir_.Native("upd"), f.start_offset);
    try {
      ex_.Verify();
      ADD_FAILURE() << "flipped byte at " << at << " of " << f.bytes.size() << " not noticed";
    } catch (const RuntimeError&) {
    }
  }
  EXPECT_EQ(testing::ListNames(out_), std::vector<std::string>{".keep"});
}

// A code signature appends bytes after everything: the trailer then stands right after
// the ';' and still guards the archive, while the image may change freely.
TEST_F(SelfExtractorTest, VerifyFindsTheTrailerBeforeAppendedBytes) {
  const std::vector<ArchiveEntry> entries = {{"d\\", ""}, {"d\\a", std::string(3000, 'a')}};
  testing::UpdaterFile f = testing::BuildUpdater(entries);
  const std::string signature(700, 'S');
  const size_t magic_at = static_cast<size_t>(f.start_offset) - 1;
  const struct {
    const char* what;
    std::string bytes;
    bool sound;
  } cases[] = {
      {"signed", f.bytes + signature, true},
      {"signed, image changed", testing::FlipByte(f.bytes, 10) + signature, true},
      {"signed, archive damaged", testing::FlipByte(f.bytes, magic_at + 40) + signature, false},
      {"signed, trailer damaged", testing::FlipByte(f.bytes, f.bytes.size() - 2) + signature,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::WriteFile(dir_.Native("upd"), c.bytes);
    ex_.SetArchive(dir_.Native("upd"), f.start_offset);
    if (c.sound) {
      EXPECT_TRUE(ex_.Verify().has_trailer);
    } else {
      EXPECT_THROW(ex_.Verify(), RuntimeError);
    }
  }
}

// Without a trailer, the archive's own structure is all there is to check: each member
// must end in its last block, or before a last block of 0x00 bytes that the reader takes
// for padding, and the archive with ';'. Extraction would otherwise stop early, or read a
// member's bytes as entries, and still report success.
TEST_F(SelfExtractorTest, VerifyRefusesAnArchiveOutOfStep) {
  const std::string magic(format::kMagic);
  // ABABABA's block, then more blocks after the end code.
  const auto tail = [](const std::string& blocks) {
    return kAbabaMember.substr(0, 8) + blocks + std::string(1, '\0');
  };
  const struct {
    const char* what;
    std::string archive;
    bool sound;
  } cases[] = {
      {"sound",
       magic + Entry("a", kAbabaMember) + ",b" + std::string(1, '\0') + kEmptyMember +
           std::string(3, '\0') + ";",
       true},
      {"ends in another byte", magic + Entry("a", kAbabaMember) + "!", false},
      {"ends in a second entry's mark", magic + Entry("a", kAbabaMember) + "\x01", false},
      {"zero tail in its own block",
       magic + Entry("a", tail(std::string("\x01\x00", 2))) + Entry("b", kEmptyMember) + ";", true},
      {"zero tail of three bytes",
       magic + Entry("a", tail(std::string("\x03\0\0\0", 4))) + Entry("b", kEmptyMember) + ";",
       true},
      {"non-zero byte after the end code", magic + Entry("a", tail("\x01\x05")) + ";", false},
      {"two blocks after the end code",
       magic + Entry("a", tail(std::string("\x01\x00\x01\x00", 4))) + ";", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UseRaw(c.archive);
    if (c.sound) {
      EXPECT_EQ(ex_.Verify().files, 2);
      ex_.Selfextract();
      EXPECT_EQ(Out("b"), "");
      std::filesystem::remove(out_ + "/a");
      std::filesystem::remove(out_ + "/b");
      continue;
    }
    try {
      ex_.Verify();
      ADD_FAILURE() << "accepted";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "The update archive is damaged (an entry ends in the wrong place)");
    }
  }
  EXPECT_EQ(testing::ListNames(out_), std::vector<std::string>{".keep"});
}

// A file can be created only in a folder that exists or that an earlier directory entry
// makes (with the folders above it); the check says so before anything is written.
TEST_F(SelfExtractorTest, VerifyRefusesAFileWhoseFolderWouldBeMissing) {
  const std::string magic(format::kMagic);
  const std::string file = Entry("Pics\\Tattoo\\a.psd", kAbabaMember);
  testing::WriteFile(dir_.Native("out/Existing/.keep"), "");
  const struct {
    const char* what;
    std::string archive;
    std::string dir;  // extractDir; empty for a check without a target (the packer's test)
    bool sound;
  } cases[] = {
      {"folder missing", magic + file + ";", ex_.extractDir, false},
      {"made by an entry", magic + DirEntry("pics\\TATTOO\\") + file + ";", ex_.extractDir, true},
      {"parent made with it", magic + DirEntry("Pics\\Tattoo\\x\\") + file + ";", ex_.extractDir,
       true},
      {"made only after the file", magic + file + DirEntry("Pics\\Tattoo\\") + ";", ex_.extractDir,
       false},
      {"folder exists", magic + Entry("existing\\a.psd", kAbabaMember) + ";", ex_.extractDir, true},
      {"no target folder", magic + file + ";", "", true},
  };
  const std::string target = ex_.extractDir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UseRaw(c.archive);
    ex_.extractDir = c.dir;
    if (c.sound) {
      EXPECT_NO_THROW(ex_.Verify());
      continue;
    }
    try {
      ex_.Verify();
      ADD_FAILURE() << "accepted";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Invalid filename");
    }
  }
  EXPECT_EQ(testing::ListNames(out_), (std::vector<std::string>{".keep", "Existing"}));
}

// The trailer counts only right after the ';' that walking the entries reaches: an entry
// named like it is an entry, and a trailer cut short is an updater cut short.
TEST_F(SelfExtractorTest, TrailerStandsOnlyRightAfterTheEnd) {
  const testing::UpdaterFile with = testing::BuildUpdater({{"a", "abc"}});
  const testing::UpdaterFile look_alike =
      testing::BuildUpdater({{"a", "abc"}, {"QRXCRC32\\", ""}}, 1000, false);
  const size_t size = with.bytes.size();
  const struct {
    const char* what;
    std::string bytes;
    std::string error;
    bool has_trailer;
  } cases[] = {
      {"whole", with.bytes, "", true},
      {"a last entry named like the trailer", look_alike.bytes, "", false},
      {"cut by its last byte", testing::Truncate(with.bytes, size - 1), "Stream read error", false},
      {"cut inside its tag", testing::Truncate(with.bytes, size - 6), "Stream read error", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::WriteFile(dir_.Native("upd"), c.bytes);
    ex_.SetArchive(dir_.Native("upd"), with.start_offset);
    try {
      EXPECT_EQ(ex_.Verify().has_trailer, c.has_trailer);
      EXPECT_EQ(c.error, "");
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.what(), c.error);
    }
  }
}

// Whatever the installation holds, the check and the extraction agree: an archive that
// the check accepts unpacks, and one that it refuses fails extraction with the same text,
// so an update never stops half-way.
TEST_F(SelfExtractorTest, CheckPredictsWhatExtractionMeets) {
  const auto make_dir = [](const std::string& rel) {
    return [rel](const std::string& out) { std::filesystem::create_directories(out + "/" + rel); };
  };
  const auto make_file = [](const std::string& rel, const std::string& bytes) {
    return [rel, bytes](const std::string& out) { testing::WriteFile(out + "/" + rel, bytes); };
  };
  // "Café" as the system names it: UTF-8 on Linux, the ANSI code page on Windows.
#ifdef _WIN32
  const std::string kCafeNative = "Caf\xE9";
#else
  const std::string kCafeNative = "Caf\xC3\xA9";
#endif
  std::string deep;  // 90 KB: far more than any system takes
  for (int i = 0; i < 30000; ++i) deep += "ab\\";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> install;
    std::vector<ArchiveEntry> entries;
    std::string error;                    // empty when both succeed
    std::string file = "", content = "";  // then: a file and what it holds
  };
  std::vector<Case> cases = {
      {"a folder where a file goes", make_dir("a.txt"), {{"a.txt", "x"}}, "File access denied"},
      // A "." component names its folder again: refused like "..".
      {"a file named .", make_dir("."), {{".", "x"}}, "Invalid filename"},
      {"the scratch file is a folder",
       [&](const std::string& out) {
         make_dir("TempFile.tmp")(out);
         make_file("a.txt", "mine")(out);
       },
       {{"a.txt", "x"}},
       "File access denied"},
      {"a folder entry where a file stands",
       make_file("Pics", "mine"),
       {{"Pics\\", ""}, {"Pics\\a", "x"}},
       "Invalid filename"},
      {"a file, then a folder of its name",
       make_dir("."),
       {{"a", "x"}, {"a\\", ""}, {"a\\b", "y"}},
       "Invalid filename"},
      {"the working name is a folder",
       make_dir("~LumoraUpdate.0.tmp"),
       {{"b", "x"}},
       "File access denied"},
      {"a name longer than the system takes",
       make_dir("."),
       {{std::string(300, 'n'), "x"}},
       "Invalid filename"},
      {"a 90 KB name", make_dir("."), {{deep, ""}, {deep + "f", "x"}}, "Invalid filename"},
      {"deep folders made by the archive",
       make_dir("."),
       {{"d\\e\\f\\", ""}, {"d\\e\\f\\x", "y"}},
       "",
       "d/e/f/x",
       "y"},
      {"an existing file", make_file("a.txt", "mine"), {{"A.TXT", "x"}}, "", "a.txt", "mine"},
      {"a working file left by a run cut short",
       make_file("~LumoraUpdate.0.tmp", "half"),
       {{"b", "whole"}},
       "",
       "b",
       "whole"},
      // The scratch file and the working name belong to the extraction: a member of that
      // name would be deleted as scratch, or renamed onto itself.
      {"an entry named like the scratch file",
       make_dir("."),
       {{"tempFILE.tmp", "x"}},
       "File access denied"},
      {"the scratch file's name below ./",
       make_dir("."),
       {{".\\TempFile.tmp", "x"}},
       "Invalid filename"},
      {"a file twice, once below ./",
       make_dir("."),
       {{"a.txt", "x"}, {".\\a.txt", "y"}},
       "Invalid filename"},
      {"an entry named like the working name",
       make_dir("."),
       {{"d\\", ""}, {"d\\~LUMORAUPDATE.TMP", "x"}},
       "File access denied"},
      {"the scratch file's name in a folder is a name like any",
       make_dir("."),
       {{"d\\", ""}, {"d\\TempFile.tmp", "x"}},
       "",
       "d/TempFile.tmp",
       "x"},
      // One fold for the plan and the file system: é is É, in names and folders alike.
      {"a file, then a folder of its name in other letters",
       make_dir("."),
       {{"caf\xE9", "x"}, {"CAF\xC9\\", ""}, {"CAF\xC9\\x.txt", "y"}},
       "Invalid filename"},
      {"a folder made, then a file in it in other letters",
       make_dir("."),
       {{"Caf\xE9\\", ""}, {"CAF\xC9\\x.txt", "y"}},
       "",
       kCafeNative + "/x.txt",
       "y"},
      {"a folder installed, then a file in it in other letters",
       make_dir(kCafeNative),
       {{"CAF\xC9\\x.txt", "y"}},
       "",
       kCafeNative + "/x.txt",
       "y"},
  };
#ifndef _WIN32
  // 0x81 is no character of Windows-1252: no native name stands for it on Linux (Windows
  // maps every byte of its code pages to some character).
  cases.push_back({"a byte the code page leaves undefined",
                   make_dir("."),
                   {{"caf\x81.txt", "x"}},
                   "Invalid filename"});
  cases.push_back({"a folder with a byte the code page leaves undefined",
                   make_dir("."),
                   {{"d\\\x81\\", ""}, {"d\\\x81\\a.txt", "x"}},
                   "Invalid filename"});
  cases.push_back({"a pipe under the name",
                   [](const std::string& out) { mkfifo((out + "/a.txt").c_str(), 0600); },
                   {{"a.txt", "x"}},
                   "File access denied"});
  cases.push_back({"a dangling link under the name",
                   [](const std::string& out) { symlink("nowhere", (out + "/a.txt").c_str()); },
                   {{"a.txt", "x"}},
                   "File access denied"});
  // The scratch file is emptied by a create that never follows a link.
  cases.push_back({"the scratch file is a link to a file",
                   [](const std::string& out) {
                     testing::WriteFile(out + "/a.txt", "mine");
                     testing::WriteFile(out + "/elsewhere", "keep");
                     symlink("elsewhere", (out + "/TempFile.tmp").c_str());
                   },
                   {{"a.txt", "x"}},
                   "File access denied"});
#endif
  const auto outcome = [](const std::function<void()>& run) {
    try {
      run();
      return std::string();
    } catch (const RuntimeError& e) {
      return std::string(e.what());
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out_);
    std::filesystem::create_directory(out_);
    c.install(out_);
    UseBuilt(c.entries);
    EXPECT_EQ(outcome([&] { ex_.Verify(); }), c.error);
    EXPECT_EQ(outcome([&] { ex_.Selfextract(); }), c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(Out(c.file), c.content);
    for (const std::string& name : testing::ListNames(out_)) {
      EXPECT_TRUE(!IsWorkingName(name) && name != "TempFile.tmp") << name << " stays";
    }
  }
}

#ifndef _WIN32  // the file size limit is a POSIX resource limit
// The disk fills while a member is written (a file size limit stands in for the disk, in
// a child process so that it reaches nothing else). A full 256-byte piece that cannot be
// written stops the update with the disk-full message, and a half-written scratch file
// does not stay; the final 1..256 bytes that cannot be written are a "Stream write error".
TEST_F(SelfExtractorTest, FullDiskWhileWriting) {
  const struct {
    const char* what;
    bool target_exists;  // the member goes to the scratch file
    size_t size;         // the member's decoded bytes
    rlim_t limit;        // bytes a file may hold
    const char* outcome;
    std::vector<std::string> left;  // in the folder afterwards
  } cases[] = {
      {"a whole piece, into the scratch file",
       true,
       5000,
       1000,
       "stop: Disk write error or disk is full.",
       {".keep", "a.txt"}},
      {"a whole piece, into a new file",
       false,
       5000,
       1000,
       "stop: Disk write error or disk is full.",
       {".keep"}},
      {"the final bytes", false, 1100, 1034, "error: Stream write error", {".keep"}},
      {"a whole piece, past what waits for one write",
       false,
       200000,
       100000,
       "stop: Disk write error or disk is full.",
       {".keep"}},
      {"the final bytes, past what waits for one write",
       false,
       100100,
       100096,
       "error: Stream write error",
       {".keep"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out_);
    testing::WriteFile(dir_.Native("out/.keep"), "");
    if (c.target_exists) testing::WriteFile(dir_.Native("out/a.txt"), "mine");
    UseBuilt({{"a.txt", std::string(c.size, 'x')}});
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(pipe_fds[0]);
      Platform platform = CreateNativePlatform();  // ignores SIGXFSZ
      struct rlimit limit = {c.limit, c.limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      std::string outcome = "finished";
      ui_.on_message = [&outcome](const std::string&, const std::string& text) {
        outcome = "stop: " + text;
        return kResultOk;
      };
      try {
        ex_.Selfextract();
      } catch (const StopRun&) {
      } catch (const RuntimeError& e) {
        outcome = std::string("error: ") + e.what();
      }
      const ssize_t written = write(pipe_fds[1], outcome.data(), outcome.size());
      _exit(written == static_cast<ssize_t>(outcome.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string outcome;
    char buf[256];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) outcome.append(buf, n);
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(outcome, c.outcome);
    if (c.target_exists) {
      EXPECT_EQ(Out("a.txt"), "mine");
    }
    EXPECT_EQ(testing::ListNames(out_), c.left);
  }
}
#endif

// Every prefix of a small updater, without its trailer, fails cleanly: a run-time error,
// never a crash, and nothing outside the target folder.
TEST_F(SelfExtractorTest, TruncatedAtEveryOffsetFailsCleanly) {
  testing::UpdaterFile f = testing::BuildUpdater(
      {{"a.txt", "hello hello hello"}, {"d\\", ""}, {"d\\b.bin", std::string(700, 'b')}}, 50,
      false);
  for (size_t len = 0; len < f.bytes.size(); ++len) {
    TempDir target;
    ex_.extractDir = target.Core();
    testing::WriteFile(dir_.Native("upd"), testing::Truncate(f.bytes, len));
    ex_.SetArchive(dir_.Native("upd"), f.start_offset);
    EXPECT_THROW(ex_.Verify(), RuntimeError) << len;
    EXPECT_THROW(ex_.Selfextract(), RuntimeError) << len;
  }
  EXPECT_EQ(testing::ListNames(dir_.path()), (std::vector<std::string>{"out", "upd"}));
}

}  // namespace
}  // namespace lumora
