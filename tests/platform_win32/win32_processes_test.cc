// Starting real programs with CreateProcessW and waiting for them.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "archive/tree_ops.h"
#include "platform/win32/win32_platform.h"
#include "shell/application.h"
#include "testing/test_util.h"
#include "ui/null/null_backend.h"

namespace lumora {
namespace {

class Win32ProcessesTest : public ::testing::Test {
 protected:
  Win32ProcessesTest() : app_(ui_, "LumoraUpdate.exe") { ui_.CreateWindows(app_); }

  NullBackend ui_;
  Application app_;
  Win32Processes processes_;
  testing::TempDir dir_;
};

TEST_F(Win32ProcessesTest, ExecAndWaitReturnsAfterTheProgramHasEnded) {
  const std::string out = dir_.Core() + "out.txt";
  // The file exists only once the child has run to its end.
  EXPECT_TRUE(ExecAndWait(processes_, app_, "cmd /c echo done> \"" + out + "\""));
  EXPECT_EQ(testing::ReadFile(out), "done\r\n");
  EXPECT_TRUE(ExecAndWait(processes_, app_, "cmd.exe /c exit 3"));
}

TEST_F(Win32ProcessesTest, CommandLineInAnyScript) {
  // "Ярослав.txt" as the core writes it where the ANSI code page has no Cyrillic: each
  // character an escape (0x01 and the hex digits of its UTF-16 unit).
  std::string name;
  for (const char* unit : {"042F", "0440", "043E", "0441", "043B", "0430", "0432"}) {
    name += '\x01';
    name += unit;
  }
  const std::string& dir = dir_.path();
  const std::wstring out = std::wstring(dir.begin(), dir.end()) + L"\\Ярослав.txt";
  EXPECT_TRUE(
      ExecAndWait(processes_, app_, "cmd /c echo done> \"" + dir_.Core() + name + ".txt\""));
  EXPECT_NE(GetFileAttributesW(out.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Win32ProcessesTest, MissingProgramIsNotStarted) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ExecAndWait(processes_, app_, "no-such-program-4711.exe"));
  EXPECT_FALSE(ExecAndWait(processes_, app_, "\"" + dir_.Core() + "missing.exe\" /x"));
  EXPECT_FALSE(ExecAndWait(processes_, app_, ""));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(app_.PumpCount(), 0);
}

TEST_F(Win32ProcessesTest, WaitWithoutTimeLeftReportsARunningProgram) {
  // A loop that keeps cmd busy for a while and leaves its last step behind.
  const std::string out = dir_.Core() + "slow.txt";
  auto p = processes_.Start("cmd /c for /l %i in (1,1,3000) do @echo %i> \"" + out + "\"");
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->WaitFor(0));
  EXPECT_TRUE(p->WaitFor(60000));
  EXPECT_TRUE(p->WaitFor(0));
  EXPECT_EQ(testing::ReadFile(out), "3000\r\n");
}

}  // namespace
}  // namespace lumora
