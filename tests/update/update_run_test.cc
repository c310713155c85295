#include "update/update_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/self_extractor.h"
#include "testing/archive_builder.h"
#include "update/part_base.h"
#include "update_fixture.h"

namespace lumora::testing {
namespace {

const char kInstallationText[] =
    "You have not correct installation for Lumora.\n\rPlease reinstall Lumora or run "
    "Lumora.exe .\n\r After exit start update again.";
const char kFileErrorText[] = "File error.\n\rIf you run Lumora Studio complete it and try again.";

const std::vector<std::string> kInstalledBase = {
    "# 10 - Addition",
    "10; -129; -120;addition\\Tattoo\\ba001.psd;tattoo old;",
    "2; 0; 0;Lips\\lip01.psd;lips;",
};
const std::vector<std::string> kNewBase = {
    "# 10 - Addition",
    "# tattoos",
    "#",
    "10; -129; -120;addition\\Tattoo\\ba045.psd;tattoo #1;",
    "10; -100; -90;addition\\Tattoo\\ba046.psd;tattoo #2;",
};

class UpdateRunTest : public UpdateFixture {
 protected:
  UpdateRunTest()
      : files_(*platform_.files),
        extractor_(files_, app_.get()),
        run_(*platform_.registry, files_, *app_, extractor_) {
    // What the window shows while each message is open.
    backend_.on_message = [this](const std::string&, const std::string& text) {
      const TForm1& f = app_->Form1;
      at_message_.push_back({text, f.Label1.Caption, f.Label2.Caption, f.Label3.Caption,
                             f.Label4.Caption, f.ProgressBar1.Position(), f.ProgressBar1.Min()});
      return kResultOk;
    };
  }

  void Install(const std::string& partbase = CrLf(kInstalledBase),
               const std::string& paldata = "pal one\r\npal two\r\n") {
    WriteFile(At("Partbase.txt"), partbase);
    WriteFile(At("PalData.txt"), paldata);
    RegisterInstallation();
  }

  static std::vector<ArchiveEntry> TattooArchive() {
    return {{"partbase.txt", CrLf(kNewBase)},
            {"Addition\\", ""},
            {"Addition\\Tattoo\\", ""},
            {"Addition\\Tattoo\\ba045.psd", std::string(70000, 'P') + "image 45"},
            {"Addition\\Tattoo\\ba046.psd", "image 46"}};
  }

  void UseArchive(const std::vector<ArchiveEntry>& entries) {
    const std::string path = home_.Native("LumoraUpdate.exe");
    extractor_.SetArchive(path, WriteUpdater(path, entries));
  }

  int Run() {
    return app_->Run([this] { run_.BrelinUpdate1Click(); });
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : app_->ShownMessages()) texts.push_back(m.text);
    return texts;
  }

  struct Seen {
    std::string text, label1, label2, label3, label4;
    int position, min;
  };

