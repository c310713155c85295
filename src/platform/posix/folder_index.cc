// The per-folder name indexes of the file layer (see folder_index.h).
#include "platform/posix/folder_index.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/posix/codepage.h"

namespace lumora {

namespace {

// What the watches report: entries made, removed and renamed in the folder, and the
// folder itself removed or moved away.
constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

void FolderIndexes::Hold(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ += on ? 1 : -1;
  if (held_ <= 0) {
    held_ = 0;
    DropAll();
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

void FolderIndexes::DropAll() {
  if (watch_fd_ >= 0) close(watch_fd_);
  watch_fd_ = -1;
  watch_of_.clear();
  folders_.clear();
}

void FolderIndexes::Drain() {
  if (watch_fd_ < 0) return;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(watch_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more queued (EAGAIN)
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        // Changes were lost: nothing indexed can be trusted.
        DropAll();
        return;
      }
      auto it = folders_.find(event->wd);
      if (it == folders_.end()) continue;
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        if (event->mask & IN_MOVE_SELF) inotify_rm_watch(watch_fd_, event->wd);
        folders_.erase(it);
        continue;
      }
      if (event->len == 0) continue;
      const std::string native(event->name);  // NUL-padded
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) Apply(it->second, native, true);
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) Apply(it->second, native, false);
    }
  }
}

std::vector<std::string> FolderIndexes::Matches(const std::string& dir, const std::string& name) {
  const CodePage& names = CodePage::System();
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return Scan(dir, name);
  Drain();
  const std::string key = Key(dir);
  struct stat st;
  if (stat(key.c_str(), &st) != 0) return {};
  auto watch = watch_of_.find(key);
  auto it = watch == watch_of_.end() ? folders_.end() : folders_.find(watch->second);
  if (it != folders_.end() && (it->second.dev != st.st_dev || it->second.ino != st.st_ino)) {
    // The path names another folder now (it, or a folder above it, was moved or replaced).
    inotify_rm_watch(watch_fd_, it->first);
    folders_.erase(it);
    it = folders_.end();
  }
  if (it == folders_.end()) {
    if (folders_.size() >= kMaxFolders || watch_of_.size() >= kMaxFolders) DropAll();
    if (watch_fd_ < 0) watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // The watch comes first: a change made while the folder is read is then both in the
    // listing or not, and in the queue, which the next lookup applies on top of it.
    const int wd = watch_fd_ < 0 ? -1 : inotify_add_watch(watch_fd_, key.c_str(), kWatched);
    if (wd < 0) return Scan(dir, name);
    watch_of_[key] = wd;
    it = folders_.find(wd);
    if (it == folders_.end() || it->second.dev != st.st_dev || it->second.ino != st.st_ino) {
      // Not watched yet under another path: read it.
      Folder& folder = folders_[wd];
      folder = Folder();
      folder.dev = st.st_dev;
      folder.ino = st.st_ino;
      DirHandle d(key);
      if (!d.get()) {
        folders_.erase(wd);
        return {};
      }
      while (dirent* e = readdir(d.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
          Apply(folder, e->d_name, true);
        }
      }
      Drain();
      it = folders_.find(wd);
      if (it == folders_.end()) return Scan(dir, name);  // gone or overflowed meanwhile
    }
  }
  auto found = it->second.names.find(names.Folded(name));
  return found == it->second.names.end() ? std::vector<std::string>() : found->second;
}

void FolderIndexes::Changed(const std::string& native_path, bool stands) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return;
  auto watch = watch_of_.find(Key(NativeParent(native_path)));
  if (watch == watch_of_.end()) return;
  auto it = folders_.find(watch->second);
  if (it != folders_.end()) Apply(it->second, NativeBaseName(native_path), stands);
}

void FolderIndexes::Apply(Folder& folder, const std::string& native, bool stands) {
  std::string name;
  if (!CodePage::System().FromNative(native, &name)) return;
  std::vector<std::string>& same = folder.names[CodePage::System().Folded(name)];
  auto at = std::lower_bound(same.begin(), same.end(), native);
  const bool listed = at != same.end() && *at == native;
  if (stands && !listed) same.insert(at, native);
  if (!stands && listed) same.erase(at);
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
