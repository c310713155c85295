#include "codec/decoder.h"

#include <cstring>

#include "codec/lzw_constants.h"
#include "platform/errors.h"

namespace lumora {

uint8_t getCurrentMask(int32_t bits) {
  if (bits <= 0) return 0;
  uint8_t mask = 1;
  for (int32_t i = 1; i < bits && i < 8; ++i) mask = static_cast<uint8_t>(mask * 2 + 1);
  return mask;
}

namespace {

using lzw::kClearCode;
using lzw::kEndCode;
using lzw::kFirstFreeCode;
using lzw::kInitialLimit;
using lzw::kInitialWidth;
using lzw::kTableSize;

// One stretch of codes between clear codes defines at most kTableSize - kFirstFreeCode
// entries, and the j-th of them comes with a string of at most j + 1 bytes; the code after
// the clear code adds one byte more. That bounds the output of one stretch, which is where
// every string of the chain table lives.
constexpr size_t kMaxDefinitions = kTableSize - kFirstFreeCode;
constexpr size_t kMaxStretchBytes = 1 + kMaxDefinitions * (kMaxDefinitions + 3) / 2;
constexpr size_t kCopySlack = 32;    // bytes that a string copy may write past its end
constexpr uint32_t kRootArea = 288;  // the 256 roots at the front, and room to copy them
constexpr size_t kHistoryBytes = kRootArea + kMaxStretchBytes + kCopySlack;
constexpr size_t kFlushChunk = 64 * 1024;  // decoded bytes handed to the output at once

inline void Copy16(uint8_t* dst, const uint8_t* src) {
  uint8_t chunk[16];
  std::memcpy(chunk, src, 16);
  std::memcpy(dst, chunk, 16);
}

// Copies len bytes from src to dst, where dst lies at least len bytes after src; writes up
// to 15 bytes of scratch past dst + len.
inline void CopyString(uint8_t* dst, const uint8_t* src, size_t len) {
  size_t i = 0;
  do {
    Copy16(dst + i, src + i);
    i += 16;
  } while (i < len);
}

[[noreturn]] void Corrupt() { throw RuntimeError(kCorruptDataError); }

// Takes codes out of the member's bytes, least significant bit first. It hands out the
// same codes as the byte-wise reader and fetches a block exactly when the byte-wise reader
// would: only when the code in hand needs a byte of it.
class BitReader {
 public:
  BitReader(ByteSource& archive, BlockReader& in)
      : archive_(archive), in_(in), p_(in.inBuffer + in.inPos), end_(in.inBuffer + in.inSize) {}

  // The next code of `width` bits; false when the member's bytes run out before it ends.
  bool Read(int width, uint32_t* code) {
    if (count_ < width && !Refill(width)) return false;
    *code = static_cast<uint32_t>(bits_) & ((1u << width) - 1);
    bits_ >>= width;
    count_ -= width;
    return true;
  }

  // Leaves the block reader as the byte-wise reader would: every byte that a code touched
  // has been handed out.
  void Sync() {
    if (exhausted_) return;
    in_.inPos = static_cast<int32_t>(p_ - in_.inBuffer) - count_ / 8;
    if (in_.lastBlock && in_.inPos == in_.inSize) in_.moreData = false;
  }

 private:
  bool Refill(int width) {
    for (;;) {
      if (end_ - p_ >= 8) {
        uint64_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&word, p_, 8);
#else
        for (int i = 7; i >= 0; --i) word = (word << 8) | p_[i];
#endif
        bits_ |= word << count_;
        p_ += (63 - count_) >> 3;
        count_ |= 56;
        return true;
      }
      while (count_ <= 56 && p_ < end_) {
        bits_ |= static_cast<uint64_t>(*p_++) << count_;
        count_ += 8;
      }
      if (count_ >= width) return true;
      // The block is used up. After the member's last block nothing may be read: the
      // bytes that follow belong to the next entry.
      in_.inPos = in_.inSize;
      if (in_.lastBlock) {
        in_.moreData = false;
        exhausted_ = true;
        return false;
      }
      in_.LoadBlock(archive_);
      p_ = in_.inBuffer;
      end_ = in_.inBuffer + in_.inSize;
    }
  }

  ByteSource& archive_;
  BlockReader& in_;
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t bits_ = 0;
  int count_ = 0;
  bool exhausted_ = false;
};

}  // namespace

