#include "ui/fltk/fltk_backend.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>

#include "shell/application.h"
#include "ui/fltk/icons.h"
#include "ui/posix/close_signals.h"

namespace lumora {
namespace {

using fltk_ui::kIconSize;
using fltk_ui::Picture;

constexpr int kFontSize = 11;  // pixels: the 8-point face at 96 dpi
// The 8-point face of the design, "MS Sans Serif", has no match here: Helvetica stands in
// for it (fontconfig finds its metric twin, e.g. Nimbus Sans), in a font slot of our own.
constexpr Fl_Font kFace = FL_FREE_FONT;
constexpr int kBarChunk = 8;      // pixels of one block of the progress bar
constexpr int kBarGap = 2;        // pixels between two blocks
constexpr int kMargin = 12;       // pixels around the content of a message box
constexpr int kButtonWidth = 75;  // the message box's OK button
constexpr int kButtonHeight = 23;
// The WM_CLASS of every window: docks and task bars group the windows under the program's
// own name rather than the toolkit's.
constexpr const char* kWindowClass = "LumoraUpdate";
constexpr double kShowTimeout = 2.0;     // seconds to wait for a new window to be mapped
constexpr double kBoxPollSeconds = 0.1;  // seconds: longest wait of a message box's loop

// An RGBA picture that FLTK can draw and use as a window icon. The pixel buffer lives as
// long as the image.
class PictureImage {
 public:
  explicit PictureImage(Picture picture)
      : pixels_(fltk_ui::PictureRgba(picture)), image_(pixels_.data(), kIconSize, kIconSize, 4) {}
  PictureImage(const PictureImage&) = delete;
  PictureImage& operator=(const PictureImage&) = delete;
  Fl_RGB_Image& image() { return image_; }

