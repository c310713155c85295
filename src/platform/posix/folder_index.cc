// The per-folder name indexes of the file layer (see folder_index.h).
#include "platform/posix/folder_index.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>

#include "platform/posix/codepage.h"

namespace lumora {

namespace {

// What the watches report: entries made, removed and renamed in the folder, and the
// folder itself removed or moved away.
constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR;

// Native names joined by '/', apart.
std::vector<std::string> Split(std::string_view natives) {
  std::vector<std::string> list;
  for (size_t at = 0;;) {
    const size_t end = natives.find('/', at);
    list.emplace_back(natives.substr(at, end - at));
    if (end == std::string_view::npos) return list;
    at = end + 1;
  }
}

std::string Joined(const std::vector<std::string>& natives) {
  std::string joined = natives.front();
  for (size_t i = 1; i < natives.size(); ++i) joined += '/' + natives[i];
  return joined;
}

uint32_t HashOf(std::string_view folded) {
  return static_cast<uint32_t>(std::hash<std::string_view>()(folded));
}

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
  Drain();  // a move on a remembered path, queued a moment ago, forgets it first
  auto it = resolved_.find(folder);
  if (it == resolved_.end()) return false;
  *native = it->second;
  return true;
}

void FolderIndexes::RememberFolder(const std::string& folder, const std::string& native) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Only a path whose every folder is watched: a move or removal on it then forgets it. Any
  // other (relative, through a symbolic link, or out of watches) is resolved anew each time.
  if (held_ == 0 || !Anchor(Key(native))) return;
  if (resolved_.size() >= kMaxFolders) resolved_.clear();
  resolved_[folder] = native;
}

void FolderIndexes::Created(const std::string& path, const std::string& native) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0 || !Anchor(Key(NativeParent(native)))) return;  // as for folders
  if (created_.size() >= kMaxCreated) created_.clear();
  created_[path] = native;
}

bool FolderIndexes::TakeCreated(const std::string& path, std::string* native) {
  std::lock_guard<std::mutex> lock(mutex_);
  Drain();
  auto it = created_.find(path);
  if (it == created_.end()) return false;
  *native = std::move(it->second);
  created_.erase(it);
  return true;
}

void FolderIndexes::ForgetFolders() {
  std::lock_guard<std::mutex> lock(mutex_);
  resolved_.clear();
  created_.clear();
}

void FolderIndexes::DropAll() {
  if (watch_fd_ >= 0) close(watch_fd_);
  watch_fd_ = -1;
  watch_of_.clear();
  folders_.clear();
  anchor_of_.clear();
  anchor_paths_.clear();
  resolved_.clear();
  created_.clear();
}

bool FolderIndexes::Anchor(const std::string& dir) {
  if (dir.size() < 2 || dir[0] != '/' || dir.back() != '/') return false;
  if (watch_fd_ < 0) watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd_ < 0) return false;
  // From the root down, each folder's watch in place before the one below it is looked at:
  // a move above a folder after its check is then queued.
  for (size_t end = 1; end <= dir.size() - 1; end = dir.find('/', end + 1)) {
    const std::string path = end == 1 ? "/" : dir.substr(0, end);
    if (path.size() > 1) {
      const std::string last = path.substr(path.rfind('/') + 1);
      if (last.empty() || last == "." || last == "..") return false;
    }
    if (anchor_of_.count(path) != 0) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    const int wd = inotify_add_watch(watch_fd_, path.c_str(), kWatched | IN_DONT_FOLLOW);
    if (wd < 0) return false;
    anchor_of_[path] = wd;
    anchor_paths_[wd].push_back(path);
  }
  return true;
}

void FolderIndexes::Drain() {
  if (watch_fd_ < 0) return;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(watch_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more queued (EAGAIN)
    // A read takes every event queued, up to the buffer's size: when the largest event
    // would still have fitted, the queue was emptied, and no second read is needed.
    const bool emptied =
        sizeof buffer - static_cast<size_t>(n) >= sizeof(inotify_event) + NAME_MAX + 1;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        // Changes were lost: nothing indexed can be trusted.
        DropAll();
        return;
      }
      auto anchor = anchor_paths_.find(event->wd);
      if (anchor != anchor_paths_.end()) {
        // A folder on an anchored path moved or went, or a name on it changed: what every
        // index stands for is in doubt.
        bool moved = (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0;
        for (size_t i = 0; !moved && event->len > 0 && i < anchor->second.size(); ++i) {
          const std::string& path = anchor->second[i];
          moved = anchor_of_.count((path == "/" ? path : path + '/') + event->name) != 0;
        }
        if (moved) {
          DropAll();
          return;
        }
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
    if (emptied) return;
  }
}

std::vector<std::string> FolderIndexes::Matches(const std::string& dir, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return Scan(dir, name);
  Drain();
  return MatchesDrained(dir, name);
}

bool FolderIndexes::MatchesInFolder(const std::string& folder, const std::string& name,
                                    std::string* native, std::vector<std::string>* matches) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ == 0) return false;
  Drain();
  auto it = resolved_.find(folder);
  if (it == resolved_.end()) return false;
  *native = it->second;
  *matches = MatchesDrained(*native, name);
  return true;
}

