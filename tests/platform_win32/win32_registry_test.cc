// The registry services against the real HKEY_CURRENT_USER of the system (under Wine, the
// prefix's user hive). Each test works below a key of its own and deletes it afterwards.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <algorithm>
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
  // A string value as programs that write the registry in UTF-16 store it (with its NUL).
  void SetWide(const std::wstring& subkey, const std::wstring& name, DWORD type,
               const std::wstring& text) {
    const std::wstring key = std::wstring(key_.begin(), key_.end()) + subkey;
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
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

// Core text with each '^' as the escape byte 0x01 that stands before the four hex digits of
// a UTF-16 unit that the ANSI code page cannot write.
std::string E(std::string text) {
  std::replace(text.begin(), text.end(), '^', '\x01');
  return text;
}

// Strings in any script, as the user's own folders name them; REG_EXPAND_SZ expanded. The
// expected forms are those of code page 1252 (Wine with a C.UTF-8 or no locale).
TEST_F(Win32RegistryTest, StringsInAnyScriptAndExpandableStrings) {
  if (GetACP() != 1252) GTEST_SKIP() << "the expected texts are those of code page 1252";
  char drive[16] = {};
  ASSERT_GT(GetEnvironmentVariableA("SystemDrive", drive, sizeof drive), 0u);
  ASSERT_TRUE(SetEnvironmentVariableW(L"LUMORA_TEST_HOME", L"C:\\Users\\Ярослав"));
  SetEnvironmentVariableW(L"LUMORA_TEST_UNSET", nullptr);
  const std::string yaroslav = E("^042F^0440^043E^0441^043B^0430^0432");
  const struct {
    const char* name;
    DWORD type;
    const wchar_t* stored;
    std::string read;
  } cases[] = {
      {"Cyrillic", REG_SZ, L"C:\\Users\\Ярослав\\Lumora", "C:\\Users\\" + yaroslav + "\\Lumora"},
      {"CodePage", REG_SZ, L"D:\\Kund\u00e9", "D:\\Kund\xe9"},
      {"LookAlike", REG_SZ, L"D:\\\u0150r", E("D:\\^0150r")},
      {"SystemDrive", REG_EXPAND_SZ, L"%SystemDrive%\\Lumora", std::string(drive) + "\\Lumora"},
      {"OwnVariable", REG_EXPAND_SZ, L"%LUMORA_TEST_HOME%\\Lumora",
       "C:\\Users\\" + yaroslav + "\\Lumora"},
      {"Unset", REG_EXPAND_SZ, L"%LUMORA_TEST_UNSET%\\x", "%LUMORA_TEST_UNSET%\\x"},
      {"NotExpandable", REG_SZ, L"%SystemDrive%\\Lumora", "%SystemDrive%\\Lumora"},
      {"LongPath", REG_SZ, L"\\\\?\\C:\\Lumora", "\\\\?\\C:\\Lumora"},
  };
  for (const auto& c : cases) {
    SetWide(L"", std::wstring(c.name, c.name + std::char_traits<char>::length(c.name)), c.type,
            c.stored);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reg_.ReadString(key_, c.name), c.read);
  }
  // Key and value names in any script, matched without regard to letter case.
  SetWide(L"\\Ярослав", L"Путь", REG_SZ, L"x");
  EXPECT_EQ(reg_.ReadString(key_ + "\\" + yaroslav, E("^041F^0443^0442^044C")), "x");
  EXPECT_EQ(reg_.ReadString(key_ + "\\" + yaroslav, E("^043F^0443^0442^044C")), "x");
  EXPECT_TRUE(reg_.CreateKey(key_ + "\\" + E("^8CC7^6599")));
  HKEY made;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(key_.begin(), key_.end()) + L"\\資料").c_str(),
                    0, KEY_READ, &made),
      ERROR_SUCCESS);
  RegCloseKey(made);
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
