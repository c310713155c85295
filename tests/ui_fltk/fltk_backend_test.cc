// The FLTK front-end with a real Application on a real X display. Events come the way a
// person's do: WM_DELETE_WINDOW messages sent through the X server, key events handed to
// FLTK, and (where installed) xdotool as a child process. Skipped without DISPLAY.
// clang-format off
// GoogleTest comes before the X headers, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>
// clang-format on

#include "ui/fltk/fltk_backend.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shell/application.h"

extern char** environ;

namespace lumora {
namespace {

// Runs action once after delay seconds from inside whatever FLTK loop is running then.
class Later {
 public:
  Later(double delay, std::function<void()> action) : action_(std::move(action)) {
    Fl::add_timeout(delay, &Later::Fire, this);
  }
  ~Later() { Fl::remove_timeout(&Later::Fire, this); }
  Later(const Later&) = delete;
  Later& operator=(const Later&) = delete;
  bool fired() const { return fired_; }

 private:
  static void Fire(void* self) {
    auto* later = static_cast<Later*>(self);
    later->fired_ = true;
    later->action_();
  }
  std::function<void()> action_;
  bool fired_ = false;
};

// The title bar's close: WM_DELETE_WINDOW through the X server.
void SendClose(Fl_Window* window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = fl_xid(window);
  event.xclient.message_type = XInternAtom(fl_display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(fl_display, "WM_DELETE_WINDOW", False));
  XSendEvent(fl_display, fl_xid(window), False, NoEventMask, &event);
  XSync(fl_display, False);
}

void PressKey(Fl_Window* window, int key) {
  static char empty[] = "";
  Fl::e_keysym = key;
  Fl::e_text = empty;
  Fl::e_length = 0;
  Fl::e_state = 0;
  Fl::handle(FL_KEYBOARD, window);
}

bool Mapped(Fl_Window* window) {
  XWindowAttributes attributes;
  return fl_xid(window) && XGetWindowAttributes(fl_display, fl_xid(window), &attributes) &&
         attributes.map_state == IsViewable;
}

// The window's WM_CLASS as "name/class", as the X server holds it.
std::string WmClass(Fl_Window* window) {
  XClassHint hint{};
  if (!fl_xid(window) || !XGetClassHint(fl_display, fl_xid(window), &hint)) return "";
  std::string s = std::string(hint.res_name) + "/" + hint.res_class;
  XFree(hint.res_name);
  XFree(hint.res_class);
  return s;
}

unsigned long Pixel(Fl_Window* window, int x, int y) {
  XImage* image = XGetImage(fl_display, fl_xid(window), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return ~0ul;
  unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
  XDestroyImage(image);
  return pixel;
}

// Pixels in the rectangle much darker than the window's grey (text).
int DarkPixels(Fl_Window* window, const Rect& r) {
  XImage* image =
      XGetImage(fl_display, fl_xid(window), r.left, r.top, r.width, r.height, AllPlanes, ZPixmap);
  if (!image) return -1;
  int dark = 0;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      if (((XGetPixel(image, x, y) >> 8) & 0xff) < 96) ++dark;
    }
  }
  XDestroyImage(image);
  return dark;
}

std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

class FltkBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display: DISPLAY is unset";
    backend_ = CreateFltkBackend();
    ASSERT_NE(backend_, nullptr) << "DISPLAY is set but does not open";
    app_ = std::make_unique<Application>(*backend_, "/opt/lumora/LumoraUpdate.exe");
  }
  void TearDown() override {
    if (backend_) backend_->DestroyWindows();
  }
  void CreateAndShow() {
    backend_->CreateWindows(*app_);
    backend_->ShowMainWindow();
    main_ = FltkMainWindow(*backend_);
    ASSERT_NE(main_, nullptr);
  }
  // Shows a box and runs act inside its loop; a box still open after 5 s is closed so a
  // fault fails the test instead of hanging it.
  int BoxWith(MessageKind kind, const std::string& text,
              const std::function<void(Fl_Window*)>& act) {
    Later action(0.05, [&] { act(Fl::modal()); });
    Later guard(5.0, [] {
      if (Fl::modal()) Fl::modal()->do_callback();
    });
    int result = app_->ShowMessageDialog(text, kind, kButtonOk, 0);
    EXPECT_TRUE(action.fired());
    EXPECT_FALSE(guard.fired()) << "the box did not close";
    return result;
  }

  std::unique_ptr<UiBackend> backend_;
  std::unique_ptr<Application> app_;
  Fl_Window* main_ = nullptr;
};

