#include "codec/encoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "codec/lzw_constants.h"

namespace lumora {

namespace {

using lzw::kClearCode;
using lzw::kEndCode;
using lzw::kFirstFreeCode;
using lzw::kInitialLimit;
using lzw::kInitialWidth;
using lzw::kTableSize;

constexpr size_t kBlock = 255;                      // bytes of payload in every block but the last
constexpr size_t kHeldBack = 2 * kBlock;            // bytes kept until the end may re-cut them
constexpr size_t kDrainAt = 16 * 1024;              // pending bytes that trigger framing
constexpr uint32_t kLastFreeCode = kTableSize - 1;  // 4095: a clear code must follow
constexpr uint32_t kWindowCodes = 512;              // codes per ratio window (adaptive policy)
// Bytes of the longest string the dictionary can hold: every entry is an older one plus a
// byte, so code c stands for at most c - 256 bytes.
constexpr size_t kMaxString = kTableSize;
// Input the look ahead must see past the current position before it may choose a code:
// the longest match and the one after it, so that the choice never depends on how the
// input was cut into pieces.
constexpr size_t kLookahead = 2 * kMaxString + 1;
constexpr size_t kAheadPiece = 64 * 1024;  // input taken into the look ahead at a time
// How much further than the longest match's successor a shorter prefix's must reach, after
// a longest match of kMarginFrom bytes or more (text, say); after shorter ones (noisy
// image rows) any gain wins. Measured on the bench's payloads.
constexpr size_t kMarginFrom = 4;
// Shorter prefixes are tried after a longest match of this many bytes or more: after two
// bytes (noisy image rows) the look ahead halves the speed for a tenth of a percent.
constexpr uint32_t kAheadFrom = 3;
// The shorter prefixes tried: one or two bytes short of the longest match. Going further
// back seldom wins and costs a match each.
constexpr size_t kBackOff = 2;
constexpr size_t kReachMargin = 3;
constexpr size_t kHashSlots = 32768;  // an eighth full at most: few probes go past one slot
constexpr uint32_t kSlotMask = kHashSlots - 1;
constexpr uint32_t kUnusedSlot = kHashSlots;  // one past the table, never filled
constexpr uint32_t kRoots = kHashSlots + 1;   // where the root pairs begin in codes_
constexpr uint32_t kNoKey = ~0u;              // see keys_
// Bytes per code of a dictionary after which greedy parsing looks for flat runs.
constexpr uint64_t kRunCodeBytes = 12;
// Room past pendingSize_: the bytes of a code and a clear code, and a whole-word store.
constexpr size_t kPendingSlack = 64;

// The byte's part of a probe's first slot, 15 bits. The byte is known ahead of the prefix
// that the previous probe yields, so this is off the path from one probe to the next.
inline uint32_t Mix(uint32_t byte) { return (byte * 2654435761u) >> 17; }

// The slot where the probe for (prefix, byte) starts, for a prefix of two bytes or more,
// from the prefix's code times 4, as a slot holds it (see codes_): one exclusive or from
// the last probe's slot to the next. The factor keeps the entries of one byte after
// consecutive codes (the runs of one byte, say) 4 slots apart, where side by side they
// would lengthen every probe that meets them.
inline uint32_t Hash(uint32_t prefix4, uint32_t byte) { return Mix(byte) ^ prefix4; }

// The slot of (root, byte): every pair of bytes has its own.
inline uint32_t RootSlot(uint32_t root, uint32_t byte) { return kRoots + (root << 8 | byte); }

// Whether p[0, n) all equal p[0].
inline bool Repeats(const uint8_t* p, size_t n) {
  const uint64_t pattern = p[0] * 0x0101010101010101ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if (word != pattern) return false;
  }
  for (; i < n; ++i) {
    if (p[i] != p[0]) return false;
  }
  return true;
}

// Stores the 8 bytes of v at p, lowest first.
inline void StoreLittle64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(p, &v, sizeof v);
#else
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
#endif
}

}  // namespace

