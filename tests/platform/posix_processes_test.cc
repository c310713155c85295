#include <gtest/gtest.h>

#include <chrono>

#include "archive/tree_ops.h"
#include "platform/posix/posix_platform.h"
#include "shell/application.h"
#include "testing/test_util.h"
#include "ui/null/null_backend.h"

namespace lumora {
namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

TEST(SplitCommandLine, WindowsRules) {
  struct Case {
    const char* line;
    Args args;
  };
  const Case cases[] = {
      {"", {}},
      {"prog", {"prog"}},
      {"prog a  b\tc", {"prog", "a", "b", "c"}},
      {"\"C:\\Program Files\\x.exe\" arg", {"C:\\Program Files\\x.exe", "arg"}},
      {"C:\\dir\\x.exe a\\b", {"C:\\dir\\x.exe", "a\\b"}},
      {"p \"a b c\" d e", {"p", "a b c", "d", "e"}},
      {"p \"ab\\\"c\" \"\\\\\" d", {"p", "ab\"c", "\\", "d"}},
      {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
      {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
      {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
      {"p \"\" x", {"p", "", "x"}},
      // Two quotes inside a quoted part give a quote and end it; three give a quote and
      // keep it open.
      {"p \"a\"\"b\" c", {"p", "a\"b c"}},
      {"p \"a\"\"\"b\" c", {"p", "a\"b", "c"}},
      {"p \"\"\"a\"\"\"", {"p", "\"a\""}},
      {"p trailing\\", {"p", "trailing\\"}},
      {"p  ", {"p"}},
      {"\"unterminated prog", {"unterminated prog"}},
      {"\"q\"rest a", {"q", "rest", "a"}},
      {"a\"b c", {"a\"b", "c"}},  // a quote in an unquoted program name is a character
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
  }
}

class ExecAndWaitTest : public ::testing::Test {
 protected:
  ExecAndWaitTest() : app_(backend_, "/tmp/LumoraUpdate") {}

  NullBackend backend_;
  Application app_;
  PosixProcesses processes_;
};

TEST_F(ExecAndWaitTest, ProgramThatCannotStartIsFalseAtOnce) {
  auto start = Clock::now();
  EXPECT_FALSE(ExecAndWait(processes_, app_, "no-such-program-lumora --x"));
  EXPECT_FALSE(ExecAndWait(processes_, app_, "C:\\Lumora\\Missing.exe"));
  EXPECT_FALSE(ExecAndWait(processes_, app_, ""));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(app_.PumpCount(), 0);
}

TEST_F(ExecAndWaitTest, WaitsForTheProgramAndPumpsMeanwhile) {
  auto start = Clock::now();
  std::clock_t cpu_start = std::clock();
  EXPECT_TRUE(ExecAndWait(processes_, app_, "sleep 1"));
  auto elapsed = Clock::now() - start;
  double cpu_seconds = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  EXPECT_GT(app_.PumpCount(), 10);  // the window was kept alive throughout
  EXPECT_LT(cpu_seconds, 0.5);      // without keeping a core busy
}

TEST_F(ExecAndWaitTest, ExitCodeIsNotReadAndArgumentsArrive) {
  testing::TempDir dir;
  EXPECT_TRUE(ExecAndWait(processes_, app_, "false"));
  // The program gets its arguments as Windows splits them, in the locale's encoding; a
  // program named by a path is found without regard to case.
  const std::string out = dir.Native("out.txt");
  EXPECT_TRUE(ExecAndWait(processes_, app_,
                          "/BIN/SH -c \"printf '%s|' \\\"$0\\\" > " + out + "\" \"a b\xE9\""));
  EXPECT_EQ(testing::ReadFile(out), "a b\xC3\xA9|");
}

TEST(PosixProcess, WaitForTimesOutWhileRunning) {
  PosixProcesses processes;
  auto p = processes.Start("sleep 0.3");
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->WaitFor(0));
  EXPECT_FALSE(p->WaitFor(50));
  EXPECT_TRUE(p->WaitFor(5000));
  EXPECT_TRUE(p->WaitFor(0));  // stays ended once reaped
}

}  // namespace
}  // namespace lumora