TEST_F(FltkBackendTest, RunShowsTheWindowFirstAndActivatesOnce) {
  int activations = 0;
  bool mapped_at_activation = false;
  int status = app_->Run([&] {
    ++activations;
    mapped_at_activation = Mapped(FltkMainWindow(*backend_));
    app_->Activate();  // what a toolkit that activates on every focus change would do
    app_->PumpMessages();
    app_->Activate();
    app_->CloseMainWindow();
  });
  EXPECT_EQ(activations, 1);
  EXPECT_TRUE(mapped_at_activation);
  EXPECT_EQ(status, 1);  // the handler never reported success
  EXPECT_EQ(FltkMainWindow(*backend_), nullptr);
}

TEST_F(FltkBackendTest, WindowsHaveTheirDesignLayout) {
  CreateAndShow();
  EXPECT_STREQ(main_->label(), "SelfExtraction");
  char* icon_name = nullptr;  // what a task bar shows: the application title
  ASSERT_TRUE(XGetIconName(fl_display, fl_xid(main_), &icon_name));
  EXPECT_EQ(std::string(icon_name), app_->Title());
  XFree(icon_name);
  EXPECT_EQ(WmClass(main_), "LumoraUpdate/LumoraUpdate");  // docks group by the program
  EXPECT_EQ(main_->x(), 267);
  EXPECT_EQ(main_->y(), 154);
  EXPECT_EQ(main_->w(), 260);
  EXPECT_EQ(main_->h(), 87);
  // Fixed size: the hints the window manager reads say minimum = maximum = client size.
  XSizeHints hints;
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(fl_display, fl_xid(main_), &hints, &supplied));
  ASSERT_TRUE(hints.flags & PMinSize);
  ASSERT_TRUE(hints.flags & PMaxSize);
  EXPECT_EQ(hints.min_width, 260);
  EXPECT_EQ(hints.max_width, 260);
  EXPECT_EQ(hints.min_height, 87);
  EXPECT_EQ(hints.max_height, 87);
  // The icon: width, height, then 32 x 32 ARGB pixels.
  Atom type;
  int format;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  ASSERT_EQ(
      XGetWindowProperty(fl_display, fl_xid(main_), XInternAtom(fl_display, "_NET_WM_ICON", False),
                         0, 4096, False, XA_CARDINAL, &type, &format, &items, &after, &data),
      Success);
  ASSERT_NE(data, nullptr);
  EXPECT_GE(items, 2u + 32 * 32);
  const long* icon = reinterpret_cast<const long*>(data);
  EXPECT_EQ(icon[0], 32);
  EXPECT_EQ(icon[1], 32);
  XFree(data);

  Fl_Window* form3 = FltkForm3Window(*backend_);
  ASSERT_NE(form3, nullptr);
  EXPECT_FALSE(form3->shown());
  EXPECT_STREQ(form3->label(), "Error");
  EXPECT_EQ(form3->x(), 270);
  EXPECT_EQ(form3->y(), 287);
  EXPECT_EQ(form3->w(), 112);
  EXPECT_EQ(form3->h(), 99);
  bool has_button = false;
  for (int i = 0; i < form3->children(); ++i) {
    Fl_Widget* child = form3->child(i);
    if (child->label() && std::string(child->label()) == "OK") {
      has_button = true;
      EXPECT_EQ(child->x(), 13);
      EXPECT_EQ(child->y(), 62);
      EXPECT_EQ(child->w(), 75);
      EXPECT_EQ(child->h(), 23);
    }
  }
  EXPECT_TRUE(has_button);
}