 private:
  std::vector<unsigned char> pixels_;
  Fl_RGB_Image image_;
};

bool IsEscape(int event) {
  return (event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_Escape;
}

// Shows a window and handles events until the X server has mapped it and it has painted,
// so it is on screen before the caller goes on. Bounded, so a window manager that holds
// the window back cannot hang the run.
void ShowAndWait(Fl_Window& window) {
  window.show();
  const double step = 0.01;
  for (double waited = 0; waited < kShowTimeout; waited += step) {
    Fl::wait(step);
    XWindowAttributes attributes;
    const Window xid = fl_xid(&window);
    if (xid && XGetWindowAttributes(fl_display, xid, &attributes) &&
        attributes.map_state == IsViewable) {
      break;
    }
  }
  // The first Expose arrives right after the map.
  XSync(fl_display, False);
  Fl::check();
  Fl::flush();
}

// What the progress window shows. The window keeps a copy of what it drew last, so a pump
// redraws only when the model changed.
struct Drawn {
  std::string caption1, caption2, caption3, caption4;
  uint16_t min = 0, max = 100, position = 0;

  static Drawn From(const TForm1& form) {
    return {form.Label1.Caption,         form.Label2.Caption,     form.Label3.Caption,
            form.Label4.Caption,         form.ProgressBar1.Min(), form.ProgressBar1.Max(),
            form.ProgressBar1.Position()};
  }
  bool operator==(const Drawn& o) const {
    return caption1 == o.caption1 && caption2 == o.caption2 && caption3 == o.caption3 &&
           caption4 == o.caption4 && min == o.min && max == o.max && position == o.position;
  }
};

// A label's text with its top edge at top (the model gives top-left corners).
void DrawLabel(const std::string& text, const Rect& at, Fl_Color color) {
  fl_font(kFace, kFontSize);
  fl_color(color);
  fl_draw(text.c_str(), at.left, at.top + fl_height() - fl_descent());
}

// The classic bar: a thin sunken frame and blocks filled in up to Position over Min..Max.
void DrawBar(const Rect& r, uint16_t min, uint16_t max, uint16_t position) {
  fl_draw_box(FL_THIN_DOWN_BOX, r.left, r.top, r.width, r.height, FL_BACKGROUND_COLOR);
  const int inner_x = r.left + 2, inner_y = r.top + 2;
  const int inner_w = r.width - 4, inner_h = r.height - 4;
  const int span = max > min ? max - min : 0;
  const int filled =
      span ? static_cast<int>(static_cast<int64_t>(position - min) * inner_w / span) : 0;
  fl_color(fl_rgb_color(0, 0, 128));
  for (int x = 0; x < filled; x += kBarChunk + kBarGap) {
    fl_rectf(inner_x + x, inner_y, std::min(kBarChunk, filled - x), inner_h);
  }
}

class ProgressWindow : public Fl_Double_Window {
 public:
  ProgressWindow(const TForm1& form)
      : Fl_Double_Window(form.bounds.left, form.bounds.top, form.bounds.width, form.bounds.height),
        form_(form),
        drawn_(Drawn::From(form)) {
    copy_label(form.Caption.c_str());
    xclass(kWindowClass);
    end();
    // Single fixed border: the size hints say minimum = maximum, so a window manager
    // offers neither resizing nor maximising.
    size_range(w(), h(), w(), h());
  }

  // Schedules a repaint when the model differs from what was drawn last.
  bool Sync() {
    Drawn now = Drawn::From(form_);
    if (now == drawn_) return false;
    drawn_ = std::move(now);
    redraw();
    return true;
  }

  int handle(int event) override {
    // The progress window offers no controls: Escape does not close it.
    if (IsEscape(event)) return 1;
    return Fl_Double_Window::handle(event);
  }

 protected:
  void draw() override {
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(0, 0, w(), h());
    DrawLabel(drawn_.caption2, form_.Label2.bounds, FL_FOREGROUND_COLOR);
    DrawLabel(drawn_.caption3, form_.Label3.bounds, FL_FOREGROUND_COLOR);
    DrawLabel(drawn_.caption4, form_.Label4.bounds, FL_FOREGROUND_COLOR);
    DrawLabel(drawn_.caption1, form_.Label1.bounds, FL_BLACK);
    DrawBar(form_.ProgressBar1.bounds, drawn_.min, drawn_.max, drawn_.position);
  }

 private:
  const TForm1& form_;
  Drawn drawn_;
};

// A push button drawn as the default one: a black frame around the raised face.
class DefaultButton : public Fl_Button {
 public:
  DefaultButton(int x, int y, int w, int h, const char* label) : Fl_Button(x, y, w, h, label) {
    labelfont(kFace);
    labelsize(kFontSize);
    shortcut(FL_Enter);
  }

  int handle(int event) override {
    if (event == FL_SHORTCUT && Fl::event_key() == FL_KP_Enter) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }

 protected:
  void draw() override {
    fl_color(FL_BLACK);
    fl_rect(x(), y(), w(), h());
    draw_box(value() ? FL_DOWN_BOX : FL_UP_BOX, x() + 1, y() + 1, w() - 2, h() - 2,
             FL_BACKGROUND_COLOR);
    draw_label(x() + 1, y() + 1, w() - 2, h() - 2);
    if (Fl::focus() == this) draw_focus(FL_UP_BOX, x() + 2, y() + 2, w() - 4, h() - 4);
  }
};

Picture KindPicture(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning:
      return Picture::kWarning;
    case MessageKind::Error:
      return Picture::kError;
    case MessageKind::Information:
      return Picture::kInformation;
  }
  return Picture::kError;
}

// A message box: the kind's symbol at the top left, the text to its right, OK centred
// below. result is 0 while it is open, 1 for OK (mouse, Enter, Esc), 2 for the title
// bar's close.
class MessageWindow : public Fl_Double_Window {
 public:
  MessageWindow(const std::string& caption, const std::string& text, MessageKind kind)
      : Fl_Double_Window(100, 100), picture_(KindPicture(kind)) {
    copy_label(caption.c_str());
    xclass(kWindowClass);
    fl_font(kFace, kFontSize);
    const int text_left = kMargin + kIconSize + kMargin;
    lines_ = WrapMessageText(text, std::max(Fl::w() / 2, 1), [](const std::string& s) {
      return static_cast<int>(fl_width(s.c_str()));
    });
    int text_w = 0;
    for (const std::string& line : lines_) {
      text_w = std::max(text_w, static_cast<int>(fl_width(line.c_str())));
    }
    line_h_ = fl_height();
    const int text_h = static_cast<int>(lines_.size()) * line_h_;
    // A short text stands centred beside the symbol, a long one starts at its top.
    text_top_ = text_h < kIconSize ? kMargin + (kIconSize - text_h) / 2 : kMargin;
    text_left_ = text_left;
    const int content_bottom = std::max(kMargin + kIconSize, text_top_ + text_h);
    const int width = std::max(text_left + text_w + kMargin, kButtonWidth + 2 * kMargin);
    const int height = content_bottom + kMargin + kButtonHeight + kMargin;
    size(width, height);
    position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
    ok_ = new DefaultButton((width - kButtonWidth) / 2, content_bottom + kMargin, kButtonWidth,
                            kButtonHeight, "OK");
    ok_->callback([](Fl_Widget*, void* self) { static_cast<MessageWindow*>(self)->result = 1; },
                  this);
    end();
    size_range(width, height, width, height);
    set_modal();
    callback([](Fl_Widget*, void* self) { static_cast<MessageWindow*>(self)->result = 2; }, this);
  }