// The state the coding loops keep in registers: copied from the members by Load and back
// by Store around anything that is not inlined.
struct Encoder::Coder {
  uint8_t* out;  // the next byte of pending_
  uint64_t acc;  // bits not yet counted as whole bytes (fewer than 8), lowest first
  uint32_t bits;
  uint32_t decNext;  // the decoder's next free code, as it stands after the last code
  uint32_t width;
  uint32_t limit;
  uint32_t event;  // decNext at which AtEvent must look

  // A code of the current width. The whole accumulator is stored every time; only its
  // whole bytes count, so no branch decides when to write.
  void Put(uint32_t code) {
    acc |= static_cast<uint64_t>(code) << bits;
    bits += width;
    StoreLittle64(out, acc);
    out += bits >> 3;
    acc >>= bits & ~7u;
    bits &= 7;
  }
  // After a data code the decoder defines an entry: widen when its next free code reaches
  // the limit. (The code after a clear code defines none; decNext starts one short.)
  void Widen() {
    if (decNext == limit) {
      ++width;
      limit <<= 1;
    }
  }
};

Encoder::Encoder(ClearPolicy policy, Output output)
    : policy_(policy),
      output_(std::move(output)),
      codes_(kRoots + 256 * 256, 0),
      keys_(kTableSize, kNoKey),
      prefixes_(kTableSize, 0),
      pending_(kDrainAt + kPendingSlack) {
  Coder c{pending_.data(), 0, 0, 0, kInitialWidth, kInitialLimit, 0};
  NewDictionary(c, 0);
  // The member opens with a clear code, which the first stretch counts.
  c.Put(kClearCode);
  Save(c);
}

Encoder::~Encoder() = default;

inline Encoder::Coder Encoder::Load() {
  return Coder{
      pending_.data() + pendingSize_, acc_, accBits_, decNext_, width_, limit_, event_,
  };
}

inline void Encoder::Save(const Coder& c) {
  pendingSize_ = static_cast<size_t>(c.out - pending_.data());
  acc_ = c.acc;
  accBits_ = c.bits;
  decNext_ = c.decNext;
  width_ = c.width;
  limit_ = c.limit;
  event_ = c.event;
}

// Empties the dictionary after a clear code (and at the start); `codedBytes` is the input
// coded so far.
void Encoder::NewDictionary(Coder& c, uint64_t codedBytes) {
  uint16_t* const codes = codes_.data();
  for (uint32_t code = kFirstFreeCode; code < c.decNext; ++code) codes[slotOf_[code]] = 0;
  std::fill(std::begin(rootLongest_), std::end(rootLongest_), 1);
  c.decNext = kFirstFreeCode - 1;
  c.width = kInitialWidth;
  c.limit = kInitialLimit;
  stretchStartBits_ = windowStartBits_ =
      (drainedBytes_ + static_cast<uint64_t>(c.out - pending_.data())) * 8 + c.bits;
  stretchStartBytes_ = windowStartBytes_ = codedBytes;
  bestWindowRatio_ = 0;
  c.event = c.limit;
  if (policy_ == ClearPolicy::kAdaptive) c.event = c.limit - 1;
}

// A new dictionary in flat runs: every byte's longest run is the byte alone.
void Encoder::ResetRuns() {
  for (uint32_t b = 0; b < 256; ++b) runs_[b] = static_cast<uint16_t>(b);
  std::fill(std::begin(runLengths_), std::end(runLengths_), 1);
}