std::vector<std::string> FolderIndexes::MatchesDrained(const std::string& dir,
                                                       const std::string& name) {
  const std::string key = Key(dir);
  auto watch = watch_of_.find(key);
  auto it = watch == watch_of_.end() ? folders_.end() : folders_.find(watch->second);
  if (it != folders_.end() && it->second.anchored_as == key) return Find(it->second, name);
  if (it == folders_.end() && (folders_.size() >= kMaxFolders || watch_of_.size() >= kMaxFolders)) {
    DropAll();
  }
  const bool anchored = it == folders_.end() && Anchor(key);
  struct stat st;
  if (stat(key.c_str(), &st) != 0) return {};
  if (it != folders_.end() && (it->second.dev != st.st_dev || it->second.ino != st.st_ino)) {
    // The path names another folder now (it, or a folder above it, was moved or replaced).
    inotify_rm_watch(watch_fd_, it->first);
    folders_.erase(it);
    it = folders_.end();
  }
  if (it == folders_.end()) {
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
      if (anchored) folder.anchored_as = key;
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
  return Find(it->second, name);
}

std::vector<std::string> FolderIndexes::Find(const Folder& folder, const std::string& name) {
  return folder.names.Find(CodePage::System().Folded(name));
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
  const std::string folded = CodePage::System().Folded(name);
  if (stands) {
    folder.names.Insert(folded, native);
  } else {
    folder.names.Erase(folded, native);
  }
}

size_t FoldedNames::Probe(std::string_view folded, uint32_t hash, bool* found) const {
  const size_t mask = slots_.size() - 1;
  size_t place = SIZE_MAX;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.state == kFree) {
      *found = false;
      return place == SIZE_MAX ? i : place;
    }
    if (slot.state == kGone) {
      if (place == SIZE_MAX) place = i;
    } else if (slot.hash == hash &&
               std::string_view(text_).substr(slot.at, slot.folded) == folded) {
      *found = true;
      return i;
    }
  }
}

void FoldedNames::Store(Slot& slot, uint32_t hash, std::string_view folded,
                        std::string_view natives) {
  if (slot.state == kGone) --gone_;
  if (slot.state == kUsed) {
    live_text_ -= slot.length;
  } else {
    ++live_;
  }
  slot.hash = hash;
  slot.at = static_cast<uint32_t>(text_.size());
  slot.folded = static_cast<uint16_t>(folded.size());
  slot.length = static_cast<uint32_t>(folded.size() + natives.size());
  slot.state = kUsed;
  text_.append(folded);
  text_.append(natives);
  live_text_ += slot.length;
}

void FoldedNames::Grow() {
  const bool crowded = (live_ + gone_ + 1) * 4 > slots_.size() * 3;
  const bool wasteful = text_.size() > 2 * live_text_ + 65536;
  if (!slots_.empty() && !crowded && !wasteful) return;
  size_t size = slots_.empty() ? 64 : slots_.size();
  while ((live_ + 1) * 2 > size) size *= 2;
  std::vector<Slot> old(size);
  old.swap(slots_);
  gone_ = 0;
  bool found = false;
  if (!wasteful) {  // the records stay where they lie: only their slots move
    for (const Slot& slot : old) {
      if (slot.state != kUsed) continue;
      slots_[Probe(std::string_view(text_).substr(slot.at, slot.folded), slot.hash, &found)] = slot;
    }
    return;
  }
  std::string text;
  text.reserve(live_text_ + live_text_ / 4 + 1024);
  text.swap(text_);
  live_ = live_text_ = 0;
  for (const Slot& slot : old) {
    if (slot.state != kUsed) continue;
    const std::string_view record = std::string_view(text).substr(slot.at, slot.length);
    Store(slots_[Probe(record.substr(0, slot.folded), slot.hash, &found)], slot.hash,
          record.substr(0, slot.folded), record.substr(slot.folded));
  }
}

std::vector<std::string> FoldedNames::Natives(const Slot& slot) const {
  return Split(std::string_view(text_).substr(slot.at + slot.folded, slot.length - slot.folded));
}

void FoldedNames::Insert(std::string_view folded, std::string_view native) {
  Grow();
  const uint32_t hash = HashOf(folded);
  bool found = false;
  Slot& slot = slots_[Probe(folded, hash, &found)];
  // Nearly every name is the only one of its folded form: one record, no list to sort.
  if (!found) return Store(slot, hash, folded, native);
  std::vector<std::string> same = Natives(slot);
  auto at = std::lower_bound(same.begin(), same.end(), native);
  if (at != same.end() && *at == native) return;
  same.emplace(at, native);
  Store(slot, hash, folded, Joined(same));
}

void FoldedNames::Erase(std::string_view folded, std::string_view native) {
  if (slots_.empty()) return;
  const uint32_t hash = HashOf(folded);
  bool found = false;
  Slot& slot = slots_[Probe(folded, hash, &found)];
  if (!found) return;
  std::vector<std::string> same = Natives(slot);
  auto at = std::lower_bound(same.begin(), same.end(), native);
  if (at == same.end() || *at != native) return;
  same.erase(at);
  if (same.empty()) {
    slot.state = kGone;
    --live_;
    ++gone_;
    live_text_ -= slot.length;
    return;
  }
  Store(slot, hash, folded, Joined(same));
}

std::vector<std::string> FoldedNames::Find(std::string_view folded) const {
  if (slots_.empty()) return {};
  bool found = false;
  const Slot& slot = slots_[Probe(folded, HashOf(folded), &found)];
  if (!found) return {};
  return Natives(slot);
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
