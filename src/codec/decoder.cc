#include "codec/decoder.h"

#include <algorithm>
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
// to 15 bytes of scratch past dst + len. Most strings take the first copy alone.
inline void CopyString(uint8_t* dst, const uint8_t* src, size_t len) {
  Copy16(dst, src);
  for (size_t i = 16; i < len; i += 16) Copy16(dst + i, src + i);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(&word, p, 8);
#else
  for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
#endif
  return word;
}

// A block's data bytes are copied to the front of the stage, and the 8 bytes after them
// are zeros: a 64-bit load anywhere in the block stays inside the stage, and what it takes
// from past the block's end adds no bits.
constexpr size_t kStageBytes = 256 + 8;

// The decoding loop's state, as plain values so that the loop holds them in registers.
//
// The bit reader: the member's bytes are taken least significant bit first into `bits`,
// of which `count` are not used yet; the bits above them are the bytes from p on, or zeros.
// It hands out the same codes as a byte-wise reader and fetches a block exactly when the
// byte-wise reader would: only when the code in hand needs a byte of it.
//
// The output: every string of the chain table is a piece of the output decoded since the
// last clear code, so a slot is the offset and length of that piece in the history `h`,
// and emitting a code is one copy of one string. The roots live at the front of `h`, so a
// root is copied like any other string. prevCode's string is the piece just before cur:
// h[cur - lastLength, cur).
struct Run {
  const uint8_t* p;    // next byte of the current block, in the stage
  const uint8_t* end;  // end of the current block's data
  uint64_t bits;
  uint32_t count;
  bool ok;  // false: the member's bytes ran out, or a block could not be read
  // The chain table: the start of each slot's string in the history, then its length (0
  // for the clear and end codes), then the history itself; one pointer reaches all three.
  uint32_t* table;
  uint32_t cur;
  uint32_t lastLength;
  uint32_t nextCode;
  // Slots below it may be defined. It drops to 0 when prevCode is a code above nextCode,
  // whose string was never written, so that the next definition fails.
  uint32_t defineLimit;
  uint32_t codeWidth;
  uint32_t widthLimit;
};

inline uint8_t* History(uint32_t* table) {
  return reinterpret_cast<uint8_t*>(table + 2 * kTableSize);
}

// Takes as many whole bytes into the bit buffer as fit, up to the end of the block.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void
Refill(const uint8_t*& p, const uint8_t* end, uint64_t& bits, uint32_t& count) {
  const size_t room = (63 - count) >> 3;
  const size_t left = static_cast<size_t>(end - p);
  const size_t take = room < left ? room : left;
  bits |= Load64(p) << count;
  p += take;
  count += static_cast<uint32_t>(take) * 8;
}

// Loads the member's next block into the stage; false after its last block (nothing after
// the member's terminator is read: those bytes belong to the next entry) or when the read
// fails, whose error is kept in *error.
bool NextBlock(Run& r, uint8_t* stage, ByteSource& archive, BlockReader& in,
               std::exception_ptr* error) {
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
  std::memcpy(stage, in.inBuffer, static_cast<size_t>(in.inSize));
  std::memset(stage + in.inSize, 0, 8);
  r.p = stage;
  r.end = stage + in.inSize;
  return true;
}

// Takes the next code of `width` bits; false when there is none.
bool ReadCode(Run& r, uint32_t width, uint32_t& code, uint8_t* stage, ByteSource& archive,
              BlockReader& in, std::exception_ptr* error) {
  Refill(r.p, r.end, r.bits, r.count);
  while (r.count < width) {
    // The block is used up: a code of at most 12 bits left at most one byte of it.
    if (!NextBlock(r, stage, archive, in, error)) {
      r.ok = false;
      return false;
    }
    Refill(r.p, r.end, r.bits, r.count);
  }
  code = static_cast<uint32_t>(r.bits) & ((1u << width) - 1);
  r.bits >>= width;
  r.count -= width;
  return true;
}

