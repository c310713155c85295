#include <string>

#include "app/front_end.h"
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
  MessageBoxA(nullptr, ToCrLf(paragraphs).c_str(), "LumoraUpdate", MB_OK | MB_ICONINFORMATION);
}

void ShowReport(const std::string& text, bool succeeded, const char* caption) {
  // Each line of the report is one thing found or done: the box keeps them as lines.
  MessageBoxA(nullptr, ToCrLf(text).c_str(), caption,
              MB_OK | (succeeded ? MB_ICONINFORMATION : MB_ICONERROR));
}

void ShowUsageError(const std::string& text) {
  MessageBoxA(nullptr, ToCrLf(text).c_str(), "LumoraUpdate", MB_OK | MB_ICONERROR);
}

std::string TextToUtf8(const std::string& text) {
  if (text.empty()) return text;
  const int wide_length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], wide_length);
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &utf8[0], length, nullptr, nullptr);
  return utf8;
}

}  // namespace lumora
