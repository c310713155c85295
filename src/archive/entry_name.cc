#include "archive/entry_name.h"

namespace lumora {

bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
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

}  // namespace lumora
