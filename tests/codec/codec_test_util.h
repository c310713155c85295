// In-memory archive streams and outputs for the codec's tests, a code stream builder
// that follows the decoder's width schedule, and a byte-wise decoder written straight
// from the code stream's rules, to hold the fast decoder against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/byte_io.h"
#include "codec/decoder.h"

namespace lumora::testing {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);
std::string ToString(const Bytes& bytes);

// An archive stream over a buffer; reads past its end fail with "Stream read error".
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(Bytes data) : data_(std::move(data)) {}
  void ReadExact(uint8_t* data, size_t n) override;
  int64_t Position() const override { return static_cast<int64_t>(pos_); }
  size_t reads() const { return reads_; }

 private:
  Bytes data_;
  size_t pos_ = 0;
  size_t reads_ = 0;
};

// Collects what is written; with fail_at set, that write (counted from 0) and every later
// one fall short.
class MemorySink : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override;
  Bytes data;
  std::vector<size_t> writes;  // the size of every successful write
  int fail_at = -1;
};

// Counts progress reports and notes the archive position of each.
class ProgressLog : public ProgressListener {
 public:
  explicit ProgressLog(const ByteSource& archive) : archive_(archive) {}
  void OnProgress() override { positions.push_back(archive_.Position()); }
  std::vector<int64_t> positions;

 private:
  const ByteSource& archive_;
};

// Packs codes least significant bit first with the widths the decoder expects: 9 bits
// after a clear code, one more as soon as a defining code makes the next free code 512,
// 1024, 2048 or 4096. The first code must be the clear code.
class CodeStream {
 public:
  CodeStream& Add(uint32_t code);
  CodeStream& AddAll(const std::vector<uint32_t>& codes);
  // The packed bytes; with pad_on_boundary, one 0x00 more when the last code ends on a
  // byte boundary.
  Bytes Packed(bool pad_on_boundary = false) const;
  int width() const { return width_; }
  uint32_t next_code() const { return next_; }
  size_t bits() const { return bits_; }

 private:
  Bytes bytes_;
  uint64_t acc_ = 0;
  int acc_bits_ = 0;
  size_t bits_ = 0;
  size_t count_ = 0;
  bool root_next_ = false;
  uint32_t next_ = 258;
  int width_ = 9;
};

// Cuts a code stream into blocks of block_size (the last holds the rest), each after its
// length byte, then the 0x00 terminator.
Bytes Frame(const Bytes& stream, size_t block_size = 255);
// The payloads of a framed member, one entry per block.
std::vector<Bytes> Blocks(const Bytes& framed);

struct DecodeResult {
  Bytes output;          // everything written, the final write included
  int64_t position = 0;  // where the archive stands afterwards
  std::vector<int64_t> progress;
  std::vector<size_t> writes;  // write sizes, the final write last
};

// Runs a member (framed, followed by `after`) through Decoder::makeExtract the way the
// driver does: first length through readByte, Prime, decode, final write.
DecodeResult DecodeFast(const Bytes& framed, const Bytes& after = {});
// The same with the byte-wise reference decoder. Only for well-formed members.
DecodeResult DecodeReference(const Bytes& framed, const Bytes& after = {});

}  // namespace lumora::testing
