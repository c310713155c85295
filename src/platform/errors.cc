#include "platform/errors.h"

namespace lumora {

std::string IoErrorText(int code) {
  switch (code) {
    case errc::kFileNotFound:
      return "File not found";
    case errc::kPathNotFound:
      return "Invalid filename";
    case errc::kTooManyOpenFiles:
      return "Too many open files";
    case errc::kAccessDenied:
      return "File access denied";
    case errc::kReadBeyondEnd:
      return "Read beyond end of file";
    case errc::kDiskFullIo:
      return "Disk full";
    case errc::kInvalidNumericInput:
      return "Invalid numeric input";
    default:
      return "I/O error " + std::to_string(code);
  }
}

std::string CannotOpenFileText(const std::string& path) { return "Cannot open file " + path; }

std::string InvalidDataTypeText(const std::string& name) {
  return "Invalid data type for '" + name + "'";
}

}  // namespace lumora
