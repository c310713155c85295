// --repair on the states it can meet that an update cut short by the power does not make:
// nothing to repair, an earlier updater's leftovers, a file held open, a folder that holds
// something of the user's, no installation at all.
#include "update/repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "update/journal.h"
#include "update_fixture.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

std::string Crc(const std::string& bytes) {
  Crc32 crc;
  crc.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", crc.Value());
  return hex;
}
// A journal's record of a file the update wrote with these bytes.
std::string Made(const std::string& name, const std::string& bytes) {
  return "file " + std::to_string(bytes.size()) + " " + Crc(bytes) + " " + name;
}
// The records of an append of these bytes to base from offset.
std::vector<std::string> Appended(const char* base, size_t offset, const std::string& bytes) {
  return {std::string("append ") + base + " " + std::to_string(offset),
          std::string("appended ") + base + " " + std::to_string(offset) + " " +
              std::to_string(bytes.size()) + " " + Crc(bytes)};
}
std::string JournalOf(std::vector<std::string> records, const std::vector<std::string>& more = {}) {
  records.insert(records.begin(), "LumoraUpdate journal 2");
  records.insert(records.end(), more.begin(), more.end());
  return JournalText(records);
}

class RepairTest : public UpdateFixture {
 protected:
  void Lay(const Tree& tree) {
    for (const auto& [rel, bytes] : tree) {
      if (rel.back() == '/') {
        fs::create_directories(At(rel));
      } else {
        fs::create_directories(fs::path(At(rel)).parent_path());
        WriteFile(At(rel), bytes);
      }
    }
  }
  RepairOutcome Run() { return Repair(*platform_.registry, *platform_.files).Run(); }
};

