// The Win32 front-end with real windows (under Wine, on the X display of the test run):
// the design layout, drawing from the model, the close that only queues the quit, and the
// message box's results.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "shell/application.h"
#include "ui/win32/win32_backend.h"

namespace lumora {
namespace {

std::string ClassOf(HWND h) {
  char name[64] = {};
  GetClassNameA(h, name, sizeof name);
  return name;
}
std::string TextOf(HWND h) {
  char text[256] = {};
  GetWindowTextA(h, text, sizeof text);
  return text;
}
// A named CALLBACK function: a lambda would not have the system's calling convention on
// 32-bit Windows.
BOOL CALLBACK AddChild(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}
std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  EnumChildWindows(parent, AddChild, reinterpret_cast<LPARAM>(&out));
  return out;
}
// A child's rectangle in its parent's client coordinates.
RECT PlaceOf(HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}
HWND ChildAt(HWND parent, const char* cls, int left, int top) {
  for (HWND h : Children(parent)) {
    RECT r = PlaceOf(h);
    if (lstrcmpiA(ClassOf(h).c_str(), cls) == 0 && r.left == left && r.top == top) return h;
  }
  return nullptr;
}
SIZE ClientSize(HWND h) {
  RECT r;
  GetClientRect(h, &r);
  return {r.right - r.left, r.bottom - r.top};
}

class Win32BackendTest : public ::testing::Test {
 protected:
  Win32BackendTest() : app_(ui_, "C:\\Program Files\\LumoraUpdate.exe") {}
  void SetUp() override {
    ui_.CreateWindows(app_);
    main_ = static_cast<HWND>(ui_.MainWindow());
    form3_ = static_cast<HWND>(ui_.Form3Window());
    if (!main_) GTEST_SKIP() << "no display for windows";
  }
  HWND LabelWindow(int i) {
    const lumora::Label* ls[4] = {&app_.Form1.Label1, &app_.Form1.Label2, &app_.Form1.Label3,
                                  &app_.Form1.Label4};
    return ChildAt(main_, "Static", ls[i]->bounds.left, ls[i]->bounds.top);
  }
  HWND Bar() { return ChildAt(main_, PROGRESS_CLASSA, 16, 55); }

