#include "archive/entry_name.h"

#include <cstring>

#include "archive/format.h"
#include "platform/device_names.h"

namespace lumora {
namespace {

// The working names are ASCII, and no letter beyond ASCII folds to an ASCII one: comparing
// ASCII letters without regard to case finds every spelling the file system takes as them.
bool SameNameAscii(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    // A "." component names its folder again: "a.txt" and ".\a.txt" would be two entries
    // for one file, and ".\partbase.txt" one the updater takes for new.
    if (end - start == 1 && name[start] == '.') return false;
    start = end + 1;
  }
  return true;
}

bool IsWindowsEntryName(const std::string& name) {
  const std::string body = !name.empty() && (name.back() == '\\' || name.back() == '/')
                               ? name.substr(0, name.size() - 1)
                               : name;
  size_t start = 0;
  for (;;) {
    size_t end = body.find_first_of("\\/", start);
    if (end == std::string::npos) end = body.size();
    const std::string part = body.substr(start, end - start);
    for (char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>\"|?*", c) != nullptr) {
        return false;
      }
    }
    // "." and ".." are IsSafeEntryName's to judge.
    if (part != "." && part != ".." && !part.empty() &&
        (part.back() == '.' || part.back() == ' ')) {
      return false;
    }
    if (IsReservedDeviceName(part)) return false;
    if (end == body.size()) break;
    start = end + 1;
  }
  return true;
}

std::string DisplayName(const std::string& name) {
  if (!name.empty() && name.back() == '\\') return "";
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string EntryFolder(const std::string& name) {
  const size_t cut = name.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

std::string WorkingName(int64_t n) {
  return format::kWorkingPrefix + std::to_string(n) + format::kWorkingSuffix;
}

bool IsWorkingName(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const std::string prefix = "~LUMORAUPDATE.";
  const std::string suffix = ".TMP";
  if (upper == "~LUMORAUPDATE.TMP") return true;
  if (upper.size() <= prefix.size() + suffix.size() ||
      upper.compare(0, prefix.size(), prefix) != 0 ||
      upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < upper.size() - suffix.size(); ++i) {
    if (upper[i] < '0' || upper[i] > '9') return false;
  }
  return true;
}

bool IsWorkingFileName(const std::string& name) {
  const std::string folder = EntryFolder(name);
  const std::string base = name.substr(folder.size());
  if (IsWorkingName(base)) return true;
  if (!SameNameAscii(base, format::kScratchName)) return false;
  // At the top: a folder of nothing but "." components and separators.
  for (char c : folder) {
    if (c != '.' && c != '\\' && c != '/') return false;
  }
  for (size_t i = 0; i + 1 < folder.size(); ++i) {
    if (folder[i] == '.' && folder[i + 1] == '.') return false;
  }
  return true;
}

}  // namespace lumora