TEST_F(RepairTest, EachStateWithoutAJournal) {
  struct Case {
    const char* what;
    Tree found;
    Tree after;
    bool whole;
    const char* says;
  };
  const Tree whole = {
      {"Partbase.txt", "base"}, {"PalData.txt", "pal"}, {"Pics/", ""}, {"Pics/a.psd", "a"}};
  const std::vector<Case> cases = {
      {"a whole installation", whole, whole, true, "Nothing to repair"},
      {"the part base is missing",
       {{"PalData.txt", "pal"}},
       {{"PalData.txt", "pal"}},
       false,
       "Partbase.txt is missing"},
      {"an earlier updater cut off in its merges",
       {{"Partbase.txt", "new base"},
        {"HairBase1.txt", "base"},
        {"HairBase2.txt", "new"},
        {"HairBase4Check.txt", "base"},
        {"PalData.arh", "pal"},
        {"PalData.txt", "new pal"},
        {"TempFile.tmp", "x"},
        {"Pics/", ""},
        {"Pics/a.psd", "a"},
        {"Pics/~LumoraUpdate.tmp", "half"},
        {"Pics/Deep/", ""},
        {"Pics/Deep/~lumoraupdate.7.TMP", "half"}},
       {{"Partbase.txt", "base"},
        {"PalData.txt", "pal"},
        {"Pics/", ""},
        {"Pics/a.psd", "a"},
        {"Pics/Deep/", ""}},
       true,
       "without a journal"},
      {"only a working file, and files named almost like one",
       {{"Partbase.txt", "base"},
        {"PalData.txt", "pal"},
        {"~LumoraUpdate.3.tmp", "half"},
        {"~LumoraUpdate.x.tmp", "mine"},
        {"~LumoraUpdate..tmp", "mine"}},
       {{"Partbase.txt", "base"},
        {"PalData.txt", "pal"},
        {"~LumoraUpdate.x.tmp", "mine"},
        {"~LumoraUpdate..tmp", "mine"}},
       true,
       "removed 1 working file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(install_.path())) fs::remove_all(e.path());
    Lay(c.found);
    RegisterInstallation();
    RepairOutcome outcome = Run();
    EXPECT_EQ(outcome.whole, c.whole) << outcome.report;
    EXPECT_NE(outcome.report.find(c.says), std::string::npos) << outcome.report;
    EXPECT_TRUE(SameTree(c.after, Snapshot(install_.path())));
    // Repaired, it is whole, or as whole as it can be: a second repair changes nothing.
    outcome = Run();
    EXPECT_NE(outcome.report.find("Nothing to repair"), std::string::npos) << outcome.report;
    EXPECT_TRUE(SameTree(c.after, Snapshot(install_.path())));
  }
}

TEST_F(RepairTest, NoInstallationRegistered) {
  WriteRegistry({Sz("Version", "1.0")});
  const RepairOutcome outcome = Run();
  EXPECT_FALSE(outcome.whole);
  EXPECT_NE(outcome.report.find("No Lumora installation"), std::string::npos) << outcome.report;
}

TEST_F(RepairTest, FileHeldOpenByLumoraStopsWithNothingLost) {
  const Tree found = {{"Partbase.txt", "base"},
                      {"PalData.arh", "pal\r\nappended\r\n"},
                      {"~LumoraUpdate.jnl", JournalOf({"size Partbase.txt 4", "size PalData.txt 5",
                                                       "folder Pics\\", Made("Pics\\a.psd", "a")},
                                                      Appended("PalData.txt", 5, "appended\r\n"))},
                      {"Pics/", ""},
                      {"Pics/a.psd", "a"}};
  Lay(found);
  RegisterInstallation();
  {
    HeldOpen lumora(At("PalData.arh"));
    const RepairOutcome outcome = Run();
    EXPECT_FALSE(outcome.whole);
    EXPECT_NE(outcome.report.find("held open"), std::string::npos) << outcome.report;
    EXPECT_TRUE(SameTree(found, Snapshot(install_.path())));
  }
  const RepairOutcome outcome = Run();
  EXPECT_TRUE(outcome.whole) << outcome.report;
  EXPECT_TRUE(
      SameTree({{"Partbase.txt", "base"}, {"PalData.txt", "pal\r\n"}}, Snapshot(install_.path())));
}

TEST_F(RepairTest, FolderOfTheUpdateThatHoldsAFileOfTheUsersStays) {
  // Stopped while unpacking: the installed files stand under their working names.
  Lay({{"HairBase1.txt", "base"},
       {"PalData.arh", "pal"},
       {"~LumoraUpdate.jnl",
        JournalOf({"size Partbase.txt 4", "size PalData.txt 3", "folder New\\",
                   "folder New\\Deep\\", Made("New\\Deep\\a.psd", "a"), Made("New\\b.psd", "b")}) +
            "8 file 9 12345678 New\\c.psd"},
       {"New/Deep/a.psd", "a"},
       {"New/mine.txt", "the user's"},
       // Named in a last line that the power cut short: never given its name by the run.
       {"New/c.psd", "someone's"}});
  RegisterInstallation();
  const RepairOutcome outcome = Run();
  EXPECT_TRUE(outcome.whole) << outcome.report;
  EXPECT_NE(outcome.report.find("kept the folder New\\"), std::string::npos) << outcome.report;
  EXPECT_TRUE(SameTree({{"Partbase.txt", "base"},
                        {"PalData.txt", "pal"},
                        {"New/", ""},
                        {"New/mine.txt", "the user's"},
                        {"New/c.psd", "someone's"}},
                       Snapshot(install_.path())));
}

}  // namespace
}  // namespace lumora::testing