TEST_F(FltkBackendTest, ModelChangesShowOnlyAtAPump) {
  CreateAndShow();
  TForm1& form = app_->Form1;
  const Rect& bar = form.ProgressBar1.bounds;
  const int inside_x = bar.left + 4, inside_y = bar.top + bar.height / 2;
  const unsigned long empty = Pixel(main_, inside_x, inside_y);

  form.ProgressBar1.SetPosition(100);
  form.Label4.Caption = "fp007.psd";
  Fl::check();  // events alone do not draw the model
  EXPECT_EQ(Pixel(main_, inside_x, inside_y), empty);
  EXPECT_EQ(DarkPixels(main_, form.Label4.bounds), 0);

  app_->PumpMessages();
  EXPECT_EQ(Pixel(main_, inside_x, inside_y), 0x000080u);  // a filled block
  EXPECT_GT(DarkPixels(main_, form.Label4.bounds), 10);

  // The bar shows Min..Max: at Min it is empty again, whatever Min is.
  form.ProgressBar1.SetMax(200);
  form.ProgressBar1.SetMin(100);
  form.ProgressBar1.SetPosition(0);
  app_->PumpMessages();
  EXPECT_EQ(Pixel(main_, inside_x, inside_y), empty);

  if (const char* dir = std::getenv("LUMORA_SCREENSHOT_DIR")) {
    // A picture of the window in the middle of an unpacking, for the documentation.
    form.Label1.Caption = "56%";
    form.Label2.Caption = "Please WAIT...   ";
    form.Label3.Caption = "Extracting file:";
    form.Label4.Caption = "fp012.psd";
    form.ProgressBar1.SetPosition(150);
    app_->PumpMessages();
    std::string command = "import -window " + std::to_string(fl_xid(main_)) + " " + dir +
                          "/fltk-progress-running.png";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
}

TEST_F(FltkBackendTest, PumpOnAnIdleQueueReturnsWithNothingLeft) {
  CreateAndShow();
  app_->PumpMessages();
  const auto start = std::chrono::steady_clock::now();
  backend_->DispatchPending();
  const auto took = std::chrono::steady_clock::now() - start;
  RecordProperty(
      "idle_pump_microseconds",
      static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
  EXPECT_EQ(Fl::ready(), 0);
  EXPECT_FALSE(app_->QuitRequested());
}

TEST_F(FltkBackendTest, TitleBarCloseOnlyQueuesTheEnd) {
  CreateAndShow();
  SendClose(main_);
  for (int i = 0; i < 200 && !app_->Terminating(); ++i) {
    app_->PumpMessages();
    if (!app_->Terminating()) Fl::wait(0.01);
  }
  EXPECT_TRUE(app_->Terminating());
  EXPECT_TRUE(main_->shown());  // the window stays until the loop ends
  EXPECT_TRUE(Mapped(main_));
}

TEST_F(FltkBackendTest, EscapeDoesNotCloseTheProgressWindow) {
  CreateAndShow();
  PressKey(main_, FL_Escape);
  app_->PumpMessages();
  EXPECT_FALSE(app_->QuitRequested());
  EXPECT_FALSE(app_->Terminating());
}

TEST_F(FltkBackendTest, BoxAnswersKeysAndTitleBarClose) {
  CreateAndShow();
  struct Case {
    const char* what;
    std::function<void(Fl_Window*)> act;
    int result;
  };
  const Case cases[] = {
      {"Enter", [](Fl_Window* w) { PressKey(w, FL_Enter); }, kResultOk},
      {"keypad Enter", [](Fl_Window* w) { PressKey(w, FL_KP_Enter); }, kResultOk},
      {"Esc", [](Fl_Window* w) { PressKey(w, FL_Escape); }, kResultOk},
      {"title bar close", [](Fl_Window* w) { SendClose(w); }, kResultClosed},
      {"Esc on the main window", [this](Fl_Window*) { PressKey(main_, FL_Escape); }, kResultOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int result = BoxWith(MessageKind::Warning, "Duplication elements!", c.act);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Fl::modal(), nullptr);
    EXPECT_FALSE(app_->QuitRequested());
  }
}

TEST_F(FltkBackendTest, BoxIsModalCentredAndCaptionedByKind) {
  CreateAndShow();
  const struct {
    MessageKind kind;
    const char* caption;
  } kinds[] = {{MessageKind::Warning, "Warning"},
               {MessageKind::Error, "Error"},
               {MessageKind::Information, "Information"}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.caption);
    BoxWith(k.kind, "Database successfully updated.", [&](Fl_Window* box) {
      ASSERT_NE(box, nullptr);
      EXPECT_NE(box, main_);
      EXPECT_STREQ(box->label(), k.caption);
      EXPECT_EQ(WmClass(box), "LumoraUpdate/LumoraUpdate");
      EXPECT_TRUE(Mapped(box));
      EXPECT_NEAR(box->x(), (Fl::w() - box->w()) / 2, 1);
      EXPECT_NEAR(box->y(), (Fl::h() - box->h()) / 2, 1);
      PressKey(box, FL_Enter);
    });
  }
}

TEST_F(FltkBackendTest, BoxTextBreaksAtLineEndsAndWrapsToHalfTheScreen) {
  CreateAndShow();
  int one_line_h = 0, five_lines_h = 0, long_w = 0;
  BoxWith(MessageKind::Error, "a b c d e", [&](Fl_Window* box) {
    one_line_h = box->h();
    PressKey(box, FL_Enter);
  });
  BoxWith(MessageKind::Error, "a\n\rb\nc\rd\n\re", [&](Fl_Window* box) {
    five_lines_h = box->h();
    PressKey(box, FL_Enter);
  });
  std::string long_text;
  for (int i = 0; i < 60; ++i) long_text += "update ";
  BoxWith(MessageKind::Error, long_text, [&](Fl_Window* box) {
    long_w = box->w();
    PressKey(box, FL_Enter);
  });
  EXPECT_GE(five_lines_h, one_line_h + 2 * 11);  // five lines of 11-pixel text pass the icon
  EXPECT_LE(long_w, Fl::w() / 2 + 100);          // text at most half the screen, plus margins
}

TEST_F(FltkBackendTest, MainWindowTakesNoCloseWhileABoxIsOpen) {
  CreateAndShow();
  std::unique_ptr<Later> answer;
  int result = BoxWith(MessageKind::Information, "Database successfully updated.",
                       [this, &answer](Fl_Window*) {
                         SendClose(main_);
                         // Enter a moment later, to whatever box is still open by then.
                         answer = std::make_unique<Later>(0.1, [] {
                           if (Fl::modal()) PressKey(Fl::modal(), FL_Enter);
                         });
                       });
  EXPECT_EQ(result, kResultOk);
  EXPECT_FALSE(app_->QuitRequested());
  EXPECT_FALSE(app_->Terminating());
  EXPECT_TRUE(main_->shown());
}

TEST_F(FltkBackendTest, BoxClosesByItselfOnceTerminating) {
  CreateAndShow();
  app_->CloseMainWindow();
  app_->PumpMessages();
  ASSERT_TRUE(app_->Terminating());
  Later guard(5.0, [] {
    if (Fl::modal()) PressKey(Fl::modal(), FL_Enter);
  });
  EXPECT_EQ(app_->ShowMessageDialog("Database successfully updated.", MessageKind::Information,
                                    kButtonOk, 0),
            kResultClosed);
  EXPECT_FALSE(guard.fired()) << "the box waited for the user";
  EXPECT_EQ(Fl::modal(), nullptr);
}

TEST_F(FltkBackendTest, RealKeyFromXdotoolPressesOk) {
  const std::string xdotool = FindProgram("xdotool");
  if (xdotool.empty()) GTEST_SKIP() << "xdotool is not installed";
  CreateAndShow();
  pid_t child = 0;
  int result =
      BoxWith(MessageKind::Information, "Database successfully updated.", [&](Fl_Window* box) {
        std::string id = std::to_string(fl_xid(box));
        std::vector<std::string> args = {xdotool, "windowfocus", "--sync", id, "key", "Return"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&child, xdotool.c_str(), nullptr, nullptr, argv.data(), environ), 0);
      });
  int child_status = 0;
  if (child > 0) waitpid(child, &child_status, 0);
  EXPECT_EQ(result, kResultOk);
}

