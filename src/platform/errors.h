// Errors of the run-time layer.
//
// The ladder, from mild to final:
//   - a failed deletion: never reported, the caller goes on (the only silent case);
//   - a recognised failure (a rename refused, a bad basic index): the update shows its own
//     message through ShowMessageDialog and stops; see StopRun;
//   - a run-time failure (a file that cannot be opened or created, a short read, a failed
//     write, a registry value of the wrong type, a damaged archive): raised here as
//     RuntimeError where it is found, and reported by the uncaught-error box.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace lumora {

// Windows error codes that the run-time layer names or that the platforms produce.
namespace errc {
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;  // reported as "Invalid filename"
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kWriteProtect = 19;
constexpr int kGeneralFailure = 31;
constexpr int kSharingViolation = 32;
constexpr int kHandleDiskFull = 39;
constexpr int kFileExists = 80;
constexpr int kInvalidParameter = 87;
constexpr int kReadBeyondEnd = 100;
constexpr int kDiskFullIo = 101;
constexpr int kInvalidNumericInput = 106;
constexpr int kDiskFull = 112;
constexpr int kInvalidName = 123;
constexpr int kAlreadyExists = 183;
}  // namespace errc

// The run-time layer's text for an I/O error code: "File not found", "Invalid filename",
// "Too many open files", "File access denied", "Read beyond end of file", "Disk full",
// "Invalid numeric input", or "I/O error %d" for every other code.
std::string IoErrorText(int code);

// A failure of the run-time layer. what() is the text the user sees (the uncaught-error
// report adds the final "."). The text is held here rather than by std::runtime_error,
// whose reference-counted copy of it would link a second std::string into the stub.
class RuntimeError : public std::exception {
 public:
  explicit RuntimeError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

// A failed file operation, carrying its Windows-style code; the text is IoErrorText(code).
class IoError : public RuntimeError {
 public:
  explicit IoError(int code) : RuntimeError(IoErrorText(code)), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// Thrown after the update has already shown its own message for a failure (the disk-full
// message of the decoder's output): the run stops, and nothing more is reported.
class StopRun : public std::exception {
 public:
  const char* what() const noexcept override { return "update stopped"; }
};

// The texts of the stream layer.
inline constexpr const char kStreamReadError[] = "Stream read error";
inline constexpr const char kStreamWriteError[] = "Stream write error";
std::string CannotOpenFileText(const std::string& path);   // "Cannot open file %s"
std::string InvalidDataTypeText(const std::string& name);  // "Invalid data type for '%s'"

}  // namespace lumora