// Runs when decNext reaches the event: returns true when a clear code must come now (the
// dictionary is full, or the adaptive policy restarts it), else sets the next event.
// `codedBytes` is the input the codes so far stand for.
bool Encoder::AtEvent(Coder& c, uint64_t codedBytes) {
  if (c.decNext == kLastFreeCode) return true;
  uint32_t event = c.limit < static_cast<uint32_t>(kTableSize) ? c.limit : kLastFreeCode;
  if (policy_ == ClearPolicy::kAdaptive) {
    const uint64_t bits = (drainedBytes_ + static_cast<uint64_t>(c.out - pending_.data())) * 8 +
                          c.bits - stretchStartBits_;
    const uint64_t bytes = codedBytes - stretchStartBytes_;
    const bool full = c.limit >= static_cast<uint32_t>(kTableSize);
    // Before the code that would widen every later code: restart when the stretch does not
    // even save a bit per byte.
    if (!full && c.decNext + 1 == c.limit && bits * 2 >= bytes * 17) return true;
    // Data of another kind has come: the last window costs clearly more than the best one.
    const uint32_t codes = c.decNext - (kFirstFreeCode - 1);  // codes since the clear code
    if (codes % kWindowCodes == 0) {
      const double ratio = static_cast<double>(bits - (windowStartBits_ - stretchStartBits_)) /
                           static_cast<double>(bytes - (windowStartBytes_ - stretchStartBytes_));
      windowStartBits_ = stretchStartBits_ + bits;
      windowStartBytes_ = codedBytes;
      if (bestWindowRatio_ > 0 && ratio > bestWindowRatio_ * 1.5) return true;
      if (bestWindowRatio_ == 0 || ratio < bestWindowRatio_) bestWindowRatio_ = ratio;
    }
    if (!full && c.limit - 1 > c.decNext) event = c.limit - 1;
    const uint32_t window = c.decNext + kWindowCodes - codes % kWindowCodes;
    if (window < event) event = window;
  }
  c.event = event;
  return false;
}

void Encoder::Feed(const uint8_t* data, size_t n) {
  input_bytes_ += n;
  if (policy_ == ClearPolicy::kAdaptive) {
    while (n > 0) {
      const size_t piece = n < kAheadPiece ? n : kAheadPiece;
      if (aheadPos_ >= kAheadPiece) {  // forget what is coded, keep the look ahead
        const auto coded = static_cast<std::ptrdiff_t>(aheadPos_);
        ahead_.erase(ahead_.begin(), ahead_.begin() + coded);
        aheadBase_ += aheadPos_;
        aheadPos_ = 0;
      }
      ahead_.insert(ahead_.end(), data, data + piece);
      while (runMode_ ? EncodeAhead<false, true>() : EncodeAhead<false, false>()) {
      }
      data += piece;
      n -= piece;
    }
    return;
  }
  Encode(data, n);
}

// Greedy parsing: every code is the longest dictionary string at the current position.
void Encoder::Encode(const uint8_t* data, size_t n) {
  if (n == 0) return;
  size_t i = 0;
  if (!hasPrefix_) {
    prefix_ = data[i++];
    hasPrefix_ = true;
  }
  while (i < n) i = runMode_ ? EncodeGreedy<true>(data, n, i) : EncodeGreedy<false>(data, n, i);
}

