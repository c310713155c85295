#include "ui/win32/win32_backend.h"

#include "platform/win32/win32_windows.h"
#include "ui/win32/resource_ids.h"
// (windows.h first)
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace lumora {
namespace {

constexpr char kAppClass[] = "TApplication";
constexpr char kMainClass[] = "TForm1";
constexpr char kForm3Class[] = "TForm3";
constexpr char kBoxClass[] = "TMessageForm";

constexpr DWORD kAppStyle = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kDialogExStyle = WS_EX_DLGMODALFRAME;

constexpr int kButton1Id = 1;  // Form3's Button1

// Message box layout, in pixels.
constexpr int kBoxMargin = 12;     // around the content
constexpr int kBoxIconSize = 32;   // the system icon
constexpr int kBoxIconGap = 12;    // between the icon and the text
constexpr int kBoxButtonGap = 14;  // between the content and the button
constexpr int kBoxButtonWidth = 75;
constexpr int kBoxButtonHeight = 23;
constexpr int kBoxMinTextWidth = 120;

// Form3's Image1: a plain light grey (silver) square of 32x32 pixels, made through
// CreateIcon with 32-bit colour bits and an all-clear mask.
HICON GreyIcon(HINSTANCE inst) {
  constexpr int kSize = 32;
  std::vector<BYTE> colour(kSize * kSize * 4);
  for (size_t i = 0; i < colour.size(); i += 4) {
    colour[i] = colour[i + 1] = colour[i + 2] = 192;
    colour[i + 3] = 0xFF;
  }
  std::vector<BYTE> mask(kSize * kSize / 8, 0);
  return CreateIcon(inst, kSize, kSize, 1, 32, mask.data(), colour.data());
}

// The program's icon from its resource at the system's size for the use (big: Alt+Tab and
// the task bar, small: the title bar), the system's application icon when the module has
// none (a test program).
HICON ProgramIcon(HINSTANCE inst, bool small) {
  const int w = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  const int h = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
  HANDLE icon = LoadImageA(inst, MAKEINTRESOURCEA(LUMORA_ICON_PROGRAM), IMAGE_ICON, w, h,
                           LR_DEFAULTCOLOR | LR_SHARED);
  if (!icon) icon = LoadImageA(nullptr, MAKEINTRESOURCEA(32512), IMAGE_ICON, w, h, LR_SHARED);
  return static_cast<HICON>(icon);
}

bool SameText(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

// The reason the system shows beside the program while it holds off the end of the session.
constexpr wchar_t kSessionBlockReason[] = L"Updating the Lumora database";

// ShutdownBlockReasonCreate and ShutdownBlockReasonDestroy exist from Windows Vista on and
// in their wide form only: they are looked up in user32, so the program still starts where
// they are missing (the answer to the session's query holds it off there all the same).
template <typename Fn>
Fn User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  FARPROC proc = user32 ? GetProcAddress(user32, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

bool BlockSessionEnd(HWND hwnd) {
  using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
  static const Create create = User32Function<Create>("ShutdownBlockReasonCreate");
  return create && create(hwnd, kSessionBlockReason);
}

void UnblockSessionEnd(HWND hwnd) {
  using Destroy = BOOL(WINAPI*)(HWND);
  static const Destroy destroy = User32Function<Destroy>("ShutdownBlockReasonDestroy");
  if (destroy) destroy(hwnd);
}

// The window rectangle around a client area of width x height at (left, top).
RECT OuterRect(int left, int top, int width, int height, DWORD style, DWORD ex_style) {
  RECT r = {left, top, left + width, top + height};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  // The design position is the window's own: keep its top left where it was put.
  OffsetRect(&r, left - r.left, top - r.top);
  return r;
}

// Keeps a window's rectangle on the screen when the design position is not usable there.
RECT OnScreen(RECT r) {
  const int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  const int w = r.right - r.left, h = r.bottom - r.top;
  int x = std::max(0, std::min<int>(r.left, sw - w));
  int y = std::max(0, std::min<int>(r.top, sh - h));
  return {x, y, x + w, y + h};
}

void RegisterOnce(HINSTANCE inst, const char* name, WNDPROC proc, HICON icon, HICON small_icon) {
  WNDCLASSEXA existing;
  existing.cbSize = sizeof existing;
  if (GetClassInfoExA(inst, name, &existing)) return;
  WNDCLASSEXA wc;
  ZeroMemory(&wc, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = inst;
  wc.hIcon = icon;
  wc.hIconSm = small_icon;
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  RegisterClassExA(&wc);
}

// What one open message box needs in its window procedure.
struct BoxState {
  std::string text;  // with CR LF line breaks
  HICON icon = nullptr;
  HFONT font = nullptr;
  RECT text_rect{};
  int result = 0;
  bool done = false;
};

LRESULT CALLBACK BoxProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* st = reinterpret_cast<BoxState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (st) {
    switch (msg) {
      case WM_COMMAND:
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
          st->result = kResultOk;
          st->done = true;
          return 0;
        }
        break;
      case WM_CLOSE:
        st->result = kResultClosed;
        st->done = true;
        return 0;
      case DM_GETDEFID:
        return MAKELRESULT(IDOK, DC_HASDEFID);
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        DrawIconEx(dc, kBoxMargin, kBoxMargin, st->icon, kBoxIconSize, kBoxIconSize, 0, nullptr,
                   DI_NORMAL);
        HGDIOBJ old = SelectObject(dc, st->font);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        RECT r = st->text_rect;
        DrawTextA(dc, st->text.c_str(), static_cast<int>(st->text.size()), &r,
                  DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
        SelectObject(dc, old);
        EndPaint(hwnd, &ps);
        return 0;
      }
      default:
        break;
    }
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

std::string ToCrLf(const std::string& text) {
  std::string s;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n' || c == '\r') {
      const char other = c == '\n' ? '\r' : '\n';
      if (i + 1 < text.size() && text[i + 1] == other) ++i;
      s += "\r\n";
    } else {
      s += c;
    }
  }
  return s;
}

struct Win32Backend::Impl {
  Application* app = nullptr;
  HINSTANCE inst = GetModuleHandleA(nullptr);
  HFONT font = nullptr;
  bool own_font = false;
  int text_height = 13;
  HICON icon = nullptr;        // shared: the system keeps it for the process
  HICON small_icon = nullptr;  // shared too
  HICON grey_icon = nullptr;

  // The application's own window: no size, titled with the application title, it carries
  // the task-bar button and owns Form1, which therefore has none of its own.
  HWND app_window = nullptr;
  HWND main = nullptr;
  HWND labels[4] = {};
  HWND bar = nullptr;
  HWND form3 = nullptr;
  HWND form3_images[4] = {};  // Image1..Image4
  HWND form3_label = nullptr;
  HWND form3_button = nullptr;

  // The update is running: the end of the session is held off meanwhile.
  bool update_running = false;
  bool block_reason_set = false;  // the system holds the reason for main

  // What the windows show now, to redraw only what the model changed.
  std::string drawn[4];
  bool bar_drawn = false;
  uint16_t drawn_min = 0, drawn_max = 0, drawn_position = 0;
  bool form3_visible = false;

  static Impl* From(HWND hwnd) {
    return reinterpret_cast<Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  }

  // The backend of a window: handed over at its creation, kept with the window after.
  static Impl* Attach(HWND hwnd, UINT msg, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    return From(hwnd);
  }

  // The end of the user's session, asked of and told to every top-level window. While the
  // update runs the answer is no; a session that ends anyway is the main window's close:
  // the end is queued, and the update goes on as long as the system lets it.
  bool SessionMessage(UINT msg, WPARAM wp, LRESULT& answer) {
    if (msg == WM_QUERYENDSESSION) {
      answer = update_running ? FALSE : TRUE;
      return true;
    }
    if (msg == WM_ENDSESSION) {
      if (wp && app) app->CloseMainWindow();
      answer = 0;
      return true;
    }
    return false;
  }

  static LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Impl* self = Attach(hwnd, msg, lp);
    LRESULT answer = 0;
    if (self && self->SessionMessage(msg, wp, answer)) return answer;
    if (self && msg == WM_CLOSE) {
      // The title bar's close only queues the end: the work in progress runs on, and the
      // message loop ends the program when control is back in it.
      if (self->app) self->app->CloseMainWindow();
      return 0;
    }
    if (self && msg == WM_SYSCOMMAND && (wp & 0xFFF0) == SC_MINIMIZE && self->app_window) {
      // The program minimises as a whole, to its task-bar button; the windows it owns hide.
      ShowWindow(self->app_window, SW_MINIMIZE);
      return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
  }

  static LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Impl* self = Attach(hwnd, msg, lp);
    LRESULT answer = 0;
    if (self && self->SessionMessage(msg, wp, answer)) return answer;
    if (self && msg == WM_CLOSE) {
      // The task bar's close is the main window's close, which a message box blocks.
      if (self->main && IsWindowEnabled(self->main)) SendMessageA(self->main, WM_CLOSE, 0, 0);
      return 0;
    }
    if (self && msg == WM_ACTIVATE && LOWORD(wp) != WA_INACTIVE) {
      // Activated through its task-bar button: the window in front takes the activation,
      // the open message box when there is one.
      HWND front = GetLastActivePopup(hwnd);
      if (front && !IsWindowEnabled(front)) front = GetLastActivePopup(front);
      if (front && front != hwnd && IsWindowVisible(front) && IsWindowEnabled(front)) {
        SetActiveWindow(front);
      }
      return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
  }

  static LRESULT CALLBACK Form3Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Impl* self = Attach(hwnd, msg, lp);
    if (self && self->app) {
      if (msg == WM_COMMAND && LOWORD(wp) == kButton1Id && HIWORD(wp) == BN_CLICKED) {
        self->app->Form3.Button1Click();
        self->SyncForm3();
        return 0;
      }
      if (msg == WM_CLOSE) {
        // Form3 is never the main window: closing it hides it.
        self->app->Form3.Visible = false;
        self->SyncForm3();
        return 0;
      }
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
  }

  void ChooseFont() {
    HDC dc = GetDC(nullptr);
    const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    HFONT wanted = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_SWISS, "MS Sans Serif");
    char face[LF_FACESIZE] = {};
    if (wanted) {
      HGDIOBJ old = SelectObject(dc, wanted);
      GetTextFaceA(dc, LF_FACESIZE, face);
      SelectObject(dc, old);
    }
    // A system without the font substitutes another one: then the GUI font is the closer.
    if (wanted && SameText(face, "MS Sans Serif")) {
      font = wanted;
      own_font = true;
    } else {
      if (wanted) DeleteObject(wanted);
      font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
      own_font = false;
    }
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm;
    if (GetTextMetricsA(dc, &tm)) text_height = tm.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
  }

  HWND Child(HWND parent, const char* cls, const char* text, DWORD style, const Rect& b,
             int id = 0) {
    HWND h =
        CreateWindowExA(0, cls, text, WS_CHILD | style, b.left, b.top, b.width, b.height, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    if (h) SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
  }

  // A label's size for its text: its left and top stay, width and height follow the text.
  SIZE LabelSize(const std::string& caption) {
    SIZE s = {0, text_height};
    HDC dc = GetDC(main);
    HGDIOBJ old = SelectObject(dc, font);
    if (!caption.empty()) {
      GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &s);
    }
    SelectObject(dc, old);
    ReleaseDC(main, dc);
    s.cy = std::max<LONG>(s.cy, text_height);
    return s;
  }

  void SyncLabel(int i, const Label& label) {
    if (!labels[i] || drawn[i] == label.Caption) return;
    drawn[i] = label.Caption;
    SIZE s = LabelSize(label.Caption);
    // Resizing first lets the uncovered part of the window repaint; setting the text then
    // redraws the label itself.
    SetWindowPos(labels[i], nullptr, 0, 0, s.cx, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowTextA(labels[i], label.Caption.c_str());
  }

  void SyncBar(const ProgressBar& b) {
    if (!bar) return;
    if (!bar_drawn || b.Min() != drawn_min || b.Max() != drawn_max) {
      SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(b.Min(), b.Max()));
      drawn_min = b.Min();
      drawn_max = b.Max();
      bar_drawn = false;
    }
    if (!bar_drawn || b.Position() != drawn_position) {
      SendMessageA(bar, PBM_SETPOS, b.Position(), 0);
      drawn_position = b.Position();
    }
    bar_drawn = true;
  }

  void SyncForm3() {
    if (!form3 || !app) return;
    const TForm3& f = app->Form3;
    const bool shown[4] = {f.Image1Visible, f.Image2Visible, f.Image3Visible, f.Image4Visible};
    for (int i = 0; i < 4; ++i) {
      if (form3_images[i] && (IsWindowVisible(form3_images[i]) != 0) != shown[i]) {
        ShowWindow(form3_images[i], shown[i] ? SW_SHOWNA : SW_HIDE);
      }
    }
    if (f.Visible != form3_visible) {
      form3_visible = f.Visible;
      ShowWindow(form3, f.Visible ? SW_SHOWNORMAL : SW_HIDE);
    }
  }

  // Draws what changed in the model since the last call.
  void Sync() {
    if (!app) return;
    const TForm1& f = app->Form1;
    SyncLabel(0, f.Label1);
    SyncLabel(1, f.Label2);
    SyncLabel(2, f.Label3);
    SyncLabel(3, f.Label4);
    SyncBar(f.ProgressBar1);
    SyncForm3();
  }

  // Dispatches one message; a quit message is the main window's close.
  void Dispatch(MSG& msg) {
    if (msg.message == WM_QUIT) {
      if (app) app->CloseMainWindow();
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) Dispatch(msg);
  }

  void CreateMain() {
    const TForm1& f = app->Form1;
    RECT r = OnScreen(
        OuterRect(f.bounds.left, f.bounds.top, f.bounds.width, f.bounds.height, kMainStyle, 0));
    app_window = CreateWindowExA(
        0, kAppClass, app->Title().c_str(), kAppStyle, GetSystemMetrics(SM_CXSCREEN) / 2,
        GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, nullptr, inst, this);
    if (app_window) {
      SendMessageA(app_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageA(app_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
    }
    main = CreateWindowExA(0, kMainClass, f.Caption.c_str(), kMainStyle, r.left, r.top,
                           r.right - r.left, r.bottom - r.top, app_window, nullptr, inst, this);
    if (!main) return;
    SendMessageA(main, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageA(main, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(main, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
    const Label* ls[4] = {&f.Label1, &f.Label2, &f.Label3, &f.Label4};
    for (int i = 0; i < 4; ++i) {
      labels[i] =
          Child(main, "STATIC", "", WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, ls[i]->bounds);
    }
    bar = Child(main, PROGRESS_CLASSA, "", WS_VISIBLE, f.ProgressBar1.bounds);
    Sync();
  }

  void CreateForm3() {
    const TForm3& f = app->Form3;
    RECT r = OnScreen(OuterRect(f.bounds.left, f.bounds.top, f.bounds.width, f.bounds.height,
                                kDialogStyle, kDialogExStyle));
    form3 = CreateWindowExA(kDialogExStyle, kForm3Class, f.Caption.c_str(), kDialogStyle, r.left,
                            r.top, r.right - r.left, r.bottom - r.top, main, nullptr, inst, this);
    if (!form3) return;
    SendMessageA(form3, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    // Image2..Image4 show the system's own pictures for error, warning and information;
    // Image1 is the plain grey square that covers them.
    const HICON pictures[4] = {grey_icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32513)),
                               LoadIconA(nullptr, MAKEINTRESOURCEA(32515)),
                               LoadIconA(nullptr, MAKEINTRESOURCEA(32516))};
    for (int i = 0; i < 4; ++i) {
      form3_images[i] = Child(form3, "STATIC", "", SS_ICON, f.imageBounds);
      SendMessageA(form3_images[i], STM_SETICON, reinterpret_cast<WPARAM>(pictures[i]), 0);
      SetWindowPos(form3_images[i], nullptr, f.imageBounds.left, f.imageBounds.top,
                   f.imageBounds.width, f.imageBounds.height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SIZE s = LabelSize(f.Label1.Caption);
    Rect lb = {f.Label1.bounds.left, f.Label1.bounds.top, static_cast<int>(s.cx),
               static_cast<int>(s.cy)};
    form3_label =
        Child(form3, "STATIC", f.Label1.Caption.c_str(), WS_VISIBLE | SS_LEFTNOWORDWRAP, lb);
    form3_button = Child(form3, "BUTTON", f.Button1Caption.c_str(),
                         WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, f.button1Bounds, kButton1Id);
    form3_visible = false;
    SyncForm3();
  }
};

Win32Backend::Win32Backend() : impl_(std::make_unique<Impl>()) {}

Win32Backend::~Win32Backend() {
  DestroyWindows();
  if (impl_->own_font && impl_->font) DeleteObject(impl_->font);
  if (impl_->grey_icon) DestroyIcon(impl_->grey_icon);
}

void Win32Backend::CreateWindows(Application& app) {
  Impl& m = *impl_;
  m.app = &app;
  INITCOMMONCONTROLSEX icc = {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  if (!m.font) m.ChooseFont();
  if (!m.icon) m.icon = ProgramIcon(m.inst, false);
  if (!m.small_icon) m.small_icon = ProgramIcon(m.inst, true);
  if (!m.grey_icon) m.grey_icon = GreyIcon(m.inst);
  RegisterOnce(m.inst, kAppClass, &Impl::AppProc, m.icon, m.small_icon);
  RegisterOnce(m.inst, kMainClass, &Impl::MainProc, m.icon, m.small_icon);
  RegisterOnce(m.inst, kForm3Class, &Impl::Form3Proc, nullptr, nullptr);
  RegisterOnce(m.inst, kBoxClass, &BoxProc, nullptr, nullptr);
  m.CreateMain();
  m.CreateForm3();
}

void Win32Backend::ShowMainWindow() {
  Impl& m = *impl_;
  if (!m.main) return;
  if (m.app_window) ShowWindow(m.app_window, SW_SHOWNOACTIVATE);
  ShowWindow(m.main, SW_SHOWNORMAL);
  SetForegroundWindow(m.main);
  UpdateWindow(m.main);
}

void Win32Backend::DispatchPending() {
  impl_->Sync();
  impl_->DrainQueue();
}

void Win32Backend::WaitAndDispatch(int timeout_ms) {
  if (!impl_->main) {
    // No window could be made (no desktop): nobody could ever close it, so the loop ends
    // instead of waiting for a message that never comes.
    if (impl_->app) impl_->app->CloseMainWindow();
    return;
  }
  impl_->Sync();
  MsgWaitForMultipleObjectsEx(0, nullptr,
                              timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms),
                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  impl_->DrainQueue();
}

int Win32Backend::RunMessageBox(const std::string& caption, const std::string& text,
                                MessageKind kind, bool close_at_once,
                                const std::function<bool()>& stop) {
  Impl& m = *impl_;
  m.Sync();
  BoxState st;
  st.text = ToCrLf(text);
  st.icon = LoadIconA(nullptr, MAKEINTRESOURCEA(MessageIconId(kind)));
  st.font = m.font;

  // The text is wrapped at word boundaries to at most half the screen's width.
  const int max_text_width = std::max(kBoxMinTextWidth, GetSystemMetrics(SM_CXSCREEN) / 2);
  RECT tr = {0, 0, max_text_width, 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, m.font);
  DrawTextA(dc, st.text.c_str(), static_cast<int>(st.text.size()), &tr,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  const int text_w = std::max<int>(tr.right - tr.left, 1);
  const int text_h = std::max<int>(tr.bottom - tr.top, m.text_height);

  // Icon at the top left, the text beside it (centred on the icon when it is shorter),
  // the OK button centred below both.
  const int text_left = kBoxMargin + kBoxIconSize + kBoxIconGap;
  const int text_top = kBoxMargin + std::max(0, (kBoxIconSize - text_h) / 2);
  st.text_rect = {text_left, text_top, text_left + text_w, text_top + text_h};
  const int content_bottom = std::max(kBoxMargin + kBoxIconSize, text_top + text_h);
  const int client_w = std::max(text_left + text_w + kBoxMargin, kBoxButtonWidth + 2 * kBoxMargin);
  const int button_top = content_bottom + kBoxButtonGap;
  const int client_h = button_top + kBoxButtonHeight + kBoxMargin;

  RECT outer = OuterRect(0, 0, client_w, client_h, kDialogStyle, kDialogExStyle);
  const int w = outer.right - outer.left, h = outer.bottom - outer.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;

  // Every other window of the program takes no input while the box is open.
  HWND had_focus = GetActiveWindow();
  std::vector<HWND> disabled;
  for (HWND hw : {m.app_window, m.main, m.form3}) {
    if (hw && IsWindowEnabled(hw)) {
      EnableWindow(hw, FALSE);
      disabled.push_back(hw);
    }
  }

  HWND box = CreateWindowExA(kDialogExStyle, kBoxClass, caption.c_str(), kDialogStyle,
                             std::max(0, x), std::max(0, y), w, h, m.main, nullptr, m.inst, &st);
  int result = kResultClosed;
  if (box) {
    HWND ok =
        CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                        (client_w - kBoxButtonWidth) / 2, button_top, kBoxButtonWidth,
                        kBoxButtonHeight, box, reinterpret_cast<HMENU>(IDOK), m.inst, nullptr);
    SendMessageA(ok, WM_SETFONT, reinterpret_cast<WPARAM>(m.font), FALSE);
    ShowWindow(box, SW_SHOWNORMAL);
    SetForegroundWindow(box);
    SetFocus(ok);
    UpdateWindow(box);

    // The box's own loop. Enter and Esc anywhere in the box are OK; a quit request that
    // arrives (or had arrived, close_at_once) ends it with "closed".
    auto handle = [&](MSG& msg) {
      if ((msg.message == WM_KEYDOWN) && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) &&
          (msg.hwnd == box || IsChild(box, msg.hwnd))) {
        st.result = kResultOk;
        st.done = true;
        return;
      }
      m.Dispatch(msg);
    };
    if (close_at_once) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) handle(msg);
      st.result = kResultClosed;
      st.done = true;
    }
    while (!st.done) {
      if (stop()) {
        st.result = kResultClosed;
        break;
      }
      MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      MSG msg;
      while (!st.done && !stop() && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) handle(msg);
    }
    result = st.result == 0 ? kResultClosed : st.result;
  }

  // Enable the owners before the box goes, so that the system hands the activation back to
  // them and not to another program.
  for (HWND hw : disabled) EnableWindow(hw, TRUE);
  if (box) DestroyWindow(box);
  HWND back = had_focus && IsWindow(had_focus) ? had_focus : m.main;
  if (back) {
    SetActiveWindow(back);
    SetFocus(back);
  }
  return result;
}

void Win32Backend::ShowErrorBox(const std::string& title, const std::string& text) {
  impl_->Sync();
  MessageBoxA(impl_->main, ToCrLf(text).c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

void Win32Backend::SetUpdateRunning(bool running) {
  Impl& m = *impl_;
  m.update_running = running;
  if (running && m.main && !m.block_reason_set) {
    m.block_reason_set = BlockSessionEnd(m.main);
  } else if (!running && m.block_reason_set) {
    UnblockSessionEnd(m.main);
    m.block_reason_set = false;
  }
}

bool Win32Backend::SessionEndBlockedWithReason() const { return impl_->block_reason_set; }

void Win32Backend::DestroyWindows() {
  Impl& m = *impl_;
  if (m.block_reason_set) {
    UnblockSessionEnd(m.main);
    m.block_reason_set = false;
  }
  if (m.form3) DestroyWindow(m.form3);
  if (m.main) DestroyWindow(m.main);
  if (m.app_window) DestroyWindow(m.app_window);
  m.form3 = nullptr;
  m.main = nullptr;
  m.app_window = nullptr;
  m.bar = nullptr;
  for (HWND& h : m.labels) h = nullptr;
  for (HWND& h : m.form3_images) h = nullptr;
  for (std::string& s : m.drawn) s.clear();
  m.bar_drawn = false;
  m.form3_label = m.form3_button = nullptr;
}

void* Win32Backend::ApplicationWindow() const { return impl_->app_window; }
void* Win32Backend::MainWindow() const { return impl_->main; }
void* Win32Backend::Form3Window() const { return impl_->form3; }

}  // namespace lumora