TEST_F(FltkBackendTest, ErrorBoxCarriesTheApplicationTitle) {
  CreateAndShow();
  std::string caption;
  Later action(0.05, [&] {
    if (Fl::modal()) {
      caption = Fl::modal()->label();
      PressKey(Fl::modal(), FL_Enter);
    }
  });
  app_->ReportUncaught("File not found");
  EXPECT_EQ(caption, "Lumoraupdate");
  ASSERT_FALSE(app_->ShownMessages().empty());
  EXPECT_EQ(app_->ShownMessages().back().text, "File not found.");
}

TEST_F(FltkBackendTest, Form3ButtonRunsItsHandlerAndHides) {
  CreateAndShow();
  Fl_Window* form3 = FltkForm3Window(*backend_);
  app_->Form3.Visible = true;
  app_->Form3.Image1Visible = false;
  app_->Form3.Image2Visible = true;
  form3->show();
  Fl::check();
  EXPECT_EQ(WmClass(form3), "LumoraUpdate/LumoraUpdate");
  Fl_Widget* button = nullptr;
  for (int i = 0; i < form3->children(); ++i) {
    if (form3->child(i)->label() && std::string(form3->child(i)->label()) == "OK")
      button = form3->child(i);
  }
  ASSERT_NE(button, nullptr);
  button->do_callback();
  EXPECT_TRUE(app_->Form3.Image1Visible);
  EXPECT_FALSE(app_->Form3.Image2Visible);
  EXPECT_FALSE(app_->Form3.Visible);
  EXPECT_FALSE(form3->shown());
  EXPECT_FALSE(app_->QuitRequested());  // Form3 is never the main window
}