// The chain table. Every string in it is a piece of the output decoded since the last
// clear code, so a slot is the offset and length of that piece in `history`, and emitting
// a code is one copy of one string. The roots live at the front of `history`, so a root
// is copied like any other string.
struct Decoder::State {
  struct Slot {
    uint32_t start;
    uint32_t length;
  };
  Slot slots[kTableSize] = {};
  std::unique_ptr<uint8_t[]> history;
};

Decoder::Decoder() : state_(new State) {}
Decoder::~Decoder() = default;

void Decoder::makeExtract(ByteSource& archive, BlockReader& in, OutputBuffer& out, ByteSink& sink,
                          ProgressListener* progress) {
  if (in.Exhausted()) {  // a member without data bytes
    in.moreData = false;
    return;
  }
  State& s = *state_;
  if (!s.history) {
    s.history.reset(new uint8_t[kHistoryBytes]);
    for (uint32_t i = 0; i < kRootArea; ++i) s.history[i] = static_cast<uint8_t>(i);
    for (uint32_t i = 0; i < kClearCode; ++i) s.slots[i] = {i, 1};
  }
  uint8_t* const h = s.history.get();
  State::Slot* const slots = s.slots;

  BitReader reader(archive, in);
  size_t cur = kRootArea;      // end of the stretch's output in h
  size_t flushed = kRootArea;  // h[kRootArea, flushed) has gone to the output already
  size_t lastStart = cur;
  size_t lastLength = 0;  // h[lastStart, lastStart + lastLength) is prevCode's string
  uint32_t prevCode = 0;
  uint32_t nextCode = kFirstFreeCode;
  int codeWidth = kInitialWidth;
  uint32_t widthLimit = kInitialLimit;
  uint32_t code = 0;

  auto flush = [&] {
    out.Write(h + flushed, cur - flushed, sink);
    flushed = cur;
  };
  auto report = [&] {
    if (progress != nullptr) progress->OnProgress();
  };

  try {
    // The member opens with a clear code; its value fixes the clear and end codes, and
    // only 256 leaves the roots where every writer puts them.
    bool more = reader.Read(kInitialWidth, &code);
    if (more && code != kClearCode) Corrupt();
    while (more) {
      // The code after a clear code is taken as a root and defines nothing. The clear and
      // end codes there stand for their empty slots; no other slot has been written yet.
      if (!reader.Read(codeWidth, &code)) break;
      lastStart = cur;
      if (code < kClearCode) {
        h[cur++] = static_cast<uint8_t>(code);
        lastLength = 1;
      } else if (code <= kEndCode) {
        lastLength = 0;
      } else {
        Corrupt();
      }
      prevCode = code;

      bool clear = false;
      for (;;) {
        if (cur - flushed >= kFlushChunk) flush();
        if (!reader.Read(codeWidth, &code)) break;
        if (code - kClearCode < 2u) {
          if (code == kClearCode) {
            clear = true;
          } else {
            in.moreData = false;  // the end code
          }
          break;
        }
        // Every other code defines slot nextCode: prevCode's string followed by one byte.
        // Past slot 4095, or with prevCode's slot not written in this stretch, there is
        // no such string.
        if ((nextCode >= static_cast<uint32_t>(kTableSize)) | (prevCode >= nextCode)) Corrupt();
        size_t length;
        if (code < nextCode) {
          const State::Slot slot = slots[code];
          length = slot.length;
          CopyString(h + cur, h + slot.start, length);
        } else {
          // Not in the table yet: prevCode's string followed by its own first byte.
          if (lastLength == 0) Corrupt();
          length = lastLength + 1;
          CopyString(h + cur, h + lastStart, lastLength);
          h[cur + lastLength] = h[lastStart];
        }
        slots[nextCode] = {static_cast<uint32_t>(lastStart), static_cast<uint32_t>(lastLength + 1)};
        ++nextCode;
        lastStart = cur;
        lastLength = length;
        cur += length;
        prevCode = code;
        if (nextCode == widthLimit) {
          report();
          ++codeWidth;
          widthLimit <<= 1;
        }
      }
      if (!clear) break;
      flush();
      report();
      cur = flushed = kRootArea;
      nextCode = kFirstFreeCode;
      codeWidth = kInitialWidth;
      widthLimit = kInitialLimit;
    }
    flush();
  } catch (const RuntimeError&) {
    // What was decoded before the failure goes out as the byte-wise decoder would have
    // written it.
    flush();
    reader.Sync();
    throw;
  }
  reader.Sync();
}

}  // namespace lumora
