#include "archive/archive_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

namespace lumora {

ArchiveStream::ArchiveStream(FileSystem& files, const std::string& path) : buffer_(kReadAhead) {
  try {
    file_ = files.Open(path, OpenMode::kRead);
  } catch (const IoError&) {
    throw RuntimeError(CannotOpenFileText(path));
  }
  size_ = file_->Size();
  if (size_ < 0) throw RuntimeError(CannotOpenFileText(path));
}

int64_t ArchiveStream::Seek(int64_t offset) {
  int64_t p = file_->Seek(offset);
  if (p < 0) throw RuntimeError(kStreamReadError);
  position_ = p;
  buffer_pos_ = buffer_len_ = 0;
  return p;
}

bool ArchiveStream::Fill() {
  IoResult r = file_->Read(buffer_.data(), buffer_.size());
  if (r.error != 0 && r.count == 0) throw RuntimeError(kStreamReadError);
  buffer_pos_ = 0;
  buffer_len_ = r.count;
  return r.count > 0;
}

void ArchiveStream::ReadExact(uint8_t* data, size_t n) {
  while (n > 0) {
    if (buffer_pos_ == buffer_len_ && !Fill()) throw RuntimeError(kStreamReadError);
    size_t take = std::min(n, buffer_len_ - buffer_pos_);
    std::memcpy(data, buffer_.data() + buffer_pos_, take);
    buffer_pos_ += take;
    position_ += static_cast<int64_t>(take);
    data += take;
    n -= take;
  }
}

}  // namespace lumora