// Greedy parsing of data[i, n) with the string matched so far in prefix_; returns where it
// stopped: at n, or after a clear code that changed the mode.
//
// kRuns: the previous dictionary's codes stood for kRunCodeBytes bytes or more each, as in
// flat runs, where a code's walk goes through every shorter run of its byte. The longest
// run of each byte in the dictionary is kept, and a code that starts where that run lies
// ahead in full goes straight to it. Each code pays for the bookkeeping, which long codes
// hide and short ones do not, hence the two modes.
template <bool kRuns>
size_t Encoder::EncodeGreedy(const uint8_t* data, size_t n, size_t i) {
  uint16_t* const codes = codes_.data();
  const uint32_t* const keys = keys_.data();
  uint8_t* const drainAt = pending_.data() + kDrainAt;
  const uint64_t base = input_bytes_ - n;  // the input offset of data[0]
  Coder c = Load();
  uint32_t prefix4 = prefix_ << 2;  // the string matched so far: its code times 4
  for (; i < n; ++i) {
    const uint32_t byte = data[i];
    const uint32_t key = prefix4 << 6 | byte;
    uint32_t h;
    uint32_t entry;
    bool found = false;
    if (prefix4 < 256 << 2) {
      h = RootSlot(prefix4 >> 2, byte);
      entry = codes[h];
      found = entry != 0;
    } else {
      h = Hash(prefix4, byte);
      entry = codes[h];
      while (entry != 0) {
        // Predicted to match: the next probe starts from the entry before the key is read.
        if (keys[entry >> 2] == key) {
          found = true;
          break;
        }
        h = (h + 1) & kSlotMask;
        entry = codes[h];
      }
    }
    if (found) {
      prefix4 = entry;
      continue;
    }
    const uint32_t prefix = prefix4 >> 2;
    // Not in the dictionary: send the string so far; the decoder's new entry is it plus
    // this byte, put where the probe ended.
    c.Put(prefix);
    ++c.decNext;
    prefix4 = byte << 2;
    if (c.decNext >= c.event) {
      c.Widen();
      Coder t = c;  // a copy, so that c stays in registers
      const bool clear = AtEvent(t, 0);
      if (clear) {
        t.Put(kClearCode);
        NewDictionary(t, 0);
      }
      c = t;
      if (clear) {
        const uint64_t coded = base + i;
        const bool runs =
            coded - dictionaryStart_ >= kRunCodeBytes * (kLastFreeCode - kFirstFreeCode);
        dictionaryStart_ = coded;
        if (runs) ResetRuns();
        if (runs != kRuns) {
          runMode_ = runs;
          ++i;
          break;
        }
        continue;
      }
    }
    codes[h] = static_cast<uint16_t>(c.decNext << 2);
    keys_[c.decNext] = key;
    slotOf_[c.decNext] = h;
    if (kRuns) {
      if (runs_[byte] == prefix) {
        // The code sent was the longest run of this byte, which just grew by one; the next
        // code starts with the byte.
        runs_[byte] = static_cast<uint16_t>(c.decNext);
        const size_t run = ++runLengths_[byte];
        if (run <= n - i && Repeats(data + i, run)) {
          prefix4 = c.decNext << 2;
          i += run - 1;
        }
      }
    }
    if (c.out >= drainAt) {
      pendingSize_ = static_cast<size_t>(c.out - pending_.data());
      Drain(kHeldBack);
      c.out = pending_.data() + pendingSize_;
    }
  }
  prefix_ = prefix4 >> 2;
  Save(c);
  return i;
}

