// The application object over the null front-end: the quit request, the terminating flag,
// the dialogs that close by themselves, the uncaught-error report and the exit status.
#include "shell/application.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/errors.h"
#include "ui/null/null_backend.h"

namespace lumora {
namespace {

TEST(ProgressBarTest, PositionStaysInsideMinAndMax) {
  struct Case {
    int min, max;
    int64_t set;
    int expected;
  };
  const Case cases[] = {
      {0, 100, 50, 50},          {0, 100, 150, 100},          {10, 100, 5, 10},
      {6704, 54435, 6719, 6719}, {6704, 54435, 60000, 54435}, {0, 65535, 65535, 65535},
  };
  for (const auto& c : cases) {
    ProgressBar bar;
    bar.SetMax(c.max);
    bar.SetMin(c.min);
    bar.SetPosition(c.set);
    EXPECT_EQ(bar.Position(), c.expected) << c.min << ".." << c.max << " set " << c.set;
  }
}

TEST(ProgressBarTest, MinRaisedAbovePositionPullsPositionAlong) {
  ProgressBar bar;
  bar.SetMax(54435);
  bar.SetMin(6704);
  EXPECT_EQ(bar.Position(), 6704);
  EXPECT_EQ(bar.Max(), 54435);
}

TEST(WindowModelTest, DesignCaptionsCarryTheirSpaces) {
  TForm1 f;
  EXPECT_EQ(f.Caption, "SelfExtraction");
  EXPECT_EQ(f.Label1.Caption, "  ");
  EXPECT_EQ(f.Label2.Caption, std::string(17, ' '));
  EXPECT_EQ(f.Label3.Caption, std::string(18, ' '));
  EXPECT_EQ(f.Label4.Caption, std::string(18, ' '));
  EXPECT_EQ(f.ProgressBar1.Max(), 100);
  EXPECT_EQ(f.bounds.width, 260);
  EXPECT_EQ(f.bounds.height, 87);
}

TEST(WindowModelTest, Form3ButtonBringsBackThePlainImageAndHides) {
  TForm3 f;
  f.Visible = true;
  f.Image2Visible = f.Image3Visible = f.Image4Visible = true;
  f.Image1Visible = false;
  f.Button1Click();
  EXPECT_FALSE(f.Visible);
  EXPECT_TRUE(f.Image1Visible);
  EXPECT_FALSE(f.Image2Visible || f.Image3Visible || f.Image4Visible);
  EXPECT_EQ(f.Caption, "Error");
}

TEST(ApplicationTest, TitleIsFileNameUpToFirstDotWithRestLowerCase) {
  NullBackend ui;
  EXPECT_EQ(Application(ui, "/opt/x/LumoraUpdate").Title(), "Lumoraupdate");
  EXPECT_EQ(Application(ui, "C:\\Apps\\LumoraUpdate.Setup.exe").Title(), "Lumoraupdate");
  EXPECT_EQ(Application(ui, "lumora.exe").Title(), "lumora");
}

TEST(ApplicationTest, ActivationRunsTheHandlerOnce) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  int runs = 0;
  app.Run([&] {
    ++runs;
    app.Activate();  // a toolkit that reports activation again changes nothing
  });
  app.Activate();
  EXPECT_EQ(runs, 1);
}

TEST(ApplicationTest, CloseOnlyQueuesTheEndAndPumpConsumesIt) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  bool after_close_ran = false;
  int code = app.Run([&] {
    app.CloseMainWindow();
    EXPECT_TRUE(app.QuitRequested());
    EXPECT_FALSE(app.Terminating());
    app.PumpMessages();
    EXPECT_TRUE(app.Terminating());
    after_close_ran = true;
  });
  EXPECT_TRUE(after_close_ran);
  EXPECT_EQ(code, 1);  // closed without success
}

TEST(ApplicationTest, MessageAfterTerminationClosesByItself) {
  NullBackend ui;
  int asked = 0;
  ui.on_message = [&](const std::string&, const std::string&) {
    ++asked;
    return kResultOk;
  };
  Application app(ui, "LumoraUpdate");
  app.Run([&] {
    EXPECT_EQ(app.ShowMessageDialog("first", MessageKind::Warning, kButtonOk, 0), kResultOk);
    app.CloseMainWindow();
    app.PumpMessages();
    EXPECT_EQ(app.ShowMessageDialog("second", MessageKind::Information, kButtonOk, 0),
              kResultClosed);
  });
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(app.ShownMessages().size(), 2u);
  EXPECT_EQ(app.ShownMessages()[0].caption, "Warning");
  EXPECT_EQ(app.ShownMessages()[1].caption, "Information");
  EXPECT_EQ(ui.boxes_closed_by_themselves, 1);
}

TEST(ApplicationTest, QuitPendingWhenDialogOpensIsConsumedByThatDialog) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  app.Run([&] {
    app.CloseMainWindow();
    EXPECT_EQ(app.ShowMessageDialog("x", MessageKind::Error, kButtonOk, 0), kResultClosed);
    EXPECT_TRUE(app.Terminating());
    EXPECT_FALSE(app.QuitRequested());
  });
}

TEST(ApplicationTest, UncaughtErrorIsReportedWithAFullStopAndTheRunEndsAsStopped) {
  NullBackend ui;
  Application app(ui, "/x/LumoraUpdate");
  int code = app.Run([] { throw IoError(errc::kAccessDenied); });
  EXPECT_EQ(ui.last_error_box, "File access denied.");
  ASSERT_EQ(app.ShownMessages().size(), 1u);
  EXPECT_EQ(app.ShownMessages()[0].caption, "Lumoraupdate");
  EXPECT_EQ(code, 1);
}

TEST(ApplicationTest, StopRunIsNotReportedAgain) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  app.Run([] { throw StopRun(); });
  EXPECT_TRUE(ui.last_error_box.empty());
  EXPECT_TRUE(app.ShownMessages().empty());
}

TEST(ApplicationTest, UpdateRunsFromActivationUntilItsErrorIsReported) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  std::vector<bool> during;
  app.Run([&] {
    during = ui.update_running_calls;
    throw IoError(errc::kAccessDenied);
  });
  EXPECT_EQ(during, std::vector<bool>{true});
  EXPECT_EQ(ui.update_running_calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(ui.last_error_box, "File access denied.");
}

TEST(ApplicationTest, SuccessGivesExitStatusZero) {
  NullBackend ui;
  Application app(ui, "LumoraUpdate");
  EXPECT_EQ(app.Run([&] {
    app.SetSucceeded();
    app.CloseMainWindow();
  }),
            0);
}

TEST(MessageDialogTest, KindsHaveTheirCaptionsAndSystemIcons) {
  EXPECT_STREQ(MessageCaption(MessageKind::Warning), "Warning");
  EXPECT_STREQ(MessageCaption(MessageKind::Error), "Error");
  EXPECT_STREQ(MessageCaption(MessageKind::Information), "Information");
  EXPECT_EQ(MessageIconId(MessageKind::Warning), 32515);
  EXPECT_EQ(MessageIconId(MessageKind::Error), 32513);
  EXPECT_EQ(MessageIconId(MessageKind::Information), 32516);
}

TEST(IoErrorTextTest, TableOfTheRunTimeLayer) {
  const std::pair<int, const char*> cases[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {32, "I/O error 32"},
      {112, "I/O error 112"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(IoErrorText(code), text) << code;
}

}  // namespace
}  // namespace lumora