  WatchedFileSystem files_;
  SelfExtractor extractor_;
  UpdateRun run_;
  std::vector<Seen> at_message_;
};

// --- Discovery ---------------------------------------------------------------------------

TEST_F(UpdateRunTest, NoKeyCreatesItAndShowsTheInstallationMessage) {
  ASSERT_FALSE(KeyExists("SOFTWARE\\Quandrix"));
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(KeyExists("SOFTWARE\\Quandrix"));
  ASSERT_EQ(app_->ShownMessages().size(), 1u);
  EXPECT_EQ(app_->ShownMessages()[0].text, kInstallationText);
  EXPECT_EQ(app_->ShownMessages()[0].kind, MessageKind::Error);
  EXPECT_EQ(app_->Form1.Label2.Caption, "Finding Lumora");
  EXPECT_EQ(app_->Form1.Label1.Caption, " ");
  EXPECT_EQ(app_->Form1.Label3.Caption, " ");
}

TEST_F(UpdateRunTest, RegistryValuesThatNameNoInstallation) {
  Install();
  const RegValue dir = Sz("HDPath", install_.path());
  const struct {
    const char* name;
    std::vector<RegValue> values;
  } cases[] = {
      {"no Version", {dir}},
      {"the not-installed version", {Sz("Version", "0.0"), dir}},
      {"HDPath of another type is then never read", {Sz("Version", "0.0"), Dword("HDPath", 1)}},
      {"no HDPath", {Sz("Version", "1.0")}},
      {"an empty HDPath", {Sz("Version", "1.0"), Sz("HDPath", "")}},
      {"a name no folder has", {Sz("Version", "1.0"), Sz("HDPath", ")#Kest@(")}},
      {"a missing folder", {Sz("Version", "1.0"), Sz("HDPath", install_.path() + "/nowhere")}},
      // It would name a folder below wherever the updater was started.
      {"a relative path, even to the installation",
       {Sz("Version", "1.0"), Sz("HDPath", std::filesystem::relative(install_.path()).string())}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteRegistry(c.values);
    Application app(backend_, "LumoraUpdate.exe");
    SelfExtractor extractor(files_, &app);
    UpdateRun run(*platform_.registry, files_, app, extractor);
    EXPECT_EQ(run.FindInstallation(), "");
    ASSERT_EQ(app.ShownMessages().size(), 1u);
    EXPECT_EQ(app.ShownMessages()[0].text, kInstallationText);
  }
}

TEST_F(UpdateRunTest, InstallationDirectoryGetsOneBackslash) {
  Install();
  for (const std::string& hd : {install_.path(), install_.path() + "\\"}) {
    for (const char* version : {"1.0", ""}) {  // an empty Version passes
      WriteRegistry({Sz("Version", version), Sz("HDPath", hd)});
      EXPECT_EQ(run_.FindInstallation(), install_.path() + "\\") << hd;
    }
  }
  EXPECT_TRUE(app_->ShownMessages().empty());
}

TEST_F(UpdateRunTest, PartBaseMustBeAFileAndPalDataMustExist) {
  RegisterInstallation();
  ASSERT_TRUE(files_.CreateDirectory(Dir() + "Partbase.txt"));
  WriteFile(At("PalData.txt"), "x");
  EXPECT_EQ(run_.FindInstallation(), "");

  TempDir other;
  WriteRegistry({Sz("Version", "1"), Sz("HDPath", other.path())});
  WriteFile(other.Native("Partbase.txt"), "1;a;");
  const auto before = Snapshot(other.path());
  EXPECT_EQ(run_.FindInstallation(), "");
  EXPECT_EQ(Snapshot(other.path()), before);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kInstallationText, kInstallationText}));
}

TEST_F(UpdateRunTest, WrongTypedVersionReachesTheUncaughtReport) {
  Install();
  WriteRegistry({Dword("Version", 1), Sz("HDPath", install_.path())});
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Invalid data type for 'Version'."});
  EXPECT_EQ(backend_.last_error_box, "Invalid data type for 'Version'.");
}

TEST_F(UpdateRunTest, WrongTypedPathReachesTheUncaughtReport) {
  Install();
  WriteRegistry({Sz("Version", "1.0"), Dword("HDPath", 1)});
  const auto before = Snapshot(install_.path());
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Invalid data type for 'HDPath'."});
  EXPECT_EQ(Snapshot(install_.path()), before);
}

// --- Whole runs ----------------------------------------------------------------------------

TEST_F(UpdateRunTest, SuccessfulRunMergesRestoresAndCloses) {
  Install();
  UseArchive(TattooArchive());
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Database successfully updated."});
  EXPECT_EQ(app_->ShownMessages()[0].kind, MessageKind::Information);
  ASSERT_EQ(at_message_.size(), 1u);
  EXPECT_EQ(at_message_[0].label2, "Complete.        ");
  EXPECT_EQ(at_message_[0].label1, "    ");
  EXPECT_EQ(at_message_[0].label3, std::string(16, ' '));
  EXPECT_EQ(at_message_[0].label4, " ");
  EXPECT_EQ(at_message_[0].position, at_message_[0].min);

  EXPECT_EQ(ReadFile(At("Partbase.txt")), CrLf(kInstalledBase) + CrLf(kNewBase));
  EXPECT_EQ(ReadFile(At("PalData.txt")), "pal one\r\npal two\r\n");
  EXPECT_EQ(ListNames(install_.path()),
            (std::vector<std::string>{"Addition", "PalData.txt", "Partbase.txt"}));
  EXPECT_EQ(ReadFile(At("Addition/Tattoo/ba046.psd")), "image 46");
  EXPECT_TRUE(app_->Terminating());
}

