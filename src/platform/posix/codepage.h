// Names in an 8-bit code page (the form the core and the archive hold them in) and the same
// names as Linux writes them, in the encoding of the user's locale (UTF-8 nearly always).
//
// Both directions go through tables built once per code page: the native form of each of
// the 256 bytes, found with iconv, and the reverse. A lookup of a name therefore costs a
// few table reads per character and never calls iconv.
//
// The locale's encoding is that of LC_ALL / LC_CTYPE / LANG. The C and POSIX locales
// (ASCII) count as UTF-8: file names on Linux are UTF-8 by convention, and ASCII names read
// the same either way. When iconv cannot convert between the code page and the locale's
// encoding, names pass through as bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumora {

class CodePage {
 public:
  // The code page of that iconv name ("CP1252", "CP1250", "ISO-8859-2", ...), or nullptr
  // when iconv does not know it, or it is not an 8-bit code page that keeps ASCII as it
  // is. Built on first use, then shared for the rest of the process.
  static const CodePage* Named(const std::string& name);

  // The code page of the updater: the one LUMORA_CODEPAGE names when it is usable, else
  // Windows-1252.
  static const CodePage& System();

  const std::string& name() const { return name_; }

  // Appends the native form of name to native. A byte that the code page leaves undefined
  // has none: it is appended as '?' and the result is false.
  bool ToNative(std::string_view name, std::string* native) const;

  // Appends the code page form of a native name to name. A character that the code page
  // cannot represent (or a byte that is no character of the locale's encoding) is
  // appended as '?' and the result is false.
  bool FromNative(std::string_view native, std::string* name) const;

  // True when the code page defines c: a name holding a byte it leaves undefined has no
  // native form, so no file can be made under it.
  bool Defines(uint8_t c) const { return !native_[c].empty(); }

  // Bytes of the native form of c (1 for a byte the code page leaves undefined).
  size_t NativeLength(uint8_t c) const { return native_[c].empty() ? 1 : native_[c].size(); }

  // The upper-case letter of c, as Windows compares names: every pair of the code page,
  // not only a-z (in Windows-1252 'é' is 'É', 'ÿ' is 'Ÿ').
  uint8_t Upper(uint8_t c) const { return upper_[c]; }
  bool EqualNoCase(std::string_view a, std::string_view b) const;
  std::string Folded(std::string_view name) const;

 private:
  explicit CodePage(std::string name) : name_(std::move(name)) {}
  bool Build();
  void PassBytesThrough();

  std::string name_;
  std::array<std::string, 256> native_;  // empty when the code page leaves the byte undefined
  std::array<int16_t, 256> single_;      // one-byte native form -> byte, or -1
  std::unordered_map<std::string, uint8_t> byte_of_;  // longer native forms -> byte
  size_t longest_ = 1;                                // longest native form of a byte
  bool native_utf8_ = false;
  std::array<uint8_t, 256> upper_{};
};

}  // namespace lumora
