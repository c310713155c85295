#include <cstdio>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_windows.h"
#include "ui/win32/win32_backend.h"

namespace lumora {

std::unique_ptr<UiBackend> CreateFrontEnd() { return std::make_unique<Win32Backend>(); }

void ShowHelp(const std::string& text) {
  // The text's lines are for a terminal of 80 columns; the box wraps to its own width. A
  // line break therefore stays only after a line that ends a sentence (its paragraph).
  std::string paragraphs;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool joined = text[i] == '\n' && i > 0 && text[i - 1] != '.' && i + 1 < text.size();
    paragraphs += joined ? ' ' : text[i];
  }
  MessageBoxW(nullptr, ToWide(ToCrLf(paragraphs)).c_str(), L"LumoraUpdate",
              MB_OK | MB_ICONINFORMATION);
}

void ShowReport(const std::string& text, bool succeeded, const char* caption) {
  // Each line of the report is one thing found or done: the box keeps them as lines. A
  // path in it shows with its own characters, whatever the code page (win32_text.h).
  MessageBoxW(nullptr, ToWide(ToCrLf(text)).c_str(), ToWide(caption).c_str(),
              MB_OK | (succeeded ? MB_ICONINFORMATION : MB_ICONERROR));
}

void ShowUsageError(const std::string& text) {
  MessageBoxW(nullptr, ToWide(ToCrLf(text)).c_str(), L"LumoraUpdate", MB_OK | MB_ICONERROR);
}

std::string TextToUtf8(const std::string& text) {
  // The escapes of characters beyond the code page become those characters.
  const std::wstring wide = ToWide(text);
  if (wide.empty()) return std::string();
  const int wide_length = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &utf8[0], length, nullptr, nullptr);
  return utf8;
}

std::vector<std::string> CommandArguments(int, char**) {
  const std::vector<std::wstring> wide = SplitCommandLine(GetCommandLineW());
  std::vector<std::string> args;
  for (size_t i = 1; i < wide.size(); ++i) args.push_back(FromWide(wide[i]));
  return args;
}

std::FILE* OpenForAppending(const std::string& path) {
  return _wfopen(ToWide(path).c_str(), L"ab");
}

}  // namespace lumora
