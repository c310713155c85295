// The per-folder name indexes of the file layer (see folder_index.h).
#include "platform/posix/folder_index.h"

#include <algorithm>
#include <cstring>

#include "platform/posix/codepage.h"

namespace lumora {

void FolderIndexes::Hold(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ += on ? 1 : -1;
  if (held_ <= 0) {
    held_ = 0;
    folders_.clear();
    resolved_.clear();
  }
}

bool FolderIndexes::held() {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_ > 0;
}

bool FolderIndexes::ResolvedFolder(const std::string& folder, std::string* native) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = resolved_.find(folder);
  if (it == resolved_.end()) return false;
  *native = it->second;
  return true;
}

void FolderIndexes::RememberFolder(const std::string& folder, const std::string& native) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return;
  if (resolved_.size() >= kMaxFolders) resolved_.clear();
  resolved_[folder] = native;
}

void FolderIndexes::ForgetFolders() {
  std::lock_guard<std::mutex> lock(mutex_);
  resolved_.clear();
}

std::vector<std::string> FolderIndexes::Matches(const std::string& dir, const std::string& name) {
  const CodePage& names = CodePage::System();
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return Scan(dir, name);
  const auto now = std::chrono::steady_clock::now();
  auto it = folders_.find(Key(dir));
  // Lookups in a row (the files of one folder, one after the other) trust a folder
  // checked a moment ago.
  if (it == folders_.end() || now - it->second.checked_at > kTrustFor) {
    struct stat st;
    if (stat(Key(dir).c_str(), &st) != 0) return {};
    if (it != folders_.end() && it->second.changed_here) {
      // The folder's time moved with this process's own changes, which the index has
      // already: it is current as of now, unless the folder changed again after them.
      const struct timespec& ours = it->second.changed_at;
      if (st.st_mtim.tv_sec < ours.tv_sec ||
          (st.st_mtim.tv_sec == ours.tv_sec && st.st_mtim.tv_nsec <= ours.tv_nsec)) {
        it->second.stat = st;
      }
      it->second.changed_here = false;
    }
    if (it == folders_.end() || !Current(it->second, st)) {
      if (folders_.size() >= kMaxFolders) folders_.clear();
      Folder& folder = folders_[Key(dir)];
      folder = Folder();
      folder.stat = st;
      DirHandle d(Key(dir));
      if (!d.get()) return {};
      while (dirent* e = readdir(d.get())) Insert(folder, e->d_name);
      it = folders_.find(Key(dir));
    }
    it->second.checked_at = now;
  }
  auto found = it->second.names.find(names.Folded(name));
  return found == it->second.names.end() ? std::vector<std::string>() : found->second;
}

void FolderIndexes::Changed(const std::string& native_path, bool stands) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return;
  const std::string dir = NativeParent(native_path);
  auto it = folders_.find(Key(dir));
  if (it == folders_.end()) return;
  Folder& folder = it->second;
  folder.changed_here = true;
  // Read after the change: no later than any time the file system stamped it with,
  // whether coarse or fine-grained.
  clock_gettime(CLOCK_REALTIME, &folder.changed_at);
  const std::string base = NativeBaseName(native_path);
  std::string name;
  if (!CodePage::System().FromNative(base, &name)) return;
  std::vector<std::string>& same = folder.names[CodePage::System().Folded(name)];
  auto at = std::lower_bound(same.begin(), same.end(), base);
  const bool listed = at != same.end() && *at == base;
  if (stands && !listed) same.insert(at, base);
  if (!stands && listed) same.erase(at);
}

bool FolderIndexes::Current(const Folder& folder, const struct stat& st) {
  return folder.stat.st_dev == st.st_dev && folder.stat.st_ino == st.st_ino &&
         folder.stat.st_mtim.tv_sec == st.st_mtim.tv_sec &&
         folder.stat.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
         folder.stat.st_ctim.tv_sec == st.st_ctim.tv_sec &&
         folder.stat.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
}

void FolderIndexes::Insert(Folder& folder, const char* native) {
  if (std::strcmp(native, ".") == 0 || std::strcmp(native, "..") == 0) return;
  std::string name;
  if (!CodePage::System().FromNative(native, &name)) return;
  std::vector<std::string>& same = folder.names[CodePage::System().Folded(name)];
  same.insert(std::lower_bound(same.begin(), same.end(), native), native);
}

std::vector<std::string> FolderIndexes::Scan(const std::string& dir, const std::string& name) {
  const CodePage& names = CodePage::System();
  std::vector<std::string> matches;
  DirHandle d(Key(dir));
  if (!d.get()) return matches;
  std::string entry;
  while (dirent* e = readdir(d.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    entry.clear();
    if (!names.FromNative(e->d_name, &entry)) continue;
    if (names.EqualNoCase(entry, name)) matches.push_back(e->d_name);
  }
  std::sort(matches.begin(), matches.end());
  return matches;
}

FolderIndexes& Indexes() {
  static FolderIndexes* indexes = new FolderIndexes();  // never destroyed: used until exit
  return *indexes;
}

// The folder part of a native path, with its trailing '/' ("" for a bare name).
std::string NativeParent(const std::string& native) {
  std::string p = native;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  return p.substr(0, slash + 1);
}

std::string NativeBaseName(const std::string& native) {
  std::string p = native;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace lumora