// Codes the look ahead up to kLookahead bytes before its end, or to its end when `last`.
// At each position the longest match is the default. When it has kAheadFrom bytes or
// more, a shorter prefix of it wins when the match after that prefix ends further than the
// match after the longest one (the longer prefix on a tie); only the kBackOff prefixes
// next to the longest are tried. The decoder doubles the entry after a shorter prefix (the
// prefix plus its next byte is the longer match's next code), and a doubled entry costs
// most where strings are long and worth keeping: after a match of kMarginFrom bytes or
// more, the shorter prefix must reach kReachMargin bytes further. A prefix is not tried
// when no dictionary string with its first byte could carry it past that end.
//
// The match after the chosen code is the next position's longest match, but for the entry
// the decoder defines in between: that one lengthens it only when it extends its last
// code, and then the match goes on from there.
//
// Before the last piece, kLookahead bytes past the position are enough for every match
// the choice reads (the longest, and the longest after it: neither is longer than
// kMaxString), so only the last call checks for the end.
//
// kRuns: as in EncodeGreedy, a match that starts with a byte whose longest run in the
// dictionary lies ahead in full goes straight to it. Returns true when it stopped after a
// clear code that changed the mode, false when it coded what it could.
template <bool kLast, bool kRuns>
bool Encoder::EncodeAhead() {
  const uint8_t* const d = ahead_.data();
  const size_t end = ahead_.size();
  const size_t stop = kLast ? end : (end > kLookahead ? end - kLookahead : 0);
  uint16_t* const codes = codes_.data();
  const uint32_t* const keys = keys_.data();
  uint16_t* const prefixes = prefixes_.data();
  uint8_t* const drainAt = pending_.data() + kDrainAt;
  Coder c = Load();

  // The longest dictionary string at d[at] that extends `code`, a string of `length` bytes
  // matched there already (at least the root).
  const uint16_t* const runs = runs_;
  const uint16_t* const runLengths = runLengths_;
  auto extend = [codes, keys, d, end, runs, runLengths](size_t at, uint32_t code, uint32_t length) {
    const uint8_t* const p = d + at;
    if (kRuns && length == 1) {
      const uint32_t run = runLengths[code];
      if (run > 1 && (!kLast || run <= end - at) && Repeats(p, run)) {
        code = runs[code];
        length = run;
      }
    }
    if (length == 1) {  // the root's pair
      if (kLast && length >= end - at) return Matched{code, length, 0};
      const uint32_t h = RootSlot(code, p[1]);
      const uint32_t found = codes[h];
      if (found == 0) return Matched{code, length, h};
      code = found >> 2;
      length = 2;
    }
    uint32_t code4 = code << 2;
    for (;;) {
      if (kLast && length >= end - at) return Matched{code4 >> 2, length, 0};
      const uint32_t byte = p[length];
      const uint32_t key = code4 << 6 | byte;
      uint32_t h = Hash(code4, byte);
      uint32_t found = codes[h];
      for (;;) {
        if (found == 0) return Matched{code4 >> 2, length, h};
        if (keys[found >> 2] == key) break;
        h = (h + 1) & kSlotMask;
        found = codes[h];
      }
      code4 = found;
      ++length;
    }
  };

  size_t pos = aheadPos_;
  Matched next = next_;
  while (pos < stop) {
    const Matched longest = next.length > 0 ? next : extend(pos, d[pos], 1);
    next.length = 0;
    size_t best = longest.length;
    uint32_t code = longest.code;
    if (longest.length >= kAheadFrom && (!kLast || pos + longest.length < end)) {
      const size_t after = pos + longest.length;
      next = extend(after, d[after], 1);
      size_t reach = after + next.length;
      if (longest.length >= kMarginFrom) reach += kReachMargin;
      const size_t shortest = longest.length > kBackOff ? longest.length - kBackOff : 1;
      for (size_t k = longest.length - 1; k >= shortest; --k) {
        if (pos + k + rootLongest_[d[pos + k]] <= reach) continue;
        const Matched m = extend(pos + k, d[pos + k], 1);
        if (pos + k + m.length > reach) {
          reach = pos + k + m.length;
          best = k;
          next = m;
        }
      }
      for (size_t i = longest.length; i > best; --i) code = prefixes[code];
    }
    c.Put(code);
    ++c.decNext;
    pos += best;
    if (c.decNext >= c.event) {
      c.Widen();
      if (kLast && pos == end) break;
      Coder t = c;  // a copy, so that c stays in registers
      const bool clear = AtEvent(t, aheadBase_ + pos);
      bool runMode = kRuns;
      if (clear) {
        const uint64_t coded = aheadBase_ + pos;
        runMode = coded - dictionaryStart_ >= kRunCodeBytes * (t.decNext - (kFirstFreeCode - 1));
        dictionaryStart_ = coded;
        if (runMode) ResetRuns();
        t.Put(kClearCode);
        NewDictionary(t, coded);
      }
      c = t;
      if (clear) {
        next = Matched{};
        if (runMode != kRuns) {
          runMode_ = runMode;
          aheadPos_ = pos;
          next_ = next;
          Save(c);
          return true;
        }
        continue;
      }
    }
    if (kLast && pos == end) break;
    if (best == longest.length) {
      // The longest match ended where the dictionary had no entry: the decoder's new one.
      codes[longest.free] = static_cast<uint16_t>(c.decNext << 2);
      keys_[c.decNext] = code << 8 | d[pos];
      slotOf_[c.decNext] = longest.free;
      prefixes[c.decNext] = static_cast<uint16_t>(code);
      const uint16_t length = static_cast<uint16_t>(best + 1);
      const uint8_t root = d[pos - best];
      // Stored every time: whether the entry is the root's longest is as good as random.
      rootLongest_[root] = std::max(rootLongest_[root], length);
      if (kRuns && runs_[d[pos]] == code) {  // the longest run of the byte, one longer
        runs_[d[pos]] = static_cast<uint16_t>(c.decNext);
        ++runLengths_[d[pos]];
      }
      if (next.length > 0) {
        if (next.code == code) {
          next = extend(pos, next.code, next.length);
        } else if (codes[next.free] != 0) {  // the new entry took the slot its probe ended at
          uint32_t free = next.free;
          while (codes[free] != 0) free = (free + 1) & kSlotMask;
          next.free = free;
        }
      }
    } else {
      // After a shorter prefix the decoder's entry doubles one the dictionary has already;
      // its slot stays free.
      slotOf_[c.decNext] = kUnusedSlot;
    }
    if (c.out >= drainAt) {
      pendingSize_ = static_cast<size_t>(c.out - pending_.data());
      Drain(kHeldBack);
      c.out = pending_.data() + pendingSize_;
    }
  }
  aheadPos_ = pos;
  next_ = next;
  Save(c);
  return false;
}

