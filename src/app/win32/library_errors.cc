// The C++ library's own failures (a string or vector grown past its limit, an index out of
// range, no memory), thrown for the Windows stub without the library's logic_error family.
//
// The library raises them through the std::__throw_* functions of one member of its
// archive, which makes std::length_error and its kin; their text lives in a second,
// reference-counted std::string with its own copy of the string code, some 30 KB of the
// stub for failures that a sound run never meets. Defined here, the archive's member is
// never linked. The failures stay exceptions with the library's text: the uncaught-error
// report shows them as before, and std::bad_alloc stays std::bad_alloc.
#include <bits/functexcept.h>

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

// A failure of the library, with its text: at most kLength - 1 bytes of it.
class LibraryError : public std::exception {
 public:
  static constexpr size_t kLength = 160;  // bytes, the final NUL included

  // Copies the text of format, with %s and %zu replaced by the next argument (a string, a
  // size_t) and %% by %: the conversions the library's formats use.
  LibraryError(const char* format, va_list args) {
    size_t n = 0;
    auto put = [this, &n](char c) {
      if (n + 1 < kLength) what_[n++] = c;
    };
    for (const char* p = format; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == '%') {
        put('%');
        ++p;
      } else if (p[0] == '%' && p[1] == 's') {
        for (const char* text = va_arg(args, const char*); *text != '\0'; ++text) put(*text);
        ++p;
      } else if (p[0] == '%' && p[1] == 'z' && p[2] == 'u') {
        char digits[24];
        size_t count = 0;
        for (size_t v = va_arg(args, size_t); count == 0 || v != 0; v /= 10) {
          digits[count++] = static_cast<char>('0' + v % 10);
        }
        while (count > 0) put(digits[--count]);
        p += 2;
      } else {
        put(*p);
      }
    }
    what_[n] = '\0';
  }
  const char* what() const noexcept override { return what_; }

 private:
  char what_[kLength];
};

[[noreturn]] void Raise(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LibraryError error(format, args);
  va_end(args);
  throw error;
}

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* what) { Raise("%s", what); }
void __throw_domain_error(const char* what) { Raise("%s", what); }
void __throw_invalid_argument(const char* what) { Raise("%s", what); }
void __throw_length_error(const char* what) { Raise("%s", what); }
void __throw_out_of_range(const char* what) { Raise("%s", what); }
void __throw_runtime_error(const char* what) { Raise("%s", what); }
void __throw_range_error(const char* what) { Raise("%s", what); }
void __throw_overflow_error(const char* what) { Raise("%s", what); }
void __throw_underflow_error(const char* what) { Raise("%s", what); }

void __throw_out_of_range_fmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LibraryError error(format, args);
  va_end(args);
  throw error;
}

}  // namespace std
