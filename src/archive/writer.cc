#include "archive/writer.h"

#include <algorithm>
#include <vector>

#include "archive/format.h"
#include "platform/errors.h"

namespace lumora {

ArchiveWriter::ArchiveWriter(ByteSink& out, ClearPolicy policy) : out_(out), policy_(policy) {}

void ArchiveWriter::Put(const uint8_t* data, size_t n) {
  if (n == 0) return;
  crc_.Update(data, n);
  if (!out_.Write(data, n)) throw RuntimeError(kStreamWriteError);
  written_ += static_cast<int64_t>(n);
}

void ArchiveWriter::Put(const std::string& s) {
  Put(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

void ArchiveWriter::Begin() { Put(std::string(format::kMagic, format::kMagicLength)); }

void ArchiveWriter::AddDirectory(const std::string& name) {
  Put(std::string(1, static_cast<char>(format::kEntryMark)) + name + std::string(1, '\0') +
      std::string(1, '\0'));
}

void ArchiveWriter::BeginFile(const std::string& name) {
  Put(std::string(1, static_cast<char>(format::kEntryMark)) + name + std::string(1, '\0'));
}

int64_t ArchiveWriter::AddFile(const std::string& name, const Reader& data) {
  BeginFile(name);
  const int64_t before = written_;
  Encoder encoder(policy_, [this](const uint8_t* p, size_t n) { Put(p, n); });
  std::vector<uint8_t> piece(256 * 1024);
  for (;;) {
    size_t n = data(piece.data(), piece.size());
    if (n == 0) break;
    encoder.Feed(piece.data(), n);
    input_ += static_cast<int64_t>(n);
    if (on_input) on_input(input_);
  }
  encoder.Finish();
  return written_ - before;
}

int64_t ArchiveWriter::AddFile(const std::string& name, const std::string& data) {
  size_t at = 0;
  return AddFile(name, [&](uint8_t* buf, size_t n) {
    size_t take = std::min(n, data.size() - at);
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(at),
              data.begin() + static_cast<std::ptrdiff_t>(at + take), buf);
    at += take;
    return take;
  });
}

void ArchiveWriter::Finish(bool with_trailer) {
  Put(std::string(1, static_cast<char>(format::kEndMark)));
  if (!with_trailer) return;
  uint32_t crc = crc_.Value();
  std::string trailer(format::kTrailerTag, format::kTrailerTagLength);
  for (int i = 0; i < 4; ++i) trailer += static_cast<char>((crc >> (8 * i)) & 0xFF);
  if (!out_.Write(reinterpret_cast<const uint8_t*>(trailer.data()), trailer.size())) {
    throw RuntimeError(kStreamWriteError);
  }
  written_ += static_cast<int64_t>(trailer.size());
}

}  // namespace lumora
