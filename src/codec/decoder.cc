#include "codec/decoder.h"

#include <cstring>
#include <exception>

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
// Short stretches follow one another in `history` until this much output has gathered, so
// that the output goes out in large writes rather than one or two per stretch.
constexpr size_t kGatherBytes = size_t{512} << 10;
// Output is handed on at a width growth or a clear code once this much is waiting.
constexpr size_t kWriteBytes = size_t{256} << 10;
constexpr size_t kHistoryBytes = kRootArea + kGatherBytes + kMaxStretchBytes + kCopySlack;

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

// The bit reader's state: the member's bytes are taken least significant bit first into
// `bits`, of which `count` are not used yet. It hands out the same codes as a byte-wise
// reader and fetches a block exactly when the byte-wise reader would: only when the code
// in hand needs a byte of it. Kept as plain values so that the decoding loop holds them in
// registers.
struct Bits {
  const uint8_t* p;    // next byte of the current block
  const uint8_t* end;  // end of the current block's data
  uint64_t bits;
  int count;
  bool ok;  // false: the member's bytes ran out, or a block could not be read
};

inline uint64_t Load64(const uint8_t* p) {
  uint64_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(&word, p, 8);
#else
  for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
#endif
  return word;
}

// Loads the member's next block; false after its last block (nothing after the member's
// terminator is read: those bytes belong to the next entry) or when the read fails, whose
// error is kept in *error.
bool NextBlock(ByteSource& archive, BlockReader& in, std::exception_ptr* error) {
  in.inPos = in.inSize;
  if (in.lastBlock) {
    in.moreData = false;
    return false;
  }
  try {
    in.LoadBlock(archive);
  } catch (...) {
    *error = std::current_exception();
    return false;
  }
  return true;
}

// Takes the next code of `width` bits; false when there is none.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool
ReadCode(Bits& b, int width, uint32_t& code, ByteSource& archive, BlockReader& in,
         std::exception_ptr* error) {
  if (b.count >= width) {
    // Enough bits in hand: the refill's load stays off the chain from code to code.
  } else if (b.end - b.p >= 8) {
    // Top the bit buffer up to 56..63 bits: the next four to six codes need no refill.
    b.bits |= Load64(b.p) << b.count;
    b.p += (63 - b.count) >> 3;
    b.count |= 56;
  } else {
    // Near the end of a block: byte by byte, loading the next block only when the code
    // needs a byte of it.
    while (b.count < width) {
      if (b.p < b.end) {
        b.bits |= static_cast<uint64_t>(*b.p++) << b.count;
        b.count += 8;
      } else if (NextBlock(archive, in, error)) {
        b.p = in.inBuffer;
        b.end = in.inBuffer + in.inSize;
      } else {
        b.ok = false;
        return false;
      }
    }
  }
  code = static_cast<uint32_t>(b.bits) & ((1u << width) - 1);
  b.bits >>= width;
  b.count -= width;
  return true;
}

// A slot of the chain table: where its string lies in the history, and how long it is.
struct Slot {
  uint32_t start;
  uint32_t length;
};

}  // namespace

// The chain table. Every string in it is a piece of the output decoded since the last
// clear code, so a slot is the offset and length of that piece in `history`, and emitting
// a code is one copy of one string. The roots live at the front of `history`, so a root
// is copied like any other string.
struct Decoder::State {
  Slot chainTable[kTableSize] = {};
  std::unique_ptr<uint8_t[]> history;
};

namespace {

// The decoding loop's state, in one place so that the fast loop can take it whole.
struct Run {
  Bits b;
  uint8_t* h;
  Slot* chainTable;
  size_t cur;
  size_t lastStart;
  uint32_t nextCode;
  uint32_t defineLimit;
  int codeWidth;
  uint32_t widthLimit;
};

// Decodes ordinary codes, those that define a slot, for as long as nothing else is due: it
// stops before a clear or end code, a code that needs the next block or the byte-wise
// reader's tail of a block, the code whose definition grows the width, and any code the
// general loop reports as corrupt. It does exactly what the general loop would do with
// those codes; kept apart, with no call inside, so that its state stays in registers.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void DecodeOrdinaryCodes(Run& run) {
  const uint8_t* p = run.b.p;
  const uint8_t* const end = run.b.end;
  uint64_t bits = run.b.bits;
  int count = run.b.count;
  uint8_t* const h = run.h;
  Slot* const chainTable = run.chainTable;
  size_t cur = run.cur;
  size_t lastStart = run.lastStart;
  uint32_t nextCode = run.nextCode;
  const int width = run.codeWidth;
  const uint32_t mask = (1u << width) - 1;
  // The code that defines slot widthLimit - 1 grows the width: the general loop takes it.
  const uint32_t limit =
      run.defineLimit < run.widthLimit - 1 ? run.defineLimit : run.widthLimit - 1;
  while (nextCode < limit) {
    if (count < width) {
      if (end - p < 8) break;
      bits |= Load64(p) << count;
      p += (63 - count) >> 3;
      count |= 56;
    }
    const uint32_t code = static_cast<uint32_t>(bits) & mask;
    size_t length;
    if (code < nextCode) {
      if (code - kClearCode < 2u) break;
      const Slot slot = chainTable[code];
      length = slot.length;
      CopyString(h + cur, h + slot.start, length);
    } else {
      const size_t lastLength = cur - lastStart;
      if (code != nextCode || lastLength == 0) break;
      length = lastLength + 1;
      CopyString(h + cur, h + lastStart, lastLength);
      h[cur + lastLength] = h[lastStart];
    }
    bits >>= width;
    count -= width;
    chainTable[nextCode] = {static_cast<uint32_t>(lastStart),
                            static_cast<uint32_t>(cur - lastStart + 1)};
    ++nextCode;
    lastStart = cur;
    cur += length;
  }
  run.b.p = p;
  run.b.bits = bits;
  run.b.count = count;
  run.cur = cur;
  run.lastStart = lastStart;
  run.nextCode = nextCode;
}

