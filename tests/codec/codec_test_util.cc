#include "codec/codec_test_util.h"

#include <algorithm>
#include <cstring>

#include "gtest/gtest.h"
#include "platform/errors.h"

namespace lumora::testing {

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string ToString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

void MemorySource::ReadExact(uint8_t* data, size_t n) {
  ++reads_;
  if (data_.size() - pos_ < n) {
    pos_ = data_.size();
    throw RuntimeError(kStreamReadError);
  }
  if (n > 0) std::memcpy(data, data_.data() + pos_, n);
  pos_ += n;
}

bool MemorySink::Write(const uint8_t* bytes, size_t n) {
  if (fail_at >= 0 && static_cast<int>(writes.size()) >= fail_at) return false;
  data.insert(data.end(), bytes, bytes + n);
  writes.push_back(n);
  return true;
}

CodeStream& CodeStream::Add(uint32_t code) {
  acc_ |= static_cast<uint64_t>(code) << acc_bits_;
  acc_bits_ += width_;
  bits_ += static_cast<size_t>(width_);
  while (acc_bits_ >= 8) {
    bytes_.push_back(static_cast<uint8_t>(acc_));
    acc_ >>= 8;
    acc_bits_ -= 8;
  }
  if (count_++ == 0 || (!root_next_ && code == 256)) {
    root_next_ = true;
    width_ = 9;
    next_ = 258;
  } else if (root_next_) {
    root_next_ = false;
  } else if (code != 257) {
    ++next_;
    if (next_ == (1u << width_)) ++width_;
  }
  return *this;
}

CodeStream& CodeStream::AddAll(const std::vector<uint32_t>& codes) {
  for (uint32_t code : codes) Add(code);
  return *this;
}

Bytes CodeStream::Packed(bool pad_on_boundary) const {
  Bytes out = bytes_;
  if (acc_bits_ > 0) {
    out.push_back(static_cast<uint8_t>(acc_));
  } else if (pad_on_boundary) {
    out.push_back(0x00);
  }
  return out;
}

Bytes Frame(const Bytes& stream, size_t block_size) {
  Bytes out;
  for (size_t pos = 0; pos < stream.size(); pos += block_size) {
    const size_t n = std::min(block_size, stream.size() - pos);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos),
               stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
  }
  out.push_back(0x00);
  return out;
}

std::vector<Bytes> Blocks(const Bytes& framed) {
  std::vector<Bytes> blocks;
  size_t pos = 0;
  while (pos < framed.size() && framed[pos] != 0) {
    const size_t n = framed[pos];
    blocks.emplace_back(framed.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                        framed.begin() + static_cast<std::ptrdiff_t>(pos + 1 + n));
    pos += n + 1;
  }
  return blocks;
}

namespace {

// The decoder as the code stream's rules describe it: one byte at a time through
// readByteExtr and writeByteComp, whole strings in the chain table.
void ReferenceExtract(ByteSource& src, BlockReader& in, OutputBuffer& out, ByteSink& sink,
                      ProgressListener& progress) {
  std::vector<std::string> chain(8192);
  uint16_t codeWidth = 9;
  int32_t widthLimit = 512;
  int32_t nextCode = 258;
  bool afterClear = false;
  uint8_t curByte = 0;
  int32_t bitsUsed = 0;
  uint8_t lastMask = 0xFF;

  auto readCode = [&](int w) -> uint16_t {
    uint32_t code;
    int wanted = w;
    if (lastMask != 0xFF) {
      code = curByte & static_cast<uint8_t>(static_cast<uint8_t>(~lastMask) >> bitsUsed);
    } else {
      curByte = in.readByteExtr(src);
      code = curByte & getCurrentMask(w);
      bitsUsed = 0;
    }
    if (8 - bitsUsed < wanted) {
      const uint8_t b = in.readByteExtr(src);
      wanted -= 8 - bitsUsed;
      lastMask = getCurrentMask(wanted);
      code += static_cast<uint32_t>(b & lastMask) << (8 - bitsUsed);
      curByte = b;
    }
    while (wanted > 8) {
      const uint8_t b = in.readByteExtr(src);
      wanted -= 8;
      lastMask = getCurrentMask(wanted);
      code += static_cast<uint32_t>(b & lastMask) << (16 - bitsUsed);
      curByte = b;
    }
    curByte = static_cast<uint8_t>(curByte >> wanted);
    bitsUsed = wanted;
    return static_cast<uint16_t>(code);
  };
  auto writeChain = [&](const std::string& s) {
    for (char c : s) out.writeByteComp(static_cast<uint8_t>(c), sink);
  };

  const uint16_t clearCode = readCode(9);
  const uint16_t endCode = static_cast<uint16_t>(clearCode + 1);
  for (int i = 0; i < clearCode; ++i) chain[i] = std::string(1, static_cast<char>(i));
  uint16_t code = readCode(9);
  writeChain(chain[code]);
  uint16_t prevCode = code;
  for (;;) {
    if (!in.moreData) return;
    bool readAgain = true;
    while (readAgain) {
      readAgain = false;
      code = readCode(codeWidth);
      if (afterClear) {
        afterClear = false;
        writeChain(chain[code]);
        prevCode = code;
        readAgain = true;
        continue;
      }
      if (code == clearCode) {
        progress.OnProgress();
        for (int i = 0; i < clearCode; ++i) chain[i] = std::string(1, static_cast<char>(i));
        codeWidth = 9;
        widthLimit = 512;
        nextCode = 258;
        afterClear = true;
      } else if (code == endCode) {
        in.moreData = false;
      } else if (code < nextCode) {
        const std::string s = chain[code];
        writeChain(s);
        chain[nextCode] = chain[prevCode] + s[0];
        ++nextCode;
        prevCode = code;
      } else {
        const std::string p = chain[prevCode];
        const std::string e = p + p[0];
        chain[nextCode] = e;
        ++nextCode;
        writeChain(e);
        prevCode = code;
      }
      if (nextCode == widthLimit) {
        progress.OnProgress();
        ++codeWidth;
        widthLimit *= 2;
        if (lastMask != 0xFF) readAgain = true;
      }
    }
  }
}

template <typename Extract>
DecodeResult Run(const Bytes& framed, const Bytes& after, Extract extract) {
  Bytes all = framed;
  all.insert(all.end(), after.begin(), after.end());
  MemorySource src(all);
  BlockReader in;
  OutputBuffer out;
  MemorySink sink;
  ProgressLog log(src);
  out.Reset();
  const uint8_t first = in.readByte(src);
  in.Prime(first);
  if (first != 0) extract(src, in, out, sink, log);
  EXPECT_FALSE(first != 0 && in.moreData);
  EXPECT_TRUE(out.WriteRest(sink));
  return DecodeResult{sink.data, src.Position(), log.positions, sink.writes};
}

}  // namespace

DecodeResult DecodeFast(const Bytes& framed, const Bytes& after) {
  Decoder decoder;
  return Run(framed, after,
             [&](ByteSource& src, BlockReader& in, OutputBuffer& out, ByteSink& sink,
                 ProgressLog& log) { decoder.makeExtract(src, in, out, sink, &log); });
}

DecodeResult DecodeReference(const Bytes& framed, const Bytes& after) {
  return Run(framed, after,
             [](ByteSource& src, BlockReader& in, OutputBuffer& out, ByteSink& sink,
                ProgressLog& log) { ReferenceExtract(src, in, out, sink, log); });
}

}  // namespace lumora::testing
