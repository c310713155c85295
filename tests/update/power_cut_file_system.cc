#include "power_cut_file_system.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/errors.h"

namespace lumora::testing {
namespace {

std::string Key(std::string path) {
  for (char& c : path) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
  }
  return path;
}

class PowerCutFile : public File {
 public:
  PowerCutFile(std::unique_ptr<File> inner, PowerCutFileSystem& owner,
               std::shared_ptr<PowerCutFileSystem::Written> written)
      : inner_(std::move(inner)), owner_(owner), written_(std::move(written)) {}

  IoResult Read(void* d, size_t n) override { return inner_->Read(d, n); }
  IoResult Write(const void* d, size_t n) override {
    if (!owner_.Change()) return {0, errc::kGeneralFailure};
    const IoResult r = inner_->Write(d, n);
    if (written_) written_->size = std::max(written_->size, inner_->Position());
    return r;
  }
  int64_t Seek(int64_t o) override { return inner_->Seek(o); }
  int64_t Position() const override { return inner_->Position(); }
  int64_t Size() override { return inner_->Size(); }
  bool Truncate(int64_t s) override {
    if (!owner_.Change() || !inner_->Truncate(s)) return false;
    if (written_) {
      written_->size = s;
      written_->synced = std::min(written_->synced, s);
    }
    return true;
  }
  bool Flush() override { return inner_->Flush(); }

 private:
  std::unique_ptr<File> inner_;
  PowerCutFileSystem& owner_;
  std::shared_ptr<PowerCutFileSystem::Written> written_;
};

}  // namespace

bool PowerCutFileSystem::Change() {
  if (cut_) {
    // A destructor that cleans up while PowerCut unwinds must not throw again.
    if (std::uncaught_exceptions() > 0) return false;
    throw PowerCut();
  }
  if (++changes_ == cut_at_) {
    if (fail_only_) {
      failed_ = true;
      return false;
    }
    cut_ = true;
    throw PowerCut();
  }
  return true;
}

std::unique_ptr<File> PowerCutFileSystem::Open(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::kRead)
    return std::make_unique<PowerCutFile>(inner_.Open(path, mode), *this, nullptr);
  if (!Change()) throw IoError(errc::kGeneralFailure);
  std::unique_ptr<File> file = inner_.Open(path, mode);
  std::shared_ptr<Written>& written = written_[Key(path)];
  if (mode == OpenMode::kCreate || mode == OpenMode::kCreateNew) {
    // Emptying a file is a change of its metadata: it stands.
    written = std::make_shared<Written>();
    written->path = path;
  } else if (!written) {
    written = std::make_shared<Written>();
    written->path = path;
    written->size = written->synced = file->Size();
  }
  return std::make_unique<PowerCutFile>(std::move(file), *this, written);
}

std::unique_ptr<File> PowerCutFileSystem::CreatePending(const std::string& path) {
  if (!Change()) throw IoError(errc::kGeneralFailure);
  std::unique_ptr<File> file = inner_.CreatePending(path);
  std::shared_ptr<Written>& written = written_[Key(path)];
  written = std::make_shared<Written>();
  written->path = path;
  return std::make_unique<PowerCutFile>(std::move(file), *this, written);
}

bool PowerCutFileSystem::Sync(const std::string&) {
  if (!Change()) return false;
  for (auto& [key, written] : written_) written->synced = written->size;
  return true;
}

bool PowerCutFileSystem::DeleteFile(const std::string& p) {
  if (!Change() || !inner_.DeleteFile(p)) return false;
  written_.erase(Key(p));
  return true;
}

bool PowerCutFileSystem::Moved(const std::string& from, const std::string& to, bool done) {
  if (!done) return false;
  auto it = written_.find(Key(from));
  if (it != written_.end()) {
    std::shared_ptr<Written> written = it->second;
    written_.erase(it);
    written->path = to;
    written_[Key(to)] = written;
  }
  return true;
}

bool PowerCutFileSystem::Rename(const std::string& f, const std::string& t) {
  return Change() && Moved(f, t, inner_.Rename(f, t));
}

bool PowerCutFileSystem::RenameWritten(const std::string& f, const std::string& t) {
  return Change() && Moved(f, t, inner_.RenameWritten(f, t));
}

void PowerCutFileSystem::DropUnsynced() {
  for (const auto& [key, written] : written_) {
    if (written->size <= written->synced) continue;
    inner_.Open(written->path, OpenMode::kReadWrite)->Truncate(written->synced);
  }
}

}  // namespace lumora::testing