TEST_F(UpdateRunTest, DuplicatesWarnBeforeSuccess) {
  Install();
  auto entries = TattooArchive();
  entries[0].data = CrLf({"# new", "10; 1; 1;ADDITION\\tattoo\\BA001.PSD;same image;",
                          "# dropped too", "10; 1; 1;addition\\Tattoo\\ba045.psd;new;"});
  UseArchive(entries);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"Duplication elements!", "Database successfully updated."}));
  EXPECT_EQ(app_->ShownMessages()[0].kind, MessageKind::Warning);
  EXPECT_EQ(ReadFile(At("Partbase.txt")),
            CrLf(kInstalledBase) + CrLf({"# new", "10; 1; 1;addition\\Tattoo\\ba045.psd;new;"}));
}

TEST_F(UpdateRunTest, ArchiveWithoutPartBaseLeavesItByteForByte) {
  const std::string odd = "# no line end at the end\r\n1;a;\n2;b;";
  Install(odd);
  UseArchive({{"Addition\\", ""}, {"Addition\\x.psd", "x"}});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ReadFile(At("Partbase.txt")), odd);
  EXPECT_EQ(ReadFile(At("PalData.txt")), "pal one\r\npal two\r\n");
  EXPECT_FALSE(Exists(At("HairBase4Check.txt")));
}

TEST_F(UpdateRunTest, NewPalDataIsAppended) {
  Install(CrLf(kInstalledBase), "pal one\r\npal two");
  auto entries = TattooArchive();
  entries.push_back({"PalData.txt", "new a\r\nnew b\r\n"});
  UseArchive(entries);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ReadFile(At("PalData.txt")), "pal one\r\npal two\r\nnew a\r\nnew b\r\n");
  EXPECT_FALSE(Exists(At("PalData.arh")));
}

