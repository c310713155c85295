#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "platform/posix/codepage.h"
#include "ui/terminal/terminal_backend.h"

#ifdef LUMORA_WITH_FLTK
#include "ui/fltk/fltk_backend.h"
#endif

namespace lumora {

std::unique_ptr<UiBackend> CreateFrontEnd() {
  const char* ui = std::getenv("LUMORA_UI");
  const bool terminal_forced = ui && std::strcmp(ui, "terminal") == 0;
#ifdef LUMORA_WITH_FLTK
  if (!terminal_forced) {
    if (auto window = CreateFltkBackend()) return window;
  }
#else
  (void)terminal_forced;
#endif
  return std::make_unique<TerminalBackend>();
}

void ShowHelp(const std::string& text) { std::fputs(text.c_str(), stdout); }

void ShowReport(const std::string& text, bool /*succeeded*/, const char* /*caption*/) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void ShowUsageError(const std::string& text) { std::fputs(text.c_str(), stderr); }

std::string TextToUtf8(const std::string& text) {
  std::string native;
  CodePage::System().ToNative(text, &native);
  return native;
}

// On Linux the arguments and the log's name are the system's own bytes, as given.
std::vector<std::string> CommandArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::FILE* OpenForAppending(const std::string& path) { return std::fopen(path.c_str(), "ab"); }

}  // namespace lumora