  int handle(int event) override {
    // The OK button is the cancel button too: Esc presses it.
    if (IsEscape(event)) {
      ok_->do_callback();
      return 1;
    }
    return Fl_Double_Window::handle(event);
  }

  Fl_Button* ok() { return ok_; }
  int result = 0;

 protected:
  void draw() override {
    Fl_Double_Window::draw();
    picture_.image().draw(kMargin, kMargin);
    fl_font(kFace, kFontSize);
    fl_color(FL_FOREGROUND_COLOR);
    int y = text_top_ + fl_height() - fl_descent();
    for (const std::string& line : lines_) {
      fl_draw(line.c_str(), text_left_, y);
      y += line_h_;
    }
  }

 private:
  PictureImage picture_;
  std::vector<std::string> lines_;
  int text_left_ = 0, text_top_ = 0, line_h_ = 0;
  DefaultButton* ok_ = nullptr;
};

// The picture area of Form3: the topmost visible of its four images (Image2, Image3,
// Image4, Image1 in stacking order, the later above the earlier).
class Form3Images : public Fl_Widget {
 public:
  Form3Images(const TForm3& form)
      : Fl_Widget(form.imageBounds.left, form.imageBounds.top, form.imageBounds.width,
                  form.imageBounds.height),
        form_(form),
        blank_(Picture::kBlank),
        error_(Picture::kError),
        warning_(Picture::kWarning),
        information_(Picture::kInformation) {}

 protected:
  void draw() override {
    PictureImage* top = nullptr;
    if (form_.Image2Visible) top = &error_;
    if (form_.Image3Visible) top = &warning_;
    if (form_.Image4Visible) top = &information_;
    if (form_.Image1Visible) top = &blank_;
    if (top) top->image().draw(x(), y());
  }

 private:
  const TForm3& form_;
  PictureImage blank_, error_, warning_, information_;
};

class FltkBackend : public UiBackend {
 public:
  FltkBackend() : app_icon_(Picture::kApplication) { Fl::set_font(kFace, " Helvetica"); }
  ~FltkBackend() override { DestroyWindows(); }

