// Whole updates with the power cut at every change they make: what stands under an
// installation name afterwards is as it was or whole, --repair gives back the installation
// byte for byte, and the update then runs to the result of an uninterrupted one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "archive/entry_name.h"
#include "archive/self_extractor.h"
#include "power_cut_file_system.h"
#include "testing/archive_builder.h"
#include "update/part_base.h"
#include "update/repair.h"
#include "update/update_run.h"
#include "update_fixture.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

// The sample update that the demo packs, as its manifest lists it.
std::vector<ArchiveEntry> SampleUpdate() {
  const char* data = std::getenv("LUMORA_TEST_DATA");
  // LUMORA_TEST_DATA names tests/data of the sources (which need not exist).
  const std::string examples =
      (fs::path(data ? data : "tests/data").parent_path().parent_path() / "examples").string();
  std::ifstream manifest(examples + "/sample-update.manifest");
  std::vector<ArchiveEntry> entries;
  for (std::string line; std::getline(manifest, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string native = line;
    for (char& c : native) c = c == '\\' ? '/' : c;
    entries.push_back(
        {line, line.back() == '\\' ? "" : ReadFile(examples + "/sample-update/" + native)});
  }
  return entries;
}

std::string Records(int first, int count, const std::string& folder) {
  std::string text = "# " + folder + "\r\n";
  for (int i = first; i < first + count; ++i) {
    text += std::to_string(i) + "; -129; -120;" + folder + "\\img" + std::to_string(i) +
            ".psd;record " + std::to_string(i) + ";\r\n";
  }
  return text;
}

// Names an update leaves only while it runs: they never hold an installed file's bytes.
bool IsRunsOwnName(const std::string& rel) {
  const std::string base = rel.substr(rel.find_last_of('/') + 1);
  for (const char* name : {"HairBase1.txt", "HairBase2.txt", "HairBase4Check.txt", "PalData.arh",
                           "TempFile.tmp", "~LumoraUpdate.jnl"}) {
    if (rel == name) return true;
  }
  return IsWorkingName(base);
}

struct Case {
  const char* name;
  Tree installed;  // relative names with '/', folders ending in '/'
  std::vector<ArchiveEntry> archive;
  int naming_batch;
};

class PowerCutTest : public UpdateFixture {
 protected:
  void Lay(const Tree& tree) {
    for (const auto& e : fs::directory_iterator(install_.path())) fs::remove_all(e.path());
    for (const auto& [rel, bytes] : tree) {
      if (rel.back() == '/') {
        fs::create_directories(install_.Native(rel));
      } else {
        fs::create_directories(fs::path(install_.Native(rel)).parent_path());
        WriteFile(install_.Native(rel), bytes);
      }
    }
  }

  // One update through files; exit status, or -1 when the power went.
  int Update(FileSystem& files, const Case& c) {
    NullBackend backend;
    Application app(backend, "LumoraUpdate.exe");
    SelfExtractor extractor(files, &app);
    extractor.naming_batch = c.naming_batch;
    extractor.SetArchive(updater_, offset_);
    UpdateRun run(*platform_.registry, files, app, extractor);
    try {
      const int status = app.Run([&] { run.BrelinUpdate1Click(); });
      shown_.clear();
      for (const auto& m : app.ShownMessages()) shown_ += m.text + "\n";
      return status;
    } catch (const PowerCut&) {
      return -1;
    }
  }

  RepairOutcome RepairNow(FileSystem& files) {
    return Repair(*platform_.registry, files).RunIn(Dir());
  }

  // Every file under an installation name is absent, as before, or whole: as it was, as
  // the update leaves it, or (the part base and the data file between extraction and
  // merge) the archive's own.
  ::testing::AssertionResult NothingTorn(const Tree& before, const Tree& after, const Case& c) {
    for (const auto& [rel, bytes] : Snapshot(install_.path())) {
      if (rel.back() == '/' || IsRunsOwnName(rel)) continue;
      auto was = before.find(rel);
      auto will = after.find(rel);
      if ((was != before.end() && was->second == bytes) ||
          (will != after.end() && will->second == bytes)) {
        continue;
      }
      bool archives = false;
      for (const ArchiveEntry& e : c.archive) {
        archives =
            archives || (lumora::UpperCase(e.name) == lumora::UpperCase(rel) && e.data == bytes);
      }
      if (!archives) {
        return ::testing::AssertionFailure() << rel << " is torn (" << bytes.size() << " bytes)";
      }
    }
    return ::testing::AssertionSuccess();
  }

  void CutEverywhere(const Case& c) {
    SCOPED_TRACE(c.name);
    RegisterInstallation();
    updater_ = home_.Native("LumoraUpdate.exe");
    offset_ = WriteUpdater(updater_, c.archive);
    Lay(c.installed);
    const Tree before = Snapshot(install_.path());
    ASSERT_GT(c.archive.size(), 3u);
    ASSERT_EQ(Update(*platform_.files, c), 0) << shown_;
    const Tree after = Snapshot(install_.path());

    int cuts = 0;
    for (int at = 1;; ++at) {
      Lay(c.installed);
      PowerCutFileSystem cut(*platform_.files, at);
      const int status = Update(cut, c);
      if (!cut.cut()) {
        // The update made fewer changes than this: it ran to its end.
        ASSERT_EQ(status, 0);
        ASSERT_TRUE(SameTree(after, Snapshot(install_.path())));
        break;
      }
      ++cuts;
      SCOPED_TRACE("power cut at change " + std::to_string(at));
      cut.DropUnsynced();
      ASSERT_TRUE(NothingTorn(before, after, c));
      const bool journal = Exists(install_.Native("~LumoraUpdate.jnl"));
      if (at % 2 == 1 && !(!journal && SameTree(after, Snapshot(install_.path())))) {
        // Every other cut, no repair: the next run heals what was interrupted and updates
        // (where the journal's deletion stood, the update had ended: nothing to heal).
        ASSERT_EQ(Update(*platform_.files, c), 0) << shown_;
        ASSERT_TRUE(SameTree(after, Snapshot(install_.path())));
        continue;
      }
      const RepairOutcome repaired = RepairNow(*platform_.files);
      ASSERT_TRUE(repaired.whole) << repaired.report;
      if (SameTree(after, Snapshot(install_.path())) &&
          (!journal || repaired.report.find("had finished") != std::string::npos)) {
        // The journal's deletion stood, or the update had done everything else and repair
        // finished it: the update is whole, and nothing was undone.
        continue;
      }
      ASSERT_TRUE(SameTree(before, Snapshot(install_.path()))) << repaired.report;
      ASSERT_EQ(Update(*platform_.files, c), 0) << shown_;
      ASSERT_TRUE(SameTree(after, Snapshot(install_.path())));
    }
    EXPECT_GT(cuts, 20);
  }

  std::string updater_;
  int64_t offset_ = 0;
  std::string shown_;  // the messages of the last update that ran to its end
};

TEST_F(PowerCutTest, SampleUpdateCutAtEveryChange) {
  CutEverywhere({"the sample update",
                 {{"Partbase.txt", Records(1, 5, "Lips")},
                  {"PalData.txt", "pal one\r\npal two\r\n"},
                  {"Addition/", ""},
                  {"Addition/old.psd", "old"}},
                 SampleUpdate(),
                 4});
}

TEST_F(PowerCutTest, BigPartBaseAndNewDataFileCutAtEveryChange) {
  CutEverywhere({"a big part base and a new data file",
                 {{"Partbase.txt", Records(1, 6000, "Lips")},
                  {"PalData.txt", "pal one\r\npal two"},  // no line end after the last line
                  {"Pics/", ""},
                  {"Pics/kept.psd", "mine"}},
                 {{"partbase.txt", Records(7000, 300, "Pics") + Records(10, 2, "Lips")},
                  {"PalData.txt", "new pal\r\nmore pal\r\n"},
                  {"Pics\\kept.psd", "theirs"},
                  {"Pics\\a.psd", std::string(9000, 'a')},
                  {"Pics\\b.psd", "b"},
                  {"New\\", ""},
                  {"New\\Deep\\", ""},
                  {"New\\Deep\\c.psd", std::string(70000, 'c')},
                  {"New\\d.psd", "d"}},
                 2});
}

// A change that fails (a write, a rename, a sync, a deletion refused as by a disk error),
// at every change of the update in turn: the run undoes itself before its message, and the
// installation is as it was (exit status 1), or the failure did not matter and the update
// stands (exit status 0). Never anything in between.
TEST_F(PowerCutTest, FailureAtEveryChangeIsUndoneBeforeItsMessage) {
  const Case c{"a failure at every change",
               {{"Partbase.txt", Records(1, 40, "Lips")},
                {"PalData.txt", "pal\r\n"},
                {"Pics/", ""},
                {"Pics/kept.psd", "mine"}},
               {{"partbase.txt", Records(100, 20, "Pics")},
                {"PalData.txt", "new\r\n"},
                {"Pics\\", ""},
                {"Pics\\a.psd", "a"},
                {"New\\", ""},
                {"New\\b.psd", "b"}},
               1};
  RegisterInstallation();
  updater_ = home_.Native("LumoraUpdate.exe");
  offset_ = WriteUpdater(updater_, c.archive);
  Lay(c.installed);
  const Tree before = Snapshot(install_.path());
  ASSERT_EQ(Update(*platform_.files, c), 0) << shown_;
  const Tree after = Snapshot(install_.path());
  int undone = 0;
  for (int at = 1;; ++at) {
    SCOPED_TRACE("change " + std::to_string(at) + " fails");
    fs::remove_all(install_.path());
    fs::create_directories(install_.path());
    Lay(c.installed);
    PowerCutFileSystem failing(*platform_.files, at, true);
    const int status = Update(failing, c);
    if (!failing.failed()) break;
    const Tree now = Snapshot(install_.path());
    if (status == 0) {
      // A working file whose deletion the disk refused stays, as it always has: the
      // update stands all the same.
      Tree stood = now;
      stood.erase("HairBase4Check.txt");
      stood.erase("HairBase2.txt");
      EXPECT_TRUE(SameTree(after, stood));
      continue;
    }
    ++undone;
    EXPECT_EQ(status, 1) << shown_;
    EXPECT_TRUE(SameTree(before, now)) << shown_;
  }
  EXPECT_GT(undone, 10);
}

// A repair is itself cut at every change it makes; the next repair finishes it.
TEST_F(PowerCutTest, RepairCutAtEveryChangeIsFinishedByTheNext) {
  const Case c{"repair cut short",
               {{"Partbase.txt", Records(1, 50, "Lips")}, {"PalData.txt", "pal\r\n"}},
               {{"partbase.txt", Records(100, 20, "Pics")},
                {"PalData.txt", "new\r\n"},
                {"Pics\\", ""},
                {"Pics\\a.psd", "a"},
                {"Pics\\b.psd", "b"}},
               1};
  RegisterInstallation();
  updater_ = home_.Native("LumoraUpdate.exe");
  offset_ = WriteUpdater(updater_, c.archive);
  Lay(c.installed);
  const Tree before = Snapshot(install_.path());
  // Cut late, in the merges, and early, among the new files.
  for (int update_cut : {40, 14}) {
    for (int at = 1;; ++at) {
      Lay(c.installed);
      PowerCutFileSystem during_update(*platform_.files, update_cut);
      ASSERT_EQ(Update(during_update, c), -1);
      during_update.DropUnsynced();
      PowerCutFileSystem during_repair(*platform_.files, at);
      try {
        RepairNow(during_repair);
      } catch (const PowerCut&) {
      }
      if (!during_repair.cut()) break;
      SCOPED_TRACE("update cut at " + std::to_string(update_cut) + ", repair cut at " +
                   std::to_string(at));
      during_repair.DropUnsynced();
      const RepairOutcome repaired = RepairNow(*platform_.files);
      ASSERT_TRUE(repaired.whole) << repaired.report;
      ASSERT_TRUE(SameTree(before, Snapshot(install_.path()))) << repaired.report;
    }
  }
}

}  // namespace
}  // namespace lumora::testing
