// Fuzzes the block reader and the member decoder.
//
// The first input byte picks the mode. Even: the rest is an archive standing on a member's
// first length byte; the decoder must succeed or fail with RuntimeError, and never read
// past the member's terminator. Odd: the rest is a file's bytes; the encoder's member
// (bit 1 picks the clear policy) must decode to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/byte_io.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "platform/errors.h"

namespace {

class Source : public lumora::ByteSource {
 public:
  Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void ReadExact(uint8_t* out, size_t n) override {
    if (size_ - pos_ < n) throw lumora::RuntimeError(lumora::kStreamReadError);
    if (n > 0) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
  }
  int64_t Position() const override { return static_cast<int64_t>(pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class Sink : public lumora::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    out.insert(out.end(), data, data + n);
    return true;
  }
  std::vector<uint8_t> out;
};

// Where the member's framing ends (just after its terminator), or 0 when it runs off.
size_t FramedEnd(const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    if (data[pos] == 0) return pos + 1;
    pos += data[pos] + 1;
  }
  return 0;
}

std::vector<uint8_t> Decode(const uint8_t* data, size_t size, size_t* position) {
  Source src(data, size);
  lumora::BlockReader in;
  lumora::OutputBuffer out;
  Sink sink;
  static lumora::Decoder decoder;  // reused, as the driver reuses its chain table
  in.Prime(in.readByte(src));
  if (in.inSize != 0) {
    decoder.makeExtract(src, in, out, sink, nullptr);
    if (in.moreData) std::abort();
  }
  out.WriteRest(sink);
  *position = static_cast<size_t>(src.Position());
  return sink.out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  if ((mode & 1) == 0) {
    try {
      size_t position = 0;
      Decode(data, size, &position);
      const size_t end = FramedEnd(data, size);
      if (end != 0 && position > end) std::abort();  // never past the terminator
    } catch (const lumora::RuntimeError&) {
    }
    return 0;
  }
  const auto policy =
      (mode & 2) != 0 ? lumora::ClearPolicy::kAdaptive : lumora::ClearPolicy::kBaseline;
  const std::vector<uint8_t> member = lumora::EncodeMember(data, size, policy);
  size_t position = 0;
  const std::vector<uint8_t> decoded = Decode(member.data(), member.size(), &position);
  if (position != member.size()) std::abort();
  if (decoded.size() != size || (size > 0 && std::memcmp(decoded.data(), data, size) != 0)) {
    std::abort();
  }
  return 0;
}
