#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/errors.h"
#include "platform/posix/posix_platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr char kLumora[] = "SOFTWARE\\Quandrix\\Lumora";

class PosixRegistryTest : public ::testing::Test {
 protected:
  std::string Hive() const { return dir_.Native("registry/HKEY_CURRENT_USER.reg"); }
  void Write(const std::string& text) { WriteFile(Hive(), text); }
  PosixRegistry Registry() const { return PosixRegistry(Hive()); }

  TempDir dir_;
};

TEST_F(PosixRegistryTest, ReadsStringsWithEscapesAndAnyLetterCase) {
  Write(
      "REGEDIT4\r\n"
      "\r\n"
      "; written by hand\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"
      "\"Version\"=\"3.1\"\r\n"
      "\"HDPath\"=\"C:\\\\Program Files\\\\Lumora\\\\\"\r\n"
      "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
      "\"Empty\"=\"\"\r\n"
      "\"Home\"=\"/home/jos\xC3\xA9/\xE6\x97\xA5\"\r\n"
      "@=\"default\"\r\n");
  PosixRegistry reg = Registry();
  EXPECT_EQ(reg.ReadString(kLumora, "Version"), "3.1");
  EXPECT_EQ(reg.ReadString("software\\QUANDRIX\\lumora", "hdpath"), "C:\\Program Files\\Lumora\\");
  EXPECT_EQ(reg.ReadString(kLumora, "Quote"), "say \"hi\"");
  EXPECT_EQ(reg.ReadString(kLumora, "Empty"), "");
  // UTF-8 text comes in the code page: é is 0xE9, a character it lacks is '?'.
  EXPECT_EQ(reg.ReadString(kLumora, "Home"), "/home/jos\xE9/?");
  EXPECT_EQ(reg.ReadString(kLumora, ""), "default");
}

TEST_F(PosixRegistryTest, MissingKeyValueOrFileIsNothing) {
  EXPECT_EQ(Registry().ReadString(kLumora, "Version"), std::nullopt);  // no file at all
  Write(
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix]\n\"Version\"=\"1\"\n\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\n\"Other\"=\"x\"\n");
  EXPECT_EQ(Registry().ReadString(kLumora, "Version"), std::nullopt);
  EXPECT_EQ(Registry().ReadString("SOFTWARE\\Quandrix\\Lumora\\Sub", "Other"), std::nullopt);
  EXPECT_EQ(Registry().ReadString("SOFTWARE\\Quandrix", "Version"), "1");
}

TEST_F(PosixRegistryTest, ValueTypes) {
  Write(
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\n"
      "\"Dword\"=dword:0000002a\n"
      "\"Binary\"=hex:01,02\n"
      "\"Multi\"=hex(7):41,00,00\n"
      "\"Expand\"=hex(2):25,54,45,4d,50,25,5c,\\\n"
      "  78,00\n"
      "\"Sz\"=hex(1):41,42,00\n"
      "\"Broken\"=\"no end\n");
  PosixRegistry reg = Registry();
  EXPECT_EQ(reg.ReadString(kLumora, "Expand"), "%TEMP%\\x");
  EXPECT_EQ(reg.ReadString(kLumora, "SZ"), "AB");
  for (const char* name : {"Dword", "Binary", "Multi", "Broken"}) {
    SCOPED_TRACE(name);
    try {
      reg.ReadString(kLumora, name);
      ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid data type for '") + name + "'");
    }
  }
  Write(
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\n"
      "\"Version\"=dword:00000001\n");
  try {
    Registry().ReadString(kLumora, "Version");
    ADD_FAILURE() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Version'");
  }
}

TEST_F(PosixRegistryTest, CreateKeyAppendsMissingSectionsAndKeepsEveryOtherByte) {
  const std::string before =
      "REGEDIT4\r\n"
      "\r\n"
      "; comment \\\r\n"
      "[HKEY_CURRENT_USER\\Software]\r\n"
      "\"A\"=hex:01,\\\r\n"
      "  02\r\n"
      "\"B\"=\"  spaced  \"";  // no line end on the last line
  Write(before);
  ASSERT_TRUE(Registry().CreateKey("SOFTWARE\\Quandrix\\Lumora"));
  const std::string after = ReadFile(Hive());
  EXPECT_EQ(after, before +
                       "\r\n"
                       // New sections continue the spelling of the existing parent.
                       "\r\n[HKEY_CURRENT_USER\\Software\\Quandrix]\r\n"
                       "\r\n[HKEY_CURRENT_USER\\Software\\Quandrix\\Lumora]\r\n");
  EXPECT_EQ(Registry().ReadString("software\\quandrix\\lumora", "x"), std::nullopt);
  EXPECT_EQ(Registry().ReadString("Software", "B"), "  spaced  ");
}

