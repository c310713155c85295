// The archive stream: the updater file opened for reading and read strictly forwards
// after one seek. Reads are served from a read-ahead buffer, so single bytes cost no
// system call, while Position() stays the position of the next byte the reader takes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/byte_io.h"
#include "platform/filesystem.h"

namespace lumora {

class ArchiveStream : public ByteSource {
 public:
  static constexpr size_t kReadAhead = 64 * 1024;  // bytes

  // Opens path for reading (others may read it too). Throws RuntimeError("Cannot open
  // file <path>") when it cannot.
  ArchiveStream(FileSystem& files, const std::string& path);

  void ReadExact(uint8_t* data, size_t n) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const { return size_; }
  // Moves to an absolute offset and returns it.
  int64_t Seek(int64_t offset);

 private:
  bool Fill();

  std::unique_ptr<File> file_;
  int64_t size_ = 0;
  int64_t position_ = 0;  // logical position
  std::vector<uint8_t> buffer_;
  size_t buffer_pos_ = 0;  // next unread byte in buffer_
  size_t buffer_len_ = 0;  // valid bytes in buffer_
};

}  // namespace lumora