  Win32Backend ui_;
  Application app_;
  HWND main_ = nullptr;
  HWND form3_ = nullptr;
};

TEST_F(Win32BackendTest, MainWindowHasItsDesignLayout) {
  EXPECT_EQ(ClassOf(main_), "TForm1");
  EXPECT_EQ(TextOf(main_), "SelfExtraction");
  EXPECT_FALSE(IsWindowVisible(main_));
  SIZE client = ClientSize(main_);
  EXPECT_EQ(client.cx, 260);
  EXPECT_EQ(client.cy, 87);
  RECT outer;
  GetWindowRect(main_, &outer);
  EXPECT_EQ(outer.left, 267);
  EXPECT_EQ(outer.top, 154);
  const LONG style = GetWindowLongA(main_, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
  EXPECT_NE(SendMessageA(main_, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageA(main_, WM_GETICON, ICON_SMALL, 0), 0);
  for (int i = 0; i < 4; ++i) EXPECT_NE(LabelWindow(i), nullptr) << "Label" << i + 1;
  ASSERT_NE(Bar(), nullptr);
  RECT bar = PlaceOf(Bar());
  EXPECT_EQ(bar.right - bar.left, 200);
  EXPECT_EQ(bar.bottom - bar.top, 16);
  EXPECT_EQ(TextOf(LabelWindow(1)), std::string(17, ' '));
  EXPECT_EQ(SendMessageA(Bar(), PBM_GETRANGE, FALSE, 0), 100);
}

TEST_F(Win32BackendTest, LabelsAndBarAreDrawnFromTheModel) {
  TForm1& f = app_.Form1;
  f.Label2.Caption = "Please WAIT...   ";
  f.Label3.Caption = "Extracting file:";
  f.Label4.Caption = "fp001.psd";
  f.Label1.Caption = "12%";
  f.ProgressBar1.SetMax(54435);
  f.ProgressBar1.SetMin(6704);
  f.ProgressBar1.SetPosition(6719);
  ui_.DispatchPending();
  EXPECT_EQ(TextOf(LabelWindow(1)), "Please WAIT...   ");
  EXPECT_EQ(TextOf(LabelWindow(2)), "Extracting file:");
  EXPECT_EQ(TextOf(LabelWindow(3)), "fp001.psd");
  EXPECT_EQ(TextOf(LabelWindow(0)), "12%");
  EXPECT_EQ(SendMessageA(Bar(), PBM_GETRANGE, TRUE, 0), 6704);
  EXPECT_EQ(SendMessageA(Bar(), PBM_GETRANGE, FALSE, 0), 54435);
  EXPECT_EQ(SendMessageA(Bar(), PBM_GETPOS, 0, 0), 6719);

  // Labels size themselves to their text; their left and top stay.
  const int long_width = PlaceOf(LabelWindow(3)).right - PlaceOf(LabelWindow(3)).left;
  f.Label4.Caption = "a";
  f.ProgressBar1.SetPosition(54435);
  ui_.DispatchPending();
  RECT shrunk = PlaceOf(LabelWindow(3));
  EXPECT_EQ(shrunk.left, 93);
  EXPECT_EQ(shrunk.top, 29);
  EXPECT_LT(shrunk.right - shrunk.left, long_width);
  EXPECT_GT(shrunk.right - shrunk.left, 0);
  EXPECT_EQ(SendMessageA(Bar(), PBM_GETPOS, 0, 0), 54435);
}

TEST_F(Win32BackendTest, Form3IsCreatedHiddenAndItsButtonHidesIt) {
  ASSERT_NE(form3_, nullptr);
  EXPECT_EQ(ClassOf(form3_), "TForm3");
  EXPECT_EQ(TextOf(form3_), "Error");
  EXPECT_FALSE(IsWindowVisible(form3_));
  SIZE client = ClientSize(form3_);
  EXPECT_EQ(client.cx, 112);
  EXPECT_EQ(client.cy, 99);
  HWND button = ChildAt(form3_, "Button", 13, 62);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(TextOf(button), "OK");

  app_.Form3.Visible = true;
  app_.Form3.Image1Visible = false;
  app_.Form3.Image2Visible = true;
  ui_.DispatchPending();
  EXPECT_TRUE(IsWindowVisible(form3_));
  SendMessageA(form3_, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  EXPECT_FALSE(IsWindowVisible(form3_));
  EXPECT_FALSE(app_.Form3.Visible);
  EXPECT_TRUE(app_.Form3.Image1Visible);
  EXPECT_FALSE(app_.Form3.Image2Visible);
  EXPECT_FALSE(app_.QuitRequested());  // Form3 is not the main window
}

// The task-bar button belongs to a window of the application's own, titled with the
// application title; Form1 is owned by it, so it shows no button of its own.
TEST_F(Win32BackendTest, TaskBarButtonCarriesTheApplicationTitle) {
  ui_.ShowMainWindow();
  HWND owner = GetWindow(main_, GW_OWNER);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(owner, ui_.ApplicationWindow());
  EXPECT_EQ(ClassOf(owner), "TApplication");
  EXPECT_EQ(TextOf(owner), app_.Title());
  EXPECT_TRUE(IsWindowVisible(owner));
  EXPECT_EQ(GetWindowLongA(main_, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  EXPECT_EQ(GetWindowLongA(owner, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);

  // Minimising Form1 minimises the program to its button.
  SendMessageA(main_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_TRUE(IsIconic(owner));
  ShowWindow(owner, SW_RESTORE);
  EXPECT_TRUE(IsWindowVisible(main_));

  // The button's close is Form1's: it only queues the end.
  PostMessageA(owner, WM_CLOSE, 0, 0);
  ui_.DispatchPending();
  EXPECT_TRUE(app_.QuitRequested());
  EXPECT_TRUE(IsWindow(main_));
}

TEST_F(Win32BackendTest, CloseAndQuitOnlyQueueTheEnd) {
  ui_.ShowMainWindow();
  PostMessageA(main_, WM_CLOSE, 0, 0);
  ui_.DispatchPending();
  EXPECT_TRUE(app_.QuitRequested());
  EXPECT_TRUE(IsWindow(main_));
  EXPECT_TRUE(IsWindowVisible(main_));

  Application other(ui_, "x.exe");
  ui_.DestroyWindows();
  ui_.CreateWindows(other);
  PostQuitMessage(0);
  ui_.DispatchPending();
  EXPECT_TRUE(other.QuitRequested());
}

TEST_F(Win32BackendTest, PumpNeverWaitsAndTheWaitEndsAtItsTimeout) {
  using Clock = std::chrono::steady_clock;
  ui_.DispatchPending();
  auto t0 = Clock::now();
  ui_.DispatchPending();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
  t0 = Clock::now();
  ui_.WaitAndDispatch(100);
  const auto waited = Clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::seconds(3));
}

TEST_F(Win32BackendTest, WithoutAWindowTheWaitEndsTheLoopInsteadOfHanging) {
  ui_.DestroyWindows();
  ui_.WaitAndDispatch(-1);
  EXPECT_TRUE(app_.QuitRequested());
}

TEST_F(Win32BackendTest, SessionEndIsRefusedWhileTheUpdateRunsAndItsEndIsTheClose) {
  EXPECT_EQ(SendMessageA(main_, WM_QUERYENDSESSION, 0, 0), TRUE);
  ui_.DestroyWindows();
  struct {
    LRESULT main = -1, app = -1;
    bool reason = false, quit_after_cancelled_end = true, quit_after_end = false;
    std::wstring reason_text;
  } seen;
  app_.Run([&] {
    HWND main = static_cast<HWND>(ui_.MainWindow());
    seen.main = SendMessageA(main, WM_QUERYENDSESSION, 0, 0);
    seen.app = SendMessageA(static_cast<HWND>(ui_.ApplicationWindow()), WM_QUERYENDSESSION, 0, 0);
    seen.reason = ui_.SessionEndBlockedWithReason();
    using Query = BOOL(WINAPI*)(HWND, LPWSTR, DWORD*);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonQuery")));
    wchar_t text[128] = {};
    DWORD size = 128;
    if (seen.reason && query && query(main, text, &size)) seen.reason_text = text;
    // Another program refused the end: nothing changes.
    SendMessageA(main, WM_ENDSESSION, FALSE, 0);
    seen.quit_after_cancelled_end = app_.QuitRequested();
    SendMessageA(main, WM_ENDSESSION, TRUE, 0);
    seen.quit_after_end = app_.QuitRequested();
  });
  EXPECT_EQ(seen.main, FALSE);
  EXPECT_EQ(seen.app, FALSE);
  EXPECT_FALSE(seen.quit_after_cancelled_end);
  EXPECT_TRUE(seen.quit_after_end);
  if (seen.reason) {
    EXPECT_EQ(seen.reason_text, L"Updating the Lumora database");
  } else {
    std::printf("note: this system takes no reason for holding off the session's end\n");
  }
  EXPECT_FALSE(ui_.SessionEndBlockedWithReason());
  // Once the update has ended, the session may end.
  ui_.CreateWindows(app_);
  main_ = static_cast<HWND>(ui_.MainWindow());
  EXPECT_EQ(SendMessageA(main_, WM_QUERYENDSESSION, 0, 0), TRUE);
}

// What a message box looked like, and what was done to it, seen from its own loop.
struct BoxProbe {
  enum Action { kNothing, kEnter, kEscape, kClickOk, kTitleBarClose };
  Action action = kNothing;
  int stop_after_calls = -1;  // stop() turns true from this call on (-1: never)

  int calls = 0;
  HWND box = nullptr;
  bool owner_enabled = true;
  std::string caption;
  RECT outer{};
  SIZE client{};

  std::function<bool()> Stop(HWND owner) {
    return [this, owner] {
      if (++calls == 1) {
        box = FindWindowA("TMessageForm", nullptr);
        if (box) {
          owner_enabled = IsWindowEnabled(owner) != 0;
          caption = TextOf(box);
          GetWindowRect(box, &outer);
          client = ClientSize(box);
          HWND ok = GetDlgItem(box, IDOK);
          switch (action) {
            case kEnter:
              PostMessageA(ok, WM_KEYDOWN, VK_RETURN, 0);
              break;
            case kEscape:
              PostMessageA(ok, WM_KEYDOWN, VK_ESCAPE, 0);
              break;
            case kClickOk:
              PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                           reinterpret_cast<LPARAM>(ok));
              break;
            case kTitleBarClose:
              PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
              break;
            case kNothing:
              break;
          }
        }
      }
      return stop_after_calls >= 0 && calls >= stop_after_calls;
    };
  }
};

TEST_F(Win32BackendTest, MessageBoxResults) {
  const struct {
    const char* name;
    BoxProbe::Action action;
    int stop_after;
    int result;
  } cases[] = {
      {"Enter", BoxProbe::kEnter, -1, kResultOk},
      {"Esc", BoxProbe::kEscape, -1, kResultOk},
      {"OK clicked", BoxProbe::kClickOk, -1, kResultOk},
      {"title bar close", BoxProbe::kTitleBarClose, -1, kResultClosed},
      {"quit request", BoxProbe::kNothing, 3, kResultClosed},
  };
  ui_.ShowMainWindow();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BoxProbe probe;
    probe.action = c.action;
    probe.stop_after_calls = c.stop_after;
    int result = ui_.RunMessageBox("Information", "Database successfully updated.",
                                   MessageKind::Information, false, probe.Stop(main_));
    EXPECT_EQ(result, c.result);
    ASSERT_NE(probe.box, nullptr);
    EXPECT_EQ(probe.caption, "Information");
    EXPECT_FALSE(probe.owner_enabled);
    // Afterwards the box is gone and the main window takes input again.
    EXPECT_FALSE(IsWindow(probe.box));
    EXPECT_TRUE(IsWindowEnabled(main_));
  }
}

TEST_F(Win32BackendTest, MessageBoxClosesAtOnceWhenTheProgramIsTerminating) {
  BoxProbe probe;
  using Clock = std::chrono::steady_clock;
  auto t0 = Clock::now();
  EXPECT_EQ(ui_.RunMessageBox("Warning", "Duplication elements!", MessageKind::Warning, true,
                              probe.Stop(main_)),
            kResultClosed);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(FindWindowA("TMessageForm", nullptr), nullptr);
  EXPECT_TRUE(IsWindowEnabled(main_));
}

TEST_F(Win32BackendTest, MessageBoxIsSizedToItsTextAndCentred) {
  auto measure = [&](const std::string& text) {
    BoxProbe probe;
    probe.action = BoxProbe::kEnter;
    ui_.RunMessageBox("Error", text, MessageKind::Error, false, probe.Stop(main_));
    return probe;
  };
  BoxProbe one = measure("File error.");
  BoxProbe three = measure(
      "You have not correct installation for Lumora.\n\rPlease reinstall Lumora or run "
      "Lumora.exe .\n\r After exit start update again.");
  std::string words;
  for (int i = 0; i < 300; ++i) words += "word ";
  BoxProbe wrapped = measure(words);

  // Each LF CR pair starts a line: the three-line text is taller than the one-line one.
  EXPECT_GT(three.client.cy, one.client.cy);
  // A long text wraps to at most half the screen's width (plus icon and margins).
  const int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_LE(wrapped.client.cx, screen_w / 2 + 100);
  EXPECT_GT(wrapped.client.cy, three.client.cy);
  for (const BoxProbe* p : {&one, &three, &wrapped}) {
    const int cx = (p->outer.left + p->outer.right) / 2, cy = (p->outer.top + p->outer.bottom) / 2;
    EXPECT_NEAR(cx, screen_w / 2, 2);
    EXPECT_NEAR(cy, screen_h / 2, 2);
  }
}

TEST(ToCrLfTest, LineBreaksBecomeCrLfPairs) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\n\rb", "a\r\nb"},         {"a\r\nb", "a\r\nb"}, {"a\nb\rc", "a\r\nb\r\nc"},
      {"a\n\r\n\rb", "a\r\n\r\nb"}, {"\n\r", "\r\n"},     {"plain", "plain"},
      {"a\n\n", "a\r\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(ToCrLf(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace lumora
