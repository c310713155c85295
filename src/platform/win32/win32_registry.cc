// HKEY_CURRENT_USER through the registry functions of the system.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include "platform/errors.h"
#include "platform/win32/win32_platform.h"

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

}  // namespace

bool Win32Registry::CreateKey(const std::string& key) {
  KeyHandle h;
  DWORD disposition = 0;
  return RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, h.out(), &disposition) == ERROR_SUCCESS;
}

std::optional<std::string> Win32Registry::ReadString(const std::string& key,
                                                     const std::string& name) {
  KeyHandle h;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, h.out()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  // The size can change between the two calls when another program writes the value:
  // ask again until the data fits.
  std::string data;
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RuntimeError(InvalidDataTypeText(name));
    data.assign(size + 1, '\0');
    DWORD got = size;
    rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                          &got);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RuntimeError(InvalidDataTypeText(name));
    // The stored data need not end in a NUL; the string is what comes before the first.
    data.resize(got);
    size_t nul = data.find('\0');
    if (nul != std::string::npos) data.resize(nul);
    return data;
  }
  return std::nullopt;
}

}  // namespace lumora