// Decodes ordinary codes of kWidth bits, those that define a slot, for as long as nothing
// else is due: it stops before a clear or end code, a code that needs the next block, the
// code whose definition grows the width, and any code the general loop reports as
// corrupt. It does exactly what the general loop would do with those codes; kept apart,
// with no call inside, so that its state stays in registers, and made for each width so
// that shifts and masks are constants. Codes go in groups with one refill and one check
// of the input and of the table for the whole group: a refill away from a block's end
// leaves 56 bits or more, room for six 9-bit codes, five of 10 or 11 bits, four of 12.
template <uint32_t kWidth>
void DecodeOrdinaryCodes(Run& run) {
  constexpr uint32_t kGroup = 56 / kWidth;
  constexpr uint64_t kMask = (uint64_t{1} << kWidth) - 1;
  const uint8_t* p = run.p;
  const uint8_t* const end = run.end;
  uint64_t bits = run.bits;
  uint32_t count = run.count;
  uint32_t* const table = run.table;
  uint8_t* const h = History(table);
  size_t cur = run.cur;
  size_t lastLength = run.lastLength;
  size_t nextCode = run.nextCode;
  // The code that defines slot widthLimit - 1 grows the width: the general loop takes it.
  const size_t limit = run.defineLimit < run.widthLimit - 1 ? run.defineLimit : run.widthLimit - 1;

  // One code; false, with nothing taken, for a code the general loop must see. The first
  // 16 bytes of a string go before its length is checked: short strings, the most, take
  // one test for both the clear and end codes (length 0) and the longer copy. Bytes
  // written at cur are scratch until cur moves past them.
  auto step = [&]()
#if defined(__GNUC__)
                  __attribute__((always_inline))
#endif
  {
    const size_t code = static_cast<size_t>(bits & kMask);
    size_t length;
    if (code < nextCode) {
      length = table[kTableSize + code];
      const uint8_t* const src = h + table[code];
      Copy16(h + cur, src);
      if (length - 1 >= 16) {
        if (length == 0) return false;  // the clear or end code
        for (size_t i = 16; i < length; i += 16) Copy16(h + cur + i, src + i);
      }
    } else {
      if (code != nextCode || lastLength == 0) return false;
      length = lastLength + 1;
      CopyString(h + cur, h + cur - lastLength, lastLength);
      h[cur + lastLength] = h[cur - lastLength];
    }
    bits >>= kWidth;
    count -= kWidth;
    table[nextCode] = static_cast<uint32_t>(cur - lastLength);
    table[kTableSize + nextCode] = static_cast<uint32_t>(lastLength + 1);
    ++nextCode;
    cur += length;
    lastLength = length;
    return true;
  };

  for (;;) {
    if (end - p >= 8) {
      bits |= Load64(p) << count;
      p += (63 - count) >> 3;
      count |= 56;
    } else {
      Refill(p, end, bits, count);
    }
    if (count >= kGroup * kWidth && nextCode + kGroup <= limit) {
      static_assert(kGroup >= 4 && kGroup <= 6, "four to six codes a group");
      if (!(step() && step() && step() && step() && (kGroup < 5 || step()) &&
            (kGroup < 6 || step()))) {
        break;
      }
    } else if (count >= kWidth && nextCode < limit) {
      if (!step()) break;
    } else {
      break;
    }
  }
  run.p = p;
  run.bits = bits;
  run.count = count;
  run.cur = static_cast<uint32_t>(cur);
  run.lastLength = static_cast<uint32_t>(lastLength);
  run.nextCode = static_cast<uint32_t>(nextCode);
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
void DecodeOrdinaryCodes(Run& run) {
  switch (run.codeWidth) {
    case 9:
      DecodeOrdinaryCodes<9>(run);
      break;
    case 10:
      DecodeOrdinaryCodes<10>(run);
      break;
    case 11:
      DecodeOrdinaryCodes<11>(run);
      break;
    case 12:
      DecodeOrdinaryCodes<12>(run);
      break;
    default:  // 13 bits: only the general loop's failure is left
      break;
  }
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
  uint32_t* const table = r.table;
  uint8_t* const h = History(table);
  const uint32_t cur = r.cur;
  const uint32_t lastLength = r.lastLength;
  uint32_t length;
  if (code < r.nextCode) {
    length = table[kTableSize + code];
    CopyString(h + cur, h + table[code], length);
  } else {
    if (lastLength == 0) return false;
    // A code above nextCode is decoded like nextCode, but its string was never written:
    // the next definition fails.
    if (code != r.nextCode) r.defineLimit = 0;
    length = lastLength + 1;
    CopyString(h + cur, h + cur - lastLength, lastLength);
    h[cur + lastLength] = h[cur - lastLength];
  }
  table[r.nextCode] = cur - lastLength;
  table[kTableSize + r.nextCode] = lastLength + 1;
  ++r.nextCode;
  r.cur = cur + length;
  r.lastLength = length;
  return true;
}

}  // namespace