void Encoder::Finish() {
  if (finished_) return;
  finished_ = true;
  if (policy_ == ClearPolicy::kAdaptive) {
    while (runMode_ ? EncodeAhead<true, true>() : EncodeAhead<true, false>()) {
    }
    ahead_.clear();
    aheadPos_ = 0;
  }
  Coder c = Load();
  if (hasPrefix_) {
    c.Put(prefix_);
    ++c.decNext;
    c.Widen();
  }
  c.Put(kEndCode);
  pendingSize_ = static_cast<size_t>(c.out - pending_.data());
  bool extra = false;
  if (c.bits > 0) {
    pending_[pendingSize_++] = static_cast<uint8_t>(c.acc);
  } else {
    // The end code ended on a byte boundary: one more byte, never decoded.
    pending_[pendingSize_++] = 0x00;
    extra = true;
  }
  acc_ = 0;
  accBits_ = 0;
  Drain(kHeldBack);
  // The rest, at most 510 bytes: blocks of 255 and a last one of 1..255, except that the
  // extra byte may not stand alone, or the end code would not lie in the last block.
  const size_t rest = pendingSize_;
  size_t first = rest > kBlock ? kBlock : 0;
  if (extra && rest == kBlock + 1) first = kBlock - 1;
  framed_.clear();
  if (first > 0) EmitBlock(pending_.data(), first);
  EmitBlock(pending_.data() + first, rest - first);
  framed_.push_back(0x00);
  pendingSize_ = 0;
  output_bytes_ += framed_.size();
  output_(framed_.data(), framed_.size());
  framed_.clear();
}

void Encoder::EmitBlock(const uint8_t* data, size_t n) {
  framed_.push_back(static_cast<uint8_t>(n));
  framed_.insert(framed_.end(), data, data + n);
}

// Frames whole blocks while more than `keep` bytes wait.
void Encoder::Drain(size_t keep) {
  size_t pos = 0;
  framed_.clear();
  while (pendingSize_ - pos > keep) {
    EmitBlock(pending_.data() + pos, kBlock);
    pos += kBlock;
  }
  if (pos == 0) return;
  std::memmove(pending_.data(), pending_.data() + pos, pendingSize_ - pos);
  pendingSize_ -= pos;
  drainedBytes_ += pos;
  output_bytes_ += framed_.size();
  output_(framed_.data(), framed_.size());
  framed_.clear();
}

std::vector<uint8_t> EncodeMember(const uint8_t* data, size_t n, ClearPolicy policy) {
  std::vector<uint8_t> framed;
  Encoder encoder(policy, [&framed](const uint8_t* bytes, size_t count) {
    framed.insert(framed.end(), bytes, bytes + count);
  });
  encoder.Feed(data, n);
  encoder.Finish();
  return framed;
}

}  // namespace lumora