  void CreateWindows(Application& app) override {
    app_ = &app;
    Fl::visible_focus(1);
    main_ = std::make_unique<ProgressWindow>(app.Form1);
    PlaceOnScreen(*main_);
    main_->icon(&app_icon_.image());
    // Task bars and icon boxes name the program by the window's icon name: the
    // application title, while the title bar shows the window's caption.
    icon_name_ = app.Title();
    main_->iconlabel(icon_name_.c_str());
    main_->callback(
        [](Fl_Widget*, void* self) { static_cast<FltkBackend*>(self)->CloseRequested(); }, this);
    CreateForm3(app.Form3);
    // A close signal wakes FLTK's wait through its pipe, so it is delivered at once even
    // while the program waits or a message box is open.
    if (signals_.wake_fd() >= 0 && !watching_signals_) {
      Fl::add_fd(
          signals_.wake_fd(), FL_READ,
          [](int, void* self) { static_cast<FltkBackend*>(self)->TakeSignals(); }, this);
      watching_signals_ = true;
    }
    TakeSignals();
    dispatch_installed_ = true;
    Fl::event_dispatch(&FltkBackend::Dispatch);
  }

  void ShowMainWindow() override {
    if (!main_) return;
    main_->Sync();
    ShowAndWait(*main_);
  }

  void DispatchPending() override {
    TakeSignals();
    if (main_) main_->Sync();
    Fl::check();
    Fl::flush();
  }

  void WaitAndDispatch(int timeout_ms) override {
    TakeSignals();
    if (app_ && app_->QuitRequested()) return;
    if (main_) main_->Sync();
    if (timeout_ms < 0) {
      Fl::wait();
    } else {
      Fl::wait(timeout_ms / 1000.0);
    }
    Fl::flush();
  }

  int RunMessageBox(const std::string& caption, const std::string& text, MessageKind kind,
                    bool close_at_once, const std::function<bool()>& stop) override {
    // The window beneath shows the model as it stands when the box opens.
    if (main_) main_->Sync();
    Fl::flush();
    MessageWindow box(caption, text, kind);
    if (main_ && main_->shown()) box.icon(&app_icon_.image());
    ShowAndWait(box);
    box.ok()->take_focus();
    int result = 0;
    if (close_at_once) {
      Fl::check();
      result = kResultClosed;
    }
    while (result == 0) {
      if (stop()) {
        result = kResultClosed;
        break;
      }
      if (box.result != 0) {
        result = box.result;
        break;
      }
      // Events wake the wait at once; the limit lets stop() turn true from elsewhere too
      // (a timer, a signal) and still end the box within a moment.
      Fl::wait(kBoxPollSeconds);
    }
    box.hide();
    Fl::flush();
    if (main_ && main_->shown()) Fl::focus(main_.get());
    return result;
  }

  void ShowErrorBox(const std::string& title, const std::string& text) override {
    // A quit request that arrives while it is open closes it, as it closes every box.
    RunMessageBox(title, text, MessageKind::Error, false,
                  [this] { return app_ && app_->QuitRequested(); });
  }

  void DestroyWindows() override {
    if (watching_signals_) {
      Fl::remove_fd(signals_.wake_fd());
      watching_signals_ = false;
    }
    if (dispatch_installed_) {
      Fl::event_dispatch(nullptr);
      dispatch_installed_ = false;
    }
    form3_.reset();
    main_.reset();
    Fl::check();
  }

 private:
  static void PlaceOnScreen(Fl_Window& w) {
    // The design position, unless it would put the window off the screen.
    if (w.x() + w.w() > Fl::w() || w.y() + w.h() > Fl::h()) {
      w.position(std::max(0, (Fl::w() - w.w()) / 2), std::max(0, (Fl::h() - w.h()) / 2));
    }
  }

  void CreateForm3(TForm3& form) {
    form3_ = std::make_unique<Fl_Double_Window>(form.bounds.left, form.bounds.top,
                                                form.bounds.width, form.bounds.height);
    form3_->copy_label(form.Caption.c_str());
    form3_->xclass(kWindowClass);
    new Form3Images(form);
    auto* label = new Fl_Box(form.Label1.bounds.left, form.Label1.bounds.top,
                             form.Label1.bounds.width, form.Label1.bounds.height);
    label->copy_label(form.Label1.Caption.c_str());
    label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    label->labelfont(kFace);
    label->labelsize(kFontSize);
    auto* button = new Fl_Button(form.button1Bounds.left, form.button1Bounds.top,
                                 form.button1Bounds.width, form.button1Bounds.height);
    button->copy_label(form.Button1Caption.c_str());
    button->labelfont(kFace);
    button->labelsize(kFontSize);
    button->callback(
        [](Fl_Widget*, void* self) { static_cast<FltkBackend*>(self)->Form3Button1(); }, this);
    form3_->end();
    form3_->size_range(form3_->w(), form3_->h(), form3_->w(), form3_->h());
    form3_->callback(
        [](Fl_Widget* w, void* self) {
          auto* backend = static_cast<FltkBackend*>(self);
          if (backend->app_) backend->app_->Form3.Visible = false;
          w->hide();
        },
        this);
  }