TEST_F(PosixRegistryTest, ExistingKeyIsNotRewritten) {
  // A key exists in any letter case, and, as on Windows, when a key below it exists.
  constexpr char kOnlyLumora[] =
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n";
  const struct {
    const char* hive;
    const char* key;
  } cases[] = {
      {"REGEDIT4\n\n[hkey_current_user\\software\\quandrix]\n", "SOFTWARE\\Quandrix"},
      {kOnlyLumora, "SOFTWARE\\Quandrix\\Lumora"},
      {kOnlyLumora, "software\\QUANDRIX"},
      {kOnlyLumora, "SOFTWARE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    Write(c.hive);
    struct stat st_before;
    ASSERT_EQ(stat(Hive().c_str(), &st_before), 0);
    ASSERT_TRUE(Registry().CreateKey(c.key));
    struct stat st_after;
    ASSERT_EQ(stat(Hive().c_str(), &st_after), 0);
    EXPECT_EQ(st_before.st_ino, st_after.st_ino);  // an atomic rewrite would give a new inode
    EXPECT_TRUE(st_before.st_mtim.tv_sec == st_after.st_mtim.tv_sec &&
                st_before.st_mtim.tv_nsec == st_after.st_mtim.tv_nsec);
    EXPECT_EQ(ReadFile(Hive()), c.hive);
  }
}

TEST_F(PosixRegistryTest, SubkeyOfAKeyImpliedByItsSubkeyAddsOnlyItsOwnSection) {
  // Lumora implies SOFTWARE and Quandrix; QuandrixLab is no subkey of Quandrix.
  const std::string before =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\QuandrixLab]\n\n"
      "[HKEY_CURRENT_USER\\Software\\quandrix\\Lumora]\n";
  Write(before);
  ASSERT_TRUE(Registry().CreateKey("SOFTWARE\\Quandrix\\Lumora\\Sub"));
  EXPECT_EQ(ReadFile(Hive()), before + "\n[HKEY_CURRENT_USER\\Software\\quandrix\\Lumora\\Sub]\n");
  Write(before);
  ASSERT_TRUE(Registry().CreateKey("SOFTWARE\\Quandrix\\Other"));
  EXPECT_EQ(ReadFile(Hive()), before + "\n[HKEY_CURRENT_USER\\Software\\quandrix\\Other]\n");
}

TEST_F(PosixRegistryTest, CreateKeyMakesTheFileAndFolderWhenMissing) {
  ASSERT_TRUE(Registry().CreateKey("SOFTWARE\\Quandrix"));
  EXPECT_EQ(
      ReadFile(Hive()),
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE]\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix]\n");
  // The rewrite leaves no temporary file beside the hive.
  EXPECT_EQ(testing::ListNames(dir_.Native("registry")),
            std::vector<std::string>{"HKEY_CURRENT_USER.reg"});
}

TEST_F(PosixRegistryTest, RewriteReplacesTheFileAtomically) {
  Write("REGEDIT4\n");
  struct stat st_before;
  ASSERT_EQ(stat(Hive().c_str(), &st_before), 0);
  ASSERT_TRUE(Registry().CreateKey("SOFTWARE"));
  struct stat st_after;
  ASSERT_EQ(stat(Hive().c_str(), &st_after), 0);
  // A new file renamed over the old one: a reader never sees a half-written hive.
  EXPECT_NE(st_before.st_ino, st_after.st_ino);
  EXPECT_EQ(ReadFile(Hive()), "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE]\n");
}

TEST_F(PosixRegistryTest, DefaultFileFollowsXdgConfigHome) {
  const char* old_xdg = getenv("XDG_CONFIG_HOME");
  std::string saved = old_xdg ? old_xdg : "";
  setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  EXPECT_EQ(PosixRegistry::DefaultFile(), Hive());
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(PosixRegistry::DefaultFile(), std::string(getenv("HOME") ? getenv("HOME") : "") +
                                              "/.config/registry/HKEY_CURRENT_USER.reg");
  if (old_xdg) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace lumora