// Raises sig on a thread of its own after a moment. The handler runs on that thread, so
// only the signal's wake-up pipe can end a wait on this one.
std::thread RaiseSoon(int sig) {
  return std::thread([sig] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    raise(sig);
  });
}

TEST_F(FltkBackendTest, CloseSignalEndsAWaitAtOnce) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    backend_->DestroyWindows();
    app_ = std::make_unique<Application>(*backend_, "/opt/lumora/LumoraUpdate.exe");
    CreateAndShow();
    while (Fl::check() && Fl::ready()) {
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread raiser = RaiseSoon(sig);
    // Stray X events may end a wait early; a missed signal would show as a 3 s wait.
    while (!app_->QuitRequested() &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
      backend_->WaitAndDispatch(3000);
    }
    raiser.join();
    EXPECT_TRUE(app_->QuitRequested());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1000);
    EXPECT_TRUE(main_->shown());  // the window stays until the loop ends
  }
}

TEST_F(FltkBackendTest, CloseSignalClosesAnOpenBox) {
  CreateAndShow();
  std::thread raiser;
  int result = BoxWith(MessageKind::Information, "Database successfully updated.",
                       [&](Fl_Window*) { raiser = RaiseSoon(SIGHUP); });
  raiser.join();
  EXPECT_EQ(result, kResultClosed);
  EXPECT_TRUE(app_->Terminating());  // the run goes on; its next boxes close at once
}

TEST(WrapMessageText, LineEndsAndWordWrap) {
  const auto chars = [](const std::string& s) { return static_cast<int>(s.size()); };
  const struct {
    const char* text;
    int width;
    std::vector<std::string> lines;
  } cases[] = {
      {"one\n\rtwo", 80, {"one", "two"}},
      {"one\ntwo\rthree", 80, {"one", "two", "three"}},
      {"one\r\ntwo", 80, {"one", "two"}},
      {"a\n\r\n\rb", 80, {"a", "", "b"}},
      {"x\n\r After", 80, {"x", " After"}},  // leading space kept
      {"aaa bbb ccc", 7, {"aaa bbb", "ccc"}},
      {"aaa bbb ccc", 3, {"aaa", "bbb", "ccc"}},
      {"abcdefgh", 3, {"abc", "def", "gh"}},  // a word wider than the line is cut
      {"", 10, {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(WrapMessageText(c.text, c.width, chars), c.lines);
  }
}

}  // namespace
}  // namespace lumora
