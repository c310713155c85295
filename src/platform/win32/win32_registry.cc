// HKEY_CURRENT_USER through the wide registry functions of the system: key names, value
// names and strings in UTF-16, turned to and from the core's text by win32_text.h.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include "platform/errors.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_text.h"

namespace lumora {
namespace {

// An open registry key, closed by its destructor.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() { Close(); }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  KeyHandle(KeyHandle&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  KeyHandle& operator=(KeyHandle&& other) noexcept {
    if (this != &other) {
      Close();
      key_ = other.key_;
      other.key_ = nullptr;
    }
    return *this;
  }

  HKEY* out() {
    Close();
    return &key_;
  }
  HKEY get() const { return key_; }

 private:
  void Close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }
  HKEY key_ = nullptr;
};

// A REG_EXPAND_SZ string with its %variables% replaced by this process's environment; a
// variable that is not set stays as it is written, as the system leaves it.
std::wstring Expanded(const std::wstring& text) {
  std::wstring out(text.size() + 1, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD n =
        ExpandEnvironmentStringsW(text.c_str(), &out[0], static_cast<DWORD>(out.size()));
    if (n == 0) return text;
    // n counts the closing NUL; a larger n is the size the result needs.
    if (n <= out.size()) {
      out.resize(n - 1);
      return out;
    }
    out.resize(n);
  }
  return text;
}

}  // namespace

bool Win32Registry::CreateKey(const std::string& key) {
  KeyHandle h;
  DWORD disposition = 0;
  return RegCreateKeyExW(HKEY_CURRENT_USER, ToWide(key).c_str(), 0, nullptr,
                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, h.out(),
                         &disposition) == ERROR_SUCCESS;
}

std::optional<std::string> Win32Registry::ReadString(const std::string& key,
                                                     const std::string& name) {
  KeyHandle h;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ToWide(key).c_str(), 0, KEY_ALL_ACCESS, h.out()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::wstring value_name = ToWide(name);
  // The size can change between the two calls when another program writes the value:
  // ask again until the data fits.
  std::wstring data;
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(h.get(), value_name.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RuntimeError(InvalidDataTypeText(name));
    // Sizes are in bytes; an odd last byte is half a character, and is dropped.
    data.assign(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = size;
    rc = RegQueryValueExW(h.get(), value_name.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(&data[0]), &got);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RuntimeError(InvalidDataTypeText(name));
    // The stored data need not end in a NUL; the string is what comes before the first.
    data.resize(got / sizeof(wchar_t));
    const size_t nul = data.find(L'\0');
    if (nul != std::wstring::npos) data.resize(nul);
    return FromWide(type == REG_EXPAND_SZ ? Expanded(data) : data);
  }
  return std::nullopt;
}

}  // namespace lumora
