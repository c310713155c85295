#include "testing/test_util.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace lumora::testing {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = fs::temp_directory_path() /
                 ("lumora-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything writable again so that tests which took rights away clean up too.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::Native(const std::string& relative) const { return path_ + "/" + relative; }

std::string ReadFile(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + native_path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& native_path, const std::string& bytes) {
  fs::path p(native_path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(native_path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + native_path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& native_path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(native_path, ec));
}

std::vector<std::string> ListNames(const std::string& native_dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(native_dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace lumora::testing