TEST_F(UpdateRunTest, StopsShowTheirMessageAndCaptions) {
  struct Case {
    const char* name;
    std::string leftover;  // a file left from an earlier run
    std::string partbase;
    std::string held;  // a file that another program holds open during the run
    const char* text;
    const char* label2;
    std::vector<std::string> names_after;
    int status = 1;
  };
  const std::vector<Case> cases = {
      {"left PalData.arh",
       "PalData.arh",
       CrLf(kInstalledBase),
       "",
       kFileErrorText,
       "Finding Lumora",
       {"PalData.arh", "PalData.txt", "Partbase.txt"}},
      {"bad basic index",
       "",
       CrLf({"x1;a;"}),
       "",
       "Bad file PARTBASE.TXT. Basic index error.",
       "Finding Lumora",
       {"PalData.txt", "Partbase.txt"}},
      {"a damaged journal: the undo cannot start, so nothing starts",
       "~LumoraUpdate.jnl",
       CrLf(kInstalledBase),
       "",
       kFileErrorText,
       "Undoing an interrupted update...",
       {"PalData.txt", "Partbase.txt", "~LumoraUpdate.jnl"},
       3},
      {"left HairBase2.txt: the merge would fail, so nothing starts",
       "HairBase2.txt",
       CrLf(kInstalledBase),
       "",
       kFileErrorText,
       "Finding Lumora",
       {"HairBase2.txt", "PalData.txt", "Partbase.txt"}},
      {"left HairBase1.txt: the part base's rename would fail, so nothing starts",
       "HairBase1.txt",
       CrLf(kInstalledBase),
       "",
       kFileErrorText,
       "Finding Lumora",
       {"HairBase1.txt", "PalData.txt", "Partbase.txt"}},
      {"part base held: its rename fails after the data file's",
       "",
       CrLf(kInstalledBase),
       "Partbase.txt",
       kFileErrorText,
       "Finding Lumora",
       {"PalData.txt", "Partbase.txt"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    WriteFile(dir.Native("Partbase.txt"), c.partbase);
    WriteFile(dir.Native("PalData.txt"), "pal");
    if (!c.leftover.empty()) WriteFile(dir.Native(c.leftover), "left\n");
    std::unique_ptr<HeldOpen> held;
    if (!c.held.empty()) held = std::make_unique<HeldOpen>(dir.Native(c.held));
    WriteRegistry({Sz("Version", "1.0"), Sz("HDPath", dir.path())});
    NullBackend backend;
    Application app(backend, "LumoraUpdate.exe");
    SelfExtractor extractor(files_, &app);
    const std::string path = dir.path() + ".exe";
    extractor.SetArchive(path, WriteUpdater(path, TattooArchive()));
    UpdateRun run(*platform_.registry, files_, app, extractor);
    EXPECT_EQ(app.Run([&] { run.BrelinUpdate1Click(); }), c.status) << c.name;
    ASSERT_EQ(app.ShownMessages().size(), 1u) << c.name;
    EXPECT_EQ(app.ShownMessages()[0].text, c.text) << c.name;
    EXPECT_EQ(app.Form1.Label2.Caption, c.label2) << c.name;
    EXPECT_EQ(ListNames(dir.path()), c.names_after) << c.name;
    std::remove(path.c_str());
  }
}

TEST_F(UpdateRunTest, DataHeldOpenByLumoraStopsBeforeAnythingChanges) {
  Install();
  UseArchive(TattooArchive());
  const auto before = Snapshot(install_.path());
  {
    HeldOpen lumora(At("PalData.txt"));
    EXPECT_EQ(Run(), 1);
  }
  EXPECT_EQ(Texts(), std::vector<std::string>{kFileErrorText});
  EXPECT_EQ(Snapshot(install_.path()), before);
}

TEST_F(UpdateRunTest, CloseDuringExtractionRunsOnToTheEnd) {
  Install();
  UseArchive(TattooArchive());
  bool closed = false;
  std::vector<std::string> at_close;  // the captions when extraction began
  backend_.on_pump = [&](Application& app) {
    if (!closed && app.Form1.Label3.Caption == "Extracting file:") {
      closed = true;
      at_close = {app.Form1.Label1.Caption, app.Form1.Label2.Caption};
      app.CloseMainWindow();
    }
  };
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(closed);
  EXPECT_EQ(at_close, (std::vector<std::string>{"0%", "Please WAIT...   "}));
  ASSERT_EQ(app_->ShownMessages().size(), 1u);
  EXPECT_EQ(app_->ShownMessages()[0].result, kResultClosed);  // closed by itself
  EXPECT_EQ(backend_.boxes_closed_by_themselves, 1);
  EXPECT_EQ(ReadFile(At("Partbase.txt")), CrLf(kInstalledBase) + CrLf(kNewBase));
}

TEST_F(UpdateRunTest, DamagedUpdaterLeavesTheInstallationUntouched) {
  Install();
  const UpdaterFile updater = BuildUpdater(TattooArchive());
  const std::string path = home_.Native("LumoraUpdate.exe");
  const auto before = Snapshot(install_.path());
  // Halfway through the archive (the image before it is not covered by any check).
  const size_t middle = static_cast<size_t>(updater.start_offset) +
                        (updater.bytes.size() - static_cast<size_t>(updater.start_offset)) / 2;
  const std::vector<std::string> damaged = {
      Truncate(updater.bytes, updater.bytes.size() - 30), Truncate(updater.bytes, middle),
      FlipByte(updater.bytes, middle),  // found by the integrity trailer
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE("damage " + std::to_string(i));
    WriteFile(path, damaged[i]);
    NullBackend backend;
    Application app(backend, "LumoraUpdate.exe");
    SelfExtractor extractor(files_, &app);
    extractor.SetArchive(path, updater.start_offset);
    UpdateRun run(*platform_.registry, files_, app, extractor);
    EXPECT_EQ(app.Run([&] { run.BrelinUpdate1Click(); }), 1);
    ASSERT_EQ(app.ShownMessages().size(), 1u);
    EXPECT_EQ(app.ShownMessages()[0].caption, app.Title());  // the uncaught report
    EXPECT_TRUE(SameTree(before, Snapshot(install_.path())));
  }
}

// What the update takes of the disk at its peak, the end of the merges: the archive's
// decoded files and the working copy of the installed part base in whole clusters, the
// lines appended to the part base and the data file (CR LF lines here, so their own
// size), and the margin.
int64_t SpaceNeeded(const std::vector<ArchiveEntry>& entries, const std::string& installed_base) {
  const auto clusters = [](size_t n) { return static_cast<int64_t>((n + 4095) / 4096 * 4096); };
  int64_t needed = clusters(installed_base.size()) + updaterun::kFreeSpaceMargin;
  // The journal: its header, and a line for each entry, its name escaped at the most.
  size_t journal = 128;
  for (const ArchiveEntry& e : entries) journal += 8 + 3 * e.name.size();
  needed += clusters(journal);
  for (const ArchiveEntry& e : entries) {
    if (e.name.back() == '\\') {
      needed += 4096;
      continue;
    }
    needed += clusters(e.data.size());
    if (e.name == "partbase.txt" || e.name == "PalData.txt") needed += clusters(e.data.size() + 2);
  }
  return needed;
}

TEST_F(UpdateRunTest, JustEnoughDiskSpaceIsEnough) {
  Install();
  UseArchive(TattooArchive());
  files_.free_space = SpaceNeeded(TattooArchive(), CrLf(kInstalledBase));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Database successfully updated."});
}

TEST_F(UpdateRunTest, TooLittleDiskSpaceStopsBeforeAnythingChanges) {
  Install();
  UseArchive(TattooArchive());
  // One byte short: the working copy of the part base counts too.
  files_.free_space = SpaceNeeded(TattooArchive(), CrLf(kInstalledBase)) - 1;
  const auto before = Snapshot(install_.path());
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Disk write error or disk is full."});
  EXPECT_EQ(app_->ShownMessages()[0].kind, MessageKind::Error);
  EXPECT_EQ(Snapshot(install_.path()), before);
}

// Every file and folder the update makes takes an entry of the disk (an inode), and so do
// the journal, the working copy of the part base and the scratch file: the tattoo archive's
// 3 files and 2 folders need 8.
TEST_F(UpdateRunTest, JustEnoughFileEntriesAreEnough) {
  Install();
  UseArchive(TattooArchive());
  files_.free_entries = 8;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Database successfully updated."});
}

TEST_F(UpdateRunTest, OneFileEntryShortStopsBeforeAnythingChanges) {
  Install();
  UseArchive(TattooArchive());
  files_.free_entries = 7;
  const auto before = Snapshot(install_.path());
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Disk write error or disk is full."});
  EXPECT_EQ(Snapshot(install_.path()), before);
}

// Entries that the merges or the renames after them would trip over stop the update
// before anything changes.
TEST_F(UpdateRunTest, CheckPredictsTheMerges) {
  const auto with = [](std::vector<ArchiveEntry> entries, const ArchiveEntry& more) {
    entries.push_back(more);
    return entries;
  };
  struct Case {
    const char* what;
    std::vector<ArchiveEntry> entries;
    std::function<void(TempDir&)> install = [](TempDir&) {};  // beside the two files
    const char* text = kFileErrorText;
  };
  std::vector<Case> cases = {
      {"a folder named like the data file", with(TattooArchive(), {"PalData.txt\\", ""})},
      {"a folder named like the part base", {{"partbase.txt\\", ""}}},
      {"HairBase2.txt beside a new part base", with(TattooArchive(), {"HAIRBASE2.TXT", "x"})},
  };
#ifndef _WIN32
  // Names that differ only in letter case stand side by side here; the renames and merges
  // would take one for the other, and lose lines of both.
  const auto twin = [](const char* name) {
    return [name](TempDir& dir) { WriteFile(dir.Native(name), "twin\r\n"); };
  };
  cases.push_back({"a twin of the data file, and a new data file",
                   with(TattooArchive(), {"PalData.txt", "new pal\r\n"}), twin("paldata.txt")});
  cases.push_back({"a twin of the data file", TattooArchive(), twin("PALDATA.TXT")});
  cases.push_back(
      {"a twin of the part base, and a new part base", TattooArchive(), twin("partbase.txt")});
  cases.push_back({"a twin of the part base", {{"x.psd", "x"}}, twin("PartBase.txt")});
  // The working copy is made by a create that never follows a link.
  cases.push_back({"the working copy's name is a link to a file", TattooArchive(),
                   [](TempDir& dir) {
                     WriteFile(dir.Native("elsewhere.txt"), "keep");
                     symlink("elsewhere.txt", dir.Native("HairBase4Check.txt").c_str());
                   },
                   "File access denied."});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteFile(dir.Native("Partbase.txt"), CrLf(kInstalledBase));
    WriteFile(dir.Native("PalData.txt"), "pal");
    c.install(dir);
    WriteRegistry({Sz("Version", "1.0"), Sz("HDPath", dir.path())});
    const auto before = Snapshot(dir.path());
    NullBackend backend;
    Application app(backend, "LumoraUpdate.exe");
    SelfExtractor extractor(files_, &app);
    const std::string path = dir.path() + ".exe";
    extractor.SetArchive(path, WriteUpdater(path, c.entries));
    UpdateRun run(*platform_.registry, files_, app, extractor);
    EXPECT_EQ(app.Run([&] { run.BrelinUpdate1Click(); }), 1);
    ASSERT_EQ(app.ShownMessages().size(), 1u);
    EXPECT_EQ(app.ShownMessages()[0].text, c.text);
    EXPECT_TRUE(SameTree(before, Snapshot(dir.path())));
    std::remove(path.c_str());
  }
}

TEST_F(UpdateRunTest, SuccessIsToldOnlyOnceTheUpdateIsOnDisk) {
  Install();
  UseArchive(TattooArchive());
  int syncs_at_success = -1;
  backend_.on_message = [&](const std::string&, const std::string& text) {
    if (text == "Database successfully updated.") syncs_at_success = files_.syncs;
    return kResultOk;
  };
  EXPECT_EQ(Run(), 0);
  // Names are given after syncs while the update runs; the last sync comes before success.
  EXPECT_GT(syncs_at_success, 1);
  EXPECT_EQ(syncs_at_success, files_.syncs);
}

TEST_F(UpdateRunTest, RestoreRenameRefusedWhileTheDataIsHeld) {
  // An archive without part base: RestoreBaseFiles must rename "HairBase1.txt" back, and a
  // holder of the part base refuses it.
  Install();
  UseArchive({{"x.psd", "x"}});
  std::unique_ptr<HeldOpen> holder;
  backend_.on_pump = [&](Application& app) {
    if (!holder && app.Form1.Label2.Caption == "Renewing files...") {
      holder = std::make_unique<HeldOpen>(At("HairBase1.txt"));
    }
  };
  // The failed run's undo cannot give the name back either: an interrupted update remains
  // (exit status 3), and the next run, with the file closed, undoes it and updates.
  EXPECT_EQ(Run(), 3);
  holder.reset();
  EXPECT_EQ(Texts(), std::vector<std::string>{kFileErrorText});
  EXPECT_EQ(app_->Form1.Label2.Caption, "Renewing files...");
  EXPECT_EQ(ReadFile(At("HairBase1.txt")), CrLf(kInstalledBase));
  EXPECT_EQ(ListNames(install_.path()), (std::vector<std::string>{"HairBase1.txt", "PalData.arh",
                                                                  "x.psd", "~LumoraUpdate.jnl"}));
  NullBackend backend;
  Application app(backend, "LumoraUpdate.exe");
  SelfExtractor extractor(files_, &app);
  extractor.SetArchive(home_.Native("LumoraUpdate.exe"), extractor_.StartOffset());
  UpdateRun again(*platform_.registry, files_, app, extractor);
  EXPECT_EQ(app.Run([&] { again.BrelinUpdate1Click(); }), 0);
  EXPECT_EQ(ListNames(install_.path()),
            (std::vector<std::string>{"PalData.txt", "Partbase.txt", "x.psd"}));
}

}  // namespace
}  // namespace lumora::testing
