#include "platform/posix/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace lumora {
namespace {

// The encoding of file names in the user's locale. The C locale's ASCII counts as UTF-8.
std::string LocaleEncoding() {
  std::string codeset = "UTF-8";
  if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
    codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
  }
  if (codeset.empty() || strcasecmp(codeset.c_str(), "ANSI_X3.4-1968") == 0 ||
      strcasecmp(codeset.c_str(), "ASCII") == 0 || strcasecmp(codeset.c_str(), "US-ASCII") == 0) {
    codeset = "UTF-8";
  }
  return codeset;
}

bool IsUtf8(const std::string& codeset) {
  return strcasecmp(codeset.c_str(), "UTF-8") == 0 || strcasecmp(codeset.c_str(), "UTF8") == 0;
}

// One conversion descriptor, closed by its destructor.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // The conversion of one byte; errno tells why it failed (EINVAL: the byte starts a
  // character of several bytes).
  bool Byte(uint8_t b, std::string* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char in = static_cast<char>(b);
    char buffer[16];
    char* in_p = &in;
    char* out_p = buffer;
    size_t in_left = 1, out_left = sizeof buffer;
    if (iconv(cd_, &in_p, &in_left, &out_p, &out_left) == static_cast<size_t>(-1)) return false;
    // Some encodings end in a shift back to their initial state.
    if (iconv(cd_, nullptr, nullptr, &out_p, &out_left) == static_cast<size_t>(-1)) return false;
    out->assign(buffer, out_p);
    return true;
  }

 private:
  iconv_t cd_;
};

// The case tables of the C library know Unicode only in a Unicode locale.
locale_t UnicodeLocale() {
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", ""}) {
    locale_t loc = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
    if (!loc) continue;
    if (IsUtf8(nl_langinfo_l(CODESET, loc))) return loc;
    freelocale(loc);
  }
  return static_cast<locale_t>(0);
}

// The length of the UTF-8 sequence that starts with lead (1 for a byte that starts none).
size_t Utf8Length(uint8_t lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

}  // namespace

void CodePage::PassBytesThrough() {
  for (int b = 0; b < 256; ++b) {
    native_[b] = std::string(1, static_cast<char>(b));
    single_[b] = static_cast<int16_t>(b);
    upper_[b] = (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 'a' + 'A') : b;
  }
  byte_of_.clear();
  longest_ = 1;
}

bool CodePage::Build() {
  Converter to_unicode("UTF-32LE", name_);
  if (!to_unicode.ok()) return false;
  std::array<uint32_t, 256> code{};  // 0 for an undefined byte (NUL is itself)
  std::map<uint32_t, uint8_t> byte_of_code;
  for (int b = 0; b < 256; ++b) {
    std::string u;
    if (!to_unicode.Byte(static_cast<uint8_t>(b), &u)) {
      if (errno == EINVAL) return false;  // a code page of several bytes a character
      continue;
    }
    if (u.size() != 4) continue;
    code[b] = static_cast<uint8_t>(u[0]) | static_cast<uint8_t>(u[1]) << 8 |
              static_cast<uint8_t>(u[2]) << 16 |
              static_cast<uint32_t>(static_cast<uint8_t>(u[3])) << 24;
    byte_of_code.emplace(code[b], static_cast<uint8_t>(b));
  }
  for (int b = 0; b < 0x80; ++b) {
    if (code[b] != static_cast<uint32_t>(b)) return false;  // '\' must stay the separator
  }

  const std::string encoding = LocaleEncoding();
  native_utf8_ = IsUtf8(encoding);
  Converter to_native(encoding, name_);
  if (!to_native.ok()) {
    PassBytesThrough();
  } else {
    single_.fill(-1);
    for (int b = 0; b < 256; ++b) {
      if (b != 0 && code[b] == 0) continue;
      std::string n;
      if (!to_native.Byte(static_cast<uint8_t>(b), &n) || n.empty()) continue;
      native_[b] = n;
      longest_ = std::max(longest_, n.size());
      if (n.size() == 1) {
        if (single_[static_cast<uint8_t>(n[0])] < 0) single_[static_cast<uint8_t>(n[0])] = b;
      } else {
        byte_of_.emplace(n, static_cast<uint8_t>(b));
      }
    }
  }

  // Upper case by the Unicode tables, kept inside the code page. A letter beyond ASCII never
  // becomes an ASCII one (Turkish dotless 'ı' is not 'I' in a file name).
  for (int b = 0; b < 256; ++b) {
    upper_[b] = (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 'a' + 'A') : b;
  }
  if (locale_t unicode = UnicodeLocale()) {
    for (int b = 0x80; b < 256; ++b) {
      if (code[b] == 0) continue;
      auto up = byte_of_code.find(static_cast<uint32_t>(towupper_l(code[b], unicode)));
      if (up != byte_of_code.end() && up->second >= 0x80) upper_[b] = up->second;
    }
    freelocale(unicode);
  }
  return true;
}

const CodePage* CodePage::Named(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<CodePage>> built;  // nullptr: not usable
  std::string key = name;
  for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::lock_guard<std::mutex> lock(mutex);
  auto it = built.find(key);
  if (it == built.end()) {
    std::unique_ptr<CodePage> page(new CodePage(name));
    if (name.empty() || !page->Build()) page.reset();
    it = built.emplace(key, std::move(page)).first;
  }
  return it->second.get();
}

const CodePage& CodePage::System() {
  static const CodePage& page = []() -> const CodePage& {
    const char* chosen = std::getenv("LUMORA_CODEPAGE");
    if (chosen && *chosen) {
      if (const CodePage* p = Named(chosen)) return *p;
    }
    if (const CodePage* p = Named("CP1252")) return *p;
    // Without the C library's conversion modules: bytes as they are, ASCII case.
    static CodePage bytes("CP1252");
    bytes.PassBytesThrough();
    return bytes;
  }();
  return page;
}

bool CodePage::ToNative(std::string_view name, std::string* native) const {
  bool ok = true;
  for (char c : name) {
    const std::string& n = native_[static_cast<uint8_t>(c)];
    if (n.empty()) {
      native->push_back('?');
      ok = false;
    } else {
      native->append(n);
    }
  }
  return ok;
}

bool CodePage::FromNative(std::string_view native, std::string* name) const {
  bool ok = true;
  size_t i = 0;
  while (i < native.size()) {
    const int16_t single = single_[static_cast<uint8_t>(native[i])];
    if (single >= 0) {
      name->push_back(static_cast<char>(single));
      ++i;
      continue;
    }
    bool found = false;
    for (size_t len = 2; len <= longest_ && i + len <= native.size(); ++len) {
      auto it = byte_of_.find(std::string(native.substr(i, len)));
      if (it != byte_of_.end()) {
        name->push_back(static_cast<char>(it->second));
        i += len;
        found = true;
        break;
      }
    }
    if (found) continue;
    name->push_back('?');
    ok = false;
    // One '?' for the whole character: its lead byte and the continuation bytes it claims.
    const size_t length = native_utf8_ ? Utf8Length(static_cast<uint8_t>(native[i])) : 1;
    size_t end = i + 1;
    while (end < native.size() && end < i + length && (native[end] & 0xC0) == 0x80) ++end;
    i = end;
  }
  return ok;
}

bool CodePage::EqualNoCase(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper_[static_cast<uint8_t>(a[i])] != upper_[static_cast<uint8_t>(b[i])]) return false;
  }
  return true;
}

std::string CodePage::Folded(std::string_view name) const {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(upper_[static_cast<uint8_t>(c)]);
  return folded;
}

}  // namespace lumora