// The chain table and the history that holds its strings (see Run::table), and the stage;
// reused across members.
struct Decoder::State {
  uint8_t stage[kStageBytes] = {};
  std::unique_ptr<uint32_t[]> table;
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
  if (!s.table) {
    // Only the table is cleared: the history's pages are touched as output reaches them,
    // so a small update keeps a small memory.
    s.table.reset(new uint32_t[2 * kTableSize + kHistoryBytes / 4 + 1]);
    uint32_t* const table = s.table.get();
    std::fill(table, table + 2 * kTableSize, 0u);
    for (uint32_t i = 0; i < kRootArea; ++i) History(table)[i] = static_cast<uint8_t>(i);
    for (uint32_t i = 0; i < kClearCode; ++i) {
      table[i] = i;
      table[kTableSize + i] = 1;
    }
  }
  uint8_t* const h = History(s.table.get());
  uint8_t* const stage = s.stage;
  // What is left of the current block goes to the stage.
  std::memcpy(stage, in.inBuffer, static_cast<size_t>(in.inSize));
  std::memset(stage + in.inSize, 0, 8);

  // The output not yet handed to `out` is h[flushed, cur); the current stretch's output
  // ends it.
  Run r{};
  r.p = stage + in.inPos;
  r.end = stage + in.inSize;
  r.ok = true;
  r.table = s.table.get();
  r.cur = kRootArea;
  uint32_t flushed = kRootArea;
  std::exception_ptr error;
  bool corrupt = false;
  uint32_t code = 0;

  // The member opens with a clear code; its value fixes the clear and end codes, and only
  // 256 leaves the roots where every writer puts them.
  if (!ReadCode(r, kInitialWidth, code, stage, archive, in, &error)) goto done;
  if (code != kClearCode) {
    corrupt = true;
    goto done;
  }
  for (;;) {
    initChainTable(r);
    // The code after a clear code is taken as a root and defines nothing. The clear and
    // end codes there stand for their empty slots; no other slot has been written yet.
    if (!ReadCode(r, r.codeWidth, code, stage, archive, in, &error)) goto done;
    r.lastLength = 0;
    if (code < kClearCode) {
      h[r.cur++] = static_cast<uint8_t>(code);
      r.lastLength = 1;
    } else if (code > kEndCode) {
      corrupt = true;
      goto done;
    }

    for (;;) {
      DecodeOrdinaryCodes(r);
      if (!ReadCode(r, r.codeWidth, code, stage, archive, in, &error)) goto done;
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
  if (r.ok) {
    in.inPos = static_cast<int32_t>(r.p - stage) - static_cast<int32_t>(r.count / 8);
    if (in.lastBlock && in.inPos == in.inSize) in.moreData = false;
  }
  if (error) std::rethrow_exception(error);
  if (corrupt) throw RuntimeError(kCorruptDataError);
}

}  // namespace lumora
