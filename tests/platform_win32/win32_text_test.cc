// The core's form of UTF-16 text: the escapes of characters beyond the ANSI code page, and
// bytes that only look like one.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/win32_text.h"

namespace lumora {
namespace {

TEST(Win32TextTest, OnlyAWholeUpperCaseEscapeIsDecoded) {
  const struct {
    const char* what;
    std::string core;
    std::wstring wide;
  } cases[] = {
      {"escape", std::string("\x01") + "042F", L"\u042F"},
      {"between bytes", std::string("a\x01") + "0416b", L"a\u0416b"},
      {"two in a row", std::string("\x01") + "D834\x01" + "DD1E", L"\U0001D11E"},
      {"lower-case digits", std::string("\x01") + "042f", std::wstring(L"\x0001") + L"042f"},
      {"cut short", std::string("x\x01") + "04", std::wstring(L"x\x0001") + L"04"},
      {"lone byte", "\x01", L"\x0001"},
      {"no escape", "C:\\Lumora\\", L"C:\\Lumora\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ToWide(c.core), c.wide);
  }
}

TEST(Win32TextTest, EveryUtf16TextComesBackAsItWas) {
  // U+0001 itself is escaped, so that a 0x01 byte always starts an escape; so are lone
  // surrogates, which no code page writes.
  EXPECT_EQ(FromWide(L"\x0001"), std::string("\x01") + "0001");
  EXPECT_EQ(FromWide(std::wstring(1, wchar_t(0xD800))), std::string("\x01") + "D800");
  const std::wstring texts[] = {std::wstring(L"\x0001") + L"042F", L"C:\\\u042F\u8CC7\\x",
                                std::wstring(L"\U0001D11E") + wchar_t(0xDC00),
                                L"\u0150\u00e9 \x0001", L""};
  for (const std::wstring& text : texts) {
    EXPECT_EQ(ToWide(FromWide(text)), text);
  }
}

TEST(Win32TextTest, CommandLinesSplitAsWindowsProgramsSplitThem) {
  const struct {
    const wchar_t* line;
    std::vector<std::wstring> args;
  } cases[] = {
      {L"upd.exe", {L"upd.exe"}},
      {L"\"C:\\Program Files\\upd.exe\"  /quiet\t/log=x",
       {L"C:\\Program Files\\upd.exe", L"/quiet", L"/log=x"}},
      {L"upd.exe --log \"C:\\\u0416\u0443\u0440\u043d\u0430\u043b \u0434\u043d\u044f.txt\"",
       {L"upd.exe", L"--log", L"C:\\\u0416\u0443\u0440\u043d\u0430\u043b \u0434\u043d\u044f.txt"}},
      {L"u a\\\\b \"c\\\\\" d", {L"u", L"a\\\\b", L"c\\", L"d"}},
      {L"u \\\"x\\\\\\\"y", {L"u", L"\"x\\\"y"}},
      {L"u \"a \"\"b\"\" c\" \"\"", {L"u", L"a \"b\" c", L""}},
      {L"u ab\"c d\"e f", {L"u", L"abc de", L"f"}},
      {L"\"u v\\\"w x", {L"u v\\w", L"x"}},
      {L"u trailing\\\\", {L"u", L"trailing\\\\"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.line)));
    EXPECT_EQ(SplitCommandLine(c.line), c.args);
  }
}

}  // namespace
}  // namespace lumora
