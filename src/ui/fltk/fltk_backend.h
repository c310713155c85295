// FLTK front-end: the progress window, the message boxes and Form3 as real X11 windows.
// Implemented:
//  [X] progress window drawn from the model: caption, fixed client size 260 x 87, labels
//      at their design positions (Helvetica 11 px for the 8-point face), the bar over
//      Min..Max; redrawn only when the model changed
//  [X] window icon, 32 x 32 in 16 colours (a computer beside a software box)
//  [X] icon name, which task bars show: the application title
//  [X] title bar close: queues the end of the program; dropped while a message box is open,
//      when the other windows take no input
//  [X] Ctrl-C, SIGTERM and SIGHUP as the window's close: they queue the end at once, even
//      while a message box is open (which they close) or FLTK waits
//  [X] message boxes: icon per kind, text wrapped to half the screen, OK as default and
//      cancel, modal over the main window, sized to their content and centred
//  [X] Form3 created hidden with its layout and its button handler
//  [X] a pump that never waits (Fl::check) and a wait with a time limit (Fl::wait)
//  [ ] removing the maximise box: fixed size hints only (the window manager decides)
//  [ ] activation from focus events: the application delivers the one activation itself
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/backend.h"

class Fl_Window;

namespace lumora {

// Opens the display named by DISPLAY and returns the FLTK front-end, or nullptr when no
// display can be opened (the caller falls back to the terminal).
std::unique_ptr<UiBackend> CreateFltkBackend();

// The windows of a backend made by CreateFltkBackend, for tests: the progress window and
// Form3's window (nullptr before CreateWindows and after DestroyWindows).
Fl_Window* FltkMainWindow(UiBackend& backend);
Fl_Window* FltkForm3Window(UiBackend& backend);

// The lines of a message box: each LF CR pair, lone LF or lone CR starts a new line, and
// a line wider than max_width is wrapped at its spaces (a single word wider than that is
// cut between characters). width_of measures a piece of text in pixels.
std::vector<std::string> WrapMessageText(const std::string& text, int max_width,
                                         const std::function<int(const std::string&)>& width_of);

}  // namespace lumora
