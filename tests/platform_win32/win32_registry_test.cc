// The registry services against the real HKEY_CURRENT_USER of the system (under Wine, the
// prefix's user hive). Each test works below a key of its own and deletes it afterwards.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/errors.h"
#include "platform/win32/win32_platform.h"

namespace lumora {
namespace {

class Win32RegistryTest : public ::testing::Test {
 protected:
  Win32RegistryTest()
      : key_("Software\\LumoraTest\\Run" + std::to_string(std::random_device{}())) {}
  ~Win32RegistryTest() override { RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str()); }

  void Set(const std::string& name, DWORD type, const std::string& bytes) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  bool KeyExists(const std::string& key) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(h);
    return true;
  }

  std::string key_;
  Win32Registry reg_;
};

TEST_F(Win32RegistryTest, CreateKeyMakesMissingParentsAndKeepsExistingValues) {
  const std::string deep = key_ + "\\SOFTWARE\\Quandrix";
  ASSERT_FALSE(KeyExists(deep));
  EXPECT_TRUE(reg_.CreateKey(deep));
  EXPECT_TRUE(KeyExists(deep));
  Set("Version", REG_SZ, std::string("5.0", 4));
  EXPECT_TRUE(reg_.CreateKey(key_));
  EXPECT_EQ(reg_.ReadString(key_, "Version"), "5.0");
}

TEST_F(Win32RegistryTest, StringValuesAreReadAsStoredWhateverTheirTerminator) {
  struct Case {
    const char* name;
    DWORD type;
    std::string stored;
    std::string read;
  };
  const Case cases[] = {
      {"Terminated", REG_SZ, std::string("C:\\Lumora\\", 11), "C:\\Lumora\\"},
      {"Unterminated", REG_SZ, "C:\\Data", "C:\\Data"},
      {"Empty", REG_SZ, std::string(1, '\0'), ""},
      {"NoBytes", REG_SZ, "", ""},
      {"Expandable", REG_EXPAND_SZ, std::string("%TEMP%\\x", 9), "%TEMP%\\x"},
      {"EmbeddedNul", REG_SZ, std::string("ab\0cd\0", 6), "ab"},
      {"Ansi", REG_SZ, std::string("D:\\Kunde\xe9", 10), "D:\\Kunde\xe9"},
  };
  for (const Case& c : cases) Set(c.name, c.type, c.stored);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reg_.ReadString(key_, c.name), c.read);
  }
  // Value and key names match without regard to letter case.
  EXPECT_EQ(reg_.ReadString(key_, "unterminated"), "C:\\Data");
  std::string upper = key_;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(reg_.ReadString(upper, "UNTERMINATED"), "C:\\Data");
}

TEST_F(Win32RegistryTest, MissingKeyOrValueGivesNothing) {
  EXPECT_EQ(reg_.ReadString(key_ + "\\Lumora", "Version"), std::nullopt);
  Set("Other", REG_SZ, "x");
  EXPECT_EQ(reg_.ReadString(key_, "Version"), std::nullopt);
  // Reading creates nothing.
  EXPECT_FALSE(KeyExists(key_ + "\\Lumora"));
}

TEST_F(Win32RegistryTest, ValueOfAnotherTypeIsRefusedWithItsName) {
  const struct {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"Version", REG_DWORD, std::string("\x2a\0\0\0", 4)},
      {"HDPath", REG_BINARY, "C:\\"},
      {"List", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {"Big", REG_QWORD, std::string(8, '\1')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Set(c.name, c.type, c.data);
    try {
      reg_.ReadString(key_, c.name);
      ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), InvalidDataTypeText(c.name));
    }
  }
}

TEST_F(Win32RegistryTest, LongValueIsReadWhole) {
  const std::string path(3000, 'p');
  Set("HDPath", REG_SZ, path + std::string(1, '\0'));
  EXPECT_EQ(reg_.ReadString(key_, "HDPath"), path);
}

}  // namespace
}  // namespace lumora