  void Form3Button1() {
    if (!app_) return;
    app_->Form3.Button1Click();
    form3_->redraw();
    if (!app_->Form3.Visible) form3_->hide();
  }

  void CloseRequested() {
    if (app_) app_->CloseMainWindow();
  }

  // Delivers a close that a signal asked for: the same as the title bar's close, except
  // that a message box does not hold it back (it closes the box, as a quit request does).
  void TakeSignals() {
    if (app_ && signals_.Take()) app_->CloseMainWindow();
  }

  // Every event passes here first. While a message box is open the other windows take no
  // input, as disabled windows would: the title bar's close of any of them is dropped.
  static int Dispatch(int event, Fl_Window* window) {
    if (event == FL_CLOSE && Fl::modal() != nullptr && window != Fl::modal()) return 1;
    return Fl::handle_(event, window);
  }

  friend Fl_Window* lumora::FltkMainWindow(UiBackend&);
  friend Fl_Window* lumora::FltkForm3Window(UiBackend&);

  CloseSignals signals_;
  bool watching_signals_ = false;  // the signals' pipe is one of FLTK's descriptors
  Application* app_ = nullptr;
  std::string icon_name_;            // the main window's icon name (FLTK keeps only the pointer)
  bool dispatch_installed_ = false;  // Dispatch is FLTK's event hook
  PictureImage app_icon_;
  std::unique_ptr<ProgressWindow> main_;
  std::unique_ptr<Fl_Double_Window> form3_;
};

}  // namespace

std::vector<std::string> WrapMessageText(const std::string& text, int max_width,
                                         const std::function<int(const std::string&)>& width_of) {
  std::vector<std::string> paragraphs(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      const char other = c == '\n' ? '\r' : '\n';
      if (i + 1 < text.size() && text[i + 1] == other) ++i;
      paragraphs.emplace_back();
    } else {
      paragraphs.back() += c;
    }
  }
  std::vector<std::string> lines;
  for (const std::string& paragraph : paragraphs) {
    std::string line;
    bool started = false;
    size_t pos = 0;
    while (pos <= paragraph.size()) {
      size_t space = paragraph.find(' ', pos);
      if (space == std::string::npos) space = paragraph.size();
      const std::string word = paragraph.substr(pos, space - pos);
      pos = space + 1;
      std::string candidate = started ? line + " " + word : word;
      if (!started || width_of(candidate) <= max_width) {
        line = std::move(candidate);
        started = true;
      } else {
        lines.push_back(line);
        line = word;
      }
      // A word wider than the box is cut between characters.
      while (line.size() > 1 && width_of(line) > max_width) {
        size_t fit = 1;
        while (fit + 1 < line.size() && width_of(line.substr(0, fit + 1)) <= max_width) ++fit;
        lines.push_back(line.substr(0, fit));
        line = line.substr(fit);
      }
    }
    lines.push_back(line);
  }
  return lines;
}

Fl_Window* FltkMainWindow(UiBackend& backend) {
  return static_cast<FltkBackend&>(backend).main_.get();
}

Fl_Window* FltkForm3Window(UiBackend& backend) {
  return static_cast<FltkBackend&>(backend).form3_.get();
}

std::unique_ptr<UiBackend> CreateFltkBackend() {
  if (!fl_display) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    fl_open_display(display);
  }
  return std::make_unique<FltkBackend>();
}

}  // namespace lumora