namespace lumora::testing {
namespace {

// The journal is read as untrusted input: only what an update writes is taken.
TEST(JournalReaderTest, TakesOnlyWhatAnUpdateWrites) {
  const std::string good = "LumoraUpdate journal 2";
  struct Case {
    const char* what;
    std::string text;
    const char* damaged;  // nullptr: read, with this many files
    size_t files;
  };
  std::string altered = JournalText({good, Made("Pics\\a.psd", "a")});
  altered[altered.size() - 2] = 'b';
  const std::vector<Case> cases = {
      {"a whole journal",
       JournalOf({"size Partbase.txt 4", "folder Pics\\", Made("Pics\\a.psd", "a")}), nullptr, 1},
      {"a last line the power cut short", JournalOf({Made("a.psd", "a")}) + "1234ABCD file 1 0",
       nullptr, 1},
      {"NUL bytes where a write never landed",
       JournalOf({Made("a.psd", "a")}) + std::string(40, '\0'), nullptr, 1},
      {"the header cut short", "8A1B", nullptr, 0},
      {"a name that climbs out", JournalOf({Made("..\\victim.txt", "v")}), "cannot have made", 0},
      {"a folder outside", JournalOf({"folder ..\\outside\\sub\\"}), "cannot have made", 0},
      {"an escaped NUL", JournalOf({Made("Partbase.txt%00x", "x")}), "cannot have made", 0},
      {"a broken escape", JournalOf({Made("a%4.psd", "x")}), "escape", 0},
      {"a '.' component", JournalOf({Made(".\\partbase.txt", "x")}), "cannot have made", 0},
      {"a drive", JournalOf({Made("C:\\x.psd", "x")}), "cannot have made", 0},
      {"an absolute name", JournalOf({Made("\\x.psd", "x")}), "cannot have made", 0},
      {"the installed part base's working name", JournalOf({Made("hairbase1.TXT", "x")}),
       "cannot have made", 0},
      {"the journal itself", JournalOf({Made("~LumoraUpdate.jnl", "x")}), "cannot have made", 0},
      {"an altered line", altered, "checksum", 0},
      {"no checksum", good + "\nfile 1 00000000 a.psd\n", "malformed", 0},
      {"another program's file", JournalText({"LumoraUpdate journal 1"}), "first line", 0},
      {"an earlier journal", "LumoraUpdate journal 1\nfile a.psd\n", "malformed", 0},
      {"an unknown record", JournalOf({"delete Partbase.txt"}), "no record", 0},
      {"a completed append that never began", JournalOf({"appended Partbase.txt 4 2 00000000"}),
       "never began", 0},
      {"a size of another file", JournalOf({"size Pics\\a.psd 4"}), "not a base file", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      const JournalContents read = ParseJournal(c.text);
      EXPECT_EQ(c.damaged, nullptr);
      EXPECT_EQ(read.files.size(), c.files);
    } catch (const JournalDamaged& e) {
      ASSERT_NE(c.damaged, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.damaged), std::string::npos) << e.what();
    }
  }
}

// Repair removes only what it can prove the update made, and ends every state it meets in
// an installation the update runs on again.
TEST_F(RepairTest, RemovesOnlyWhatTheUpdateProvablyMade) {
  const std::string base = "1; 0; 0;a.psd;a;\r\n";
  const std::string record = "2; 0; 0;b.psd;b;\r\n";
  const std::string lumoras = "3; 0; 0;c.psd;c;\r\n";
  const auto sizes = std::vector<std::string>{"size Partbase.txt " + std::to_string(base.size()),
                                              "size PalData.txt 3"};
  const auto with = [&sizes](std::vector<std::string> more) {
    std::vector<std::string> all = sizes;
    all.insert(all.end(), more.begin(), more.end());
    return JournalOf(all);
  };
  struct Case {
    const char* what;
    Tree found;
    Tree after;  // the journal gone or set aside, as listed
    bool whole;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"another process took a new file's name before the update's rename",
       {{"PalData.arh", "pal"},
        {"HairBase1.txt", base},
        {"a.psd", "the user's own"},
        {"~LumoraUpdate.jnl", with({Made("a.psd", "what the update wrote")})}},
       {{"Partbase.txt", base}, {"PalData.txt", "pal"}, {"a.psd", "the user's own"}},
       true,
       "kept a.psd"},
      {"a new file the user changed since",
       {{"Partbase.txt", base},
        {"PalData.arh", "pal"},
        {"b.psd", "changed"},
        {"~LumoraUpdate.jnl", with({Made("b.psd", "b")})}},
       {{"Partbase.txt", base}, {"PalData.txt", "pal"}, {"b.psd", "changed"}},
       true,
       "kept b.psd"},
      {"killed after everything but the journal's deletion",
       {{"Partbase.txt", base + record},
        {"PalData.txt", "pal"},
        {"b.psd", "b"},
        {"~LumoraUpdate.jnl",
         with({Made("b.psd", "b")})
             .append(JournalText(Appended("Partbase.txt", base.size(), record)))}},
       {{"Partbase.txt", base + record}, {"PalData.txt", "pal"}, {"b.psd", "b"}},
       true,
       "had finished"},
      {"finished, and Lumora appended a record since",
       {{"Partbase.txt", base + record + lumoras},
        {"PalData.txt", "pal"},
        {"~LumoraUpdate.jnl", with(Appended("Partbase.txt", base.size(), record))}},
       {{"Partbase.txt", base + record + lumoras}, {"PalData.txt", "pal"}},
       true,
       "had finished"},
      {"finished, and Lumora shortened the part base since",
       {{"Partbase.txt", "1;"},
        {"PalData.txt", "pal"},
        {"~LumoraUpdate.jnl", with(Appended("Partbase.txt", base.size(), record))}},
       {{"Partbase.txt", "1;"}, {"PalData.txt", "pal"}, {"~LumoraUpdate.1.jnl", ""}},
       true,
       "set the journal aside"},
      {"stopped while merging: the appended tail is cut off",
       {{"Partbase.txt", base + record},
        {"PalData.arh", "pal"},
        {"HairBase2.txt", record},
        {"HairBase4Check.txt", base},
        {"~LumoraUpdate.jnl", with({Made("partbase.txt", record),
                                    "append Partbase.txt " + std::to_string(base.size())})}},
       {{"Partbase.txt", base}, {"PalData.txt", "pal"}},
       true,
       "removed the 18 bytes the update appended"},
      {"a journal naming files outside the installation",
       {{"Partbase.txt", base},
        {"PalData.txt", "pal"},
        {"~LumoraUpdate.jnl", with({Made("..\\victim.txt", "v")})}},
       {{"Partbase.txt", base}, {"PalData.txt", "pal"}, {"~LumoraUpdate.jnl", ""}},
       false,
       "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_.path());
    fs::create_directories(install_.path());
    Lay(c.found);
    RegisterInstallation();
    const RepairOutcome outcome = Run();
    EXPECT_EQ(outcome.whole, c.whole) << outcome.report;
    EXPECT_NE(outcome.report.find(c.says), std::string::npos) << outcome.report;
    Tree now = Snapshot(install_.path());
    for (auto& [name, bytes] : now) {
      if (name.find(".jnl") != std::string::npos) bytes.clear();  // its text is not compared
    }
    EXPECT_TRUE(SameTree(c.after, now));
  }
}

TEST_F(RepairTest, RefusedWhileAnUpdateHoldsTheInstallation) {
  const Tree found = {{"Partbase.txt", "base"},
                      {"PalData.arh", "pal"},
                      {"~LumoraUpdate.jnl", JournalOf({"size PalData.txt 3"})}};
  Lay(found);
  RegisterInstallation();
  {
    const auto update = platform_.files->LockFolder(Dir().substr(0, Dir().size() - 1));
    ASSERT_NE(update, nullptr);
    const RepairOutcome outcome = Run();
    EXPECT_FALSE(outcome.whole);
    EXPECT_NE(outcome.report.find("is running"), std::string::npos) << outcome.report;
    EXPECT_TRUE(SameTree(found, Snapshot(install_.path())));
  }
  EXPECT_TRUE(Run().whole);
}

}  // namespace
}  // namespace lumora::testing