// Starts the chain table afresh, at a member's start and at every clear code: only the
// roots stand for strings, the next code defines slot 258, and codes are 9 bits wide.
void initChainTable(Run& r) {
  r.nextCode = kFirstFreeCode;
  r.defineLimit = kTableSize;
  r.codeWidth = kInitialWidth;
  r.widthLimit = kInitialLimit;
}

// Writes the string of code, which defines slot nextCode: prevCode's string followed by the
// first byte of code's own. A code not in the table yet stands for prevCode's string
// followed by its own first byte. False when the code cannot be decoded: the table is
// full, or prevCode stood for an empty slot.
bool writeChain(Run& r, uint32_t code) {
  if (r.nextCode >= r.defineLimit) return false;
  uint8_t* const h = r.h;
  size_t length;
  if (code < r.nextCode) {
    const Slot slot = r.chainTable[code];
    length = slot.length;
    CopyString(h + r.cur, h + slot.start, length);
  } else {
    const size_t lastLength = r.cur - r.lastStart;
    if (lastLength == 0) return false;
    // A code above nextCode is decoded like nextCode, but its string was never written:
    // the next definition fails.
    if (code != r.nextCode) r.defineLimit = 0;
    length = lastLength + 1;
    CopyString(h + r.cur, h + r.lastStart, lastLength);
    h[r.cur + lastLength] = h[r.lastStart];
  }
  r.chainTable[r.nextCode] = {static_cast<uint32_t>(r.lastStart),
                              static_cast<uint32_t>(r.cur - r.lastStart + 1)};
  ++r.nextCode;
  r.lastStart = r.cur;
  r.cur += length;
  return true;
}

}  // namespace

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
    for (uint32_t i = 0; i < kClearCode; ++i) s.chainTable[i] = {i, 1};
  }
  uint8_t* const h = s.history.get();

  // The output not yet handed to `out` is h[flushed, cur); the current stretch's output
  // ends it. prevCode's string is always the piece just before cur: h[lastStart, cur).
  // defineLimit: slots below it may be defined. It drops to 0 when prevCode is a code
  // above nextCode, whose string was never written, so that the next definition fails.
  Run r{{in.inBuffer + in.inPos, in.inBuffer + in.inSize, 0, 0, true},
        h,
        s.chainTable,
        kRootArea,
        kRootArea,
        kFirstFreeCode,
        kTableSize,
        kInitialWidth,
        kInitialLimit};
  size_t flushed = kRootArea;
  std::exception_ptr error;
  bool corrupt = false;
  uint32_t code = 0;

  // The member opens with a clear code; its value fixes the clear and end codes, and only
  // 256 leaves the roots where every writer puts them.
  if (!ReadCode(r.b, kInitialWidth, code, archive, in, &error)) goto done;
  if (code != kClearCode) {
    corrupt = true;
    goto done;
  }
  for (;;) {
    initChainTable(r);
    // The code after a clear code is taken as a root and defines nothing. The clear and
    // end codes there stand for their empty slots; no other slot has been written yet.
    if (!ReadCode(r.b, r.codeWidth, code, archive, in, &error)) goto done;
    r.lastStart = r.cur;
    if (code < kClearCode) {
      h[r.cur++] = static_cast<uint8_t>(code);
    } else if (code > kEndCode) {
      corrupt = true;
      goto done;
    }

    for (;;) {
      DecodeOrdinaryCodes(r);
      if (!ReadCode(r.b, r.codeWidth, code, archive, in, &error)) goto done;
      if (code - kClearCode < 2u) break;
      if (!writeChain(r, code)) {
        corrupt = true;
        goto done;
      }
      if (r.nextCode == r.widthLimit) {
        if (r.cur - flushed >= kWriteBytes) {
          out.Write(h + flushed, r.cur - flushed, sink);
          flushed = r.cur;
        }
        if (progress != nullptr) progress->OnProgress();
        ++r.codeWidth;
        r.widthLimit <<= 1;
      }
    }
    if (code == kEndCode) {
      in.moreData = false;
      break;
    }
    // A clear code: the table starts afresh. The next stretch follows this one in
    // `history` while there is room for a whole stretch more.
    const bool full = r.cur - kRootArea > kGatherBytes;
    if (full || r.cur - flushed >= kWriteBytes) {
      out.Write(h + flushed, r.cur - flushed, sink);
      flushed = r.cur;
    }
    if (progress != nullptr) progress->OnProgress();
    if (full) r.cur = flushed = kRootArea;
  }

done:
  // What was decoded goes out, also before a failure, as the byte-wise decoder would have
  // written it.
  out.Write(h + flushed, r.cur - flushed, sink);
  // The block reader is left as the byte-wise reader leaves it: every byte that a code
  // touched has been handed out.
  if (r.b.ok) {
    in.inPos = static_cast<int32_t>(r.b.p - in.inBuffer) - r.b.count / 8;
    if (in.lastBlock && in.inPos == in.inSize) in.moreData = false;
  }
  if (error) std::rethrow_exception(error);
  if (corrupt) throw RuntimeError(kCorruptDataError);
}

}  // namespace lumora
