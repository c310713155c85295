// The escapes of characters beyond the ANSI code page, and the conversions through it.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include "platform/win32/win32_text.h"

namespace lumora {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is no escape: the escapes are written in upper case only
}

void AppendAnsi(std::string_view bytes, std::wstring* out) {
  if (bytes.empty()) return;
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0) return;
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, &(*out)[at], n);
}

// Appends the code page's bytes for text when it writes every character of it exactly;
// false, with out unchanged, when one has no exact form there. UTF-8 as the ANSI code page
// takes no best-fit flag and reports no default character: only a lone surrogate fails.
bool AppendExactAnsi(std::wstring_view text, std::string* out) {
  if (text.empty()) return true;
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* defaulted_out = utf8 ? nullptr : &defaulted;
  const int size = static_cast<int>(text.size());
  const int n =
      WideCharToMultiByte(CP_ACP, flags, text.data(), size, nullptr, 0, nullptr, defaulted_out);
  if (n <= 0 || defaulted) return false;
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n));
  WideCharToMultiByte(CP_ACP, flags, text.data(), size, &(*out)[at], n, nullptr, defaulted_out);
  return true;
}

}  // namespace

bool WideEscapeAt(std::string_view text, size_t at, wchar_t* unit) {
  if (at + kWideEscapeLength > text.size() || text[at] != kWideEscape) return false;
  unsigned value = 0;
  for (size_t i = 1; i < kWideEscapeLength; ++i) {
    const int digit = HexValue(text[at + i]);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  *unit = static_cast<wchar_t>(value);
  return true;
}

void AppendWideEscape(wchar_t unit, std::string* out) {
  const unsigned value = static_cast<unsigned>(unit) & 0xffffu;
  out->push_back(kWideEscape);
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHexDigits[(value >> shift) & 0xf]);
}

std::wstring ToWide(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  size_t run = 0;  // start of the bytes not converted yet
  for (size_t at = text.find(kWideEscape); at != std::string_view::npos;
       at = text.find(kWideEscape, at)) {
    wchar_t unit = 0;
    if (!WideEscapeAt(text, at, &unit)) {
      ++at;  // a lone 0x01 is a byte like any other
      continue;
    }
    AppendAnsi(text.substr(run, at - run), &wide);
    wide.push_back(unit);
    at += kWideEscapeLength;
    run = at;
  }
  AppendAnsi(text.substr(run), &wide);
  return wide;
}

std::string FromWide(std::wstring_view text) {
  std::string out;
  // Most names are all in the code page: one conversion of the whole.
  if (text.find(L'\x0001') == std::wstring_view::npos && AppendExactAnsi(text, &out)) return out;
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    // A character beyond the basic plane has no form in an 8-bit code page, and one of
    // UTF-8 needs both its halves at once.
    const bool pair =
        i + 1 < text.size() && IS_HIGH_SURROGATE(text[i]) && IS_LOW_SURROGATE(text[i + 1]);
    const size_t length = pair ? 2 : 1;
    if (text[i] == L'\x0001' || !AppendExactAnsi(text.substr(i, length), &out)) {
      for (size_t k = 0; k < length; ++k) AppendWideEscape(text[i + k], &out);
    }
    i += length - 1;
  }
  return out;
}

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> args;
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  size_t i = 0;
  // The program's name: no escapes, a quote only opens and closes it.
  std::wstring name;
  bool quoted = false;
  for (; i < line.size() && (quoted || !blank(line[i])); ++i) {
    if (line[i] == L'"') {
      quoted = !quoted;
    } else {
      name += line[i];
    }
  }
  args.push_back(name);
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring arg;
    quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == L'\\') {
        ++slashes;
        ++i;
      }
      if (i < line.size() && line[i] == L'"') {
        arg.append(slashes / 2, L'\\');
        if (slashes % 2 == 1) {
          arg += L'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          arg += L'"';  // a doubled quote inside quotes
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(slashes, L'\\');
        if (slashes == 0) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace lumora
