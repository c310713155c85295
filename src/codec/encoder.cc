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
constexpr size_t kHashSlots = 16384;  // a quarter full at most
constexpr uint32_t kSlotMask = kHashSlots - 1;

inline uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> 18; }  // 14 bits

}  // namespace

Encoder::Encoder(ClearPolicy policy, Output output)
    : policy_(policy),
      output_(std::move(output)),
      slots_(kHashSlots, 0),
      lengths_(kTableSize, 1),
      prefixes_(kTableSize, 0),
      pending_(kDrainAt + 4 * kBlock) {
  for (uint32_t c = 0; c < 256; ++c) roots_[c] = static_cast<uint8_t>(c);
  NewDictionary();
  // The member opens with a clear code.
  PutBits(kClearCode);
}

Encoder::~Encoder() = default;

void Encoder::NewDictionary() {
  for (uint32_t i = 0; i < filledCount_; ++i) slots_[filled_[i]] = 0;
  filledCount_ = 0;
  longestEntry_ = 1;
  std::fill(std::begin(rootLongest_), std::end(rootLongest_), 1);
  decNext_ = kFirstFreeCode;
  width_ = kInitialWidth;
  limit_ = kInitialLimit;
  rootNext_ = true;
  stretchBits_ = stretchBytes_ = windowStartBits_ = windowStartBytes_ = 0;
  windowCodes_ = 0;
  bestWindowRatio_ = 0;
}

// The code of the entry (prefix, byte), or -1 with *free the free slot that ends its probe,
// where Insert puts it while no other entry comes first.
inline int32_t Encoder::Find(uint32_t prefix, uint8_t byte, uint32_t* free) const {
  const uint32_t key = prefix << 8 | byte;
  for (uint32_t i = Hash(key);; i = (i + 1) & kSlotMask) {
    const uint32_t slot = slots_[i];
    if (slot == 0) {
      *free = i;
      return -1;
    }
    if ((slot >> 12) == key) return static_cast<int32_t>(slot & 0xFFF);
  }
}

inline void Encoder::Insert(uint32_t prefix, uint8_t byte, uint32_t code, uint32_t free) {
  const uint16_t length = static_cast<uint16_t>(lengths_[prefix] + 1);
  lengths_[code] = length;
  prefixes_[code] = static_cast<uint16_t>(prefix);
  roots_[code] = roots_[prefix];
  if (length > longestEntry_) longestEntry_ = length;
  if (length > rootLongest_[roots_[code]]) rootLongest_[roots_[code]] = length;
  slots_[free] = (prefix << 8 | byte) << 12 | code;
  filled_[filledCount_++] = static_cast<uint16_t>(free);
}

// Bits leave the accumulator four bytes at a time; Finish stores the rest.
inline void Encoder::PutBits(uint32_t code) {
  acc_ |= static_cast<uint64_t>(code) << accBits_;
  accBits_ += width_;
  stretchBits_ += static_cast<uint64_t>(width_);
  if (accBits_ >= 32) {
    if (pendingSize_ + 4 > pending_.size()) pending_.resize(pending_.size() * 2);
    uint8_t* p = pending_.data() + pendingSize_;
    p[0] = static_cast<uint8_t>(acc_);
    p[1] = static_cast<uint8_t>(acc_ >> 8);
    p[2] = static_cast<uint8_t>(acc_ >> 16);
    p[3] = static_cast<uint8_t>(acc_ >> 24);
    pendingSize_ += 4;
    acc_ >>= 32;
    accBits_ -= 32;
  }
}

// A data code; the decoder follows it with the same steps: the code after a clear code
// defines nothing, every other one defines the next free code, and the width grows when
// that reaches the limit.
inline void Encoder::EmitCode(uint32_t code) {
  PutBits(code);
  stretchBytes_ += prefixLength_;
  ++windowCodes_;
  if (rootNext_) {
    rootNext_ = false;
    return;
  }
  ++decNext_;
  if (decNext_ == limit_) {
    ++width_;
    limit_ <<= 1;
  }
}

void Encoder::EmitClear() {
  PutBits(kClearCode);
  NewDictionary();
}

inline bool Encoder::WantsEarlyClear() {
  if (policy_ != ClearPolicy::kAdaptive) return false;
  // Before the code that would widen every later code: restart when the stretch does not
  // even save a bit per byte.
  if (decNext_ + 1 == limit_ && limit_ < static_cast<uint32_t>(kTableSize)) {
    if (stretchBits_ * 2 >= stretchBytes_ * 17) return true;  // 8.5 bits per byte or worse
  }
  // Data of another kind has come: the last window costs clearly more than the best one.
  if (windowCodes_ >= kWindowCodes) {
    const double ratio = static_cast<double>(stretchBits_ - windowStartBits_) /
                         static_cast<double>(stretchBytes_ - windowStartBytes_);
    windowStartBits_ = stretchBits_;
    windowStartBytes_ = stretchBytes_;
    windowCodes_ = 0;
    if (bestWindowRatio_ > 0 && ratio > bestWindowRatio_ * 1.5) return true;
    if (bestWindowRatio_ == 0 || ratio < bestWindowRatio_) bestWindowRatio_ = ratio;
  }
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
        aheadPos_ = 0;
      }
      ahead_.insert(ahead_.end(), data, data + piece);
      EncodeAhead(false);
      data += piece;
      n -= piece;
      if (pendingSize_ >= kDrainAt) Drain(kHeldBack);
    }
    return;
  }
  while (n > 0) {
    const size_t piece = n < kDrainAt ? n : kDrainAt;
    Encode(data, piece);
    data += piece;
    n -= piece;
    if (pendingSize_ >= kDrainAt) Drain(kHeldBack);
  }
}

void Encoder::Encode(const uint8_t* data, size_t n) {
  size_t i = 0;
  if (prefix_ < 0 && n > 0) {
    prefix_ = data[i++];
    prefixLength_ = 1;
  }
  for (; i < n; ++i) {
    const uint8_t byte = data[i];
    uint32_t free = 0;
    const int32_t found = Find(static_cast<uint32_t>(prefix_), byte, &free);
    if (found >= 0) {
      prefix_ = found;
      ++prefixLength_;
      continue;
    }
    EmitCode(static_cast<uint32_t>(prefix_));
    if (decNext_ == kLastFreeCode || WantsEarlyClear()) {
      EmitClear();
    } else {
      Insert(static_cast<uint32_t>(prefix_), byte, decNext_, free);
    }
    prefix_ = byte;
    prefixLength_ = 1;
  }
}

// The longest dictionary string at ahead_[pos] that extends `code`, a string of `length`
// bytes matched there already (at least the root).
inline Encoder::Matched Encoder::Extend(size_t pos, size_t end, uint32_t code,
                                        uint32_t length) const {
  const uint8_t* d = ahead_.data() + pos;
  const size_t most = end - pos;
  uint32_t free = 0;
  while (length < most) {
    const int32_t found = Find(code, d[length], &free);
    if (found < 0) break;
    code = static_cast<uint32_t>(found);
    ++length;
  }
  return Matched{code, length, free};
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
void Encoder::EncodeAhead(bool last) {
  const uint8_t* d = ahead_.data();
  const size_t end = ahead_.size();
  const size_t stop = last ? end : (end > kLookahead ? end - kLookahead : 0);
  size_t pos = aheadPos_;
  Matched next = next_;
  while (pos < stop) {
    const Matched longest = next.length > 0 ? next : Extend(pos, end, d[pos], 1);
    next = Matched{};
    size_t best = longest.length;
    uint32_t code = longest.code;
    if (longest.length >= kAheadFrom && pos + longest.length < end) {
      const size_t after = pos + longest.length;
      next = Extend(after, end, d[after], 1);
      size_t reach = after + next.length;
      if (longest.length >= kMarginFrom) reach += kReachMargin;
      const size_t shortest = longest.length > kBackOff ? longest.length - kBackOff : 1;
      for (size_t k = longest.length - 1; k >= shortest && pos + k + longestEntry_ > reach; --k) {
        if (pos + k + rootLongest_[d[pos + k]] <= reach) continue;
        const Matched m = Extend(pos + k, end, d[pos + k], 1);
        if (pos + k + m.length > reach) {
          reach = pos + k + m.length;
          best = k;
          next = m;
        }
      }
      for (size_t i = longest.length; i > best; --i) code = prefixes_[code];
    }
    prefixLength_ = static_cast<uint32_t>(best);
    EmitCode(code);
    pos += best;
    if (pos == end) break;
    if (decNext_ == kLastFreeCode || WantsEarlyClear()) {
      EmitClear();
      next = Matched{};
    } else if (best == longest.length) {
      // The longest match ended where the dictionary had no entry: the decoder's new one.
      Insert(code, d[pos], decNext_, longest.free);
      if (next.length > 0) {
        if (next.code == code) {
          next = Extend(pos, end, next.code, next.length);
        } else if (slots_[next.free] != 0) {  // the new entry took the slot its probe ended at
          uint32_t free = next.free;
          while (slots_[free] != 0) free = (free + 1) & kSlotMask;
          next.free = free;
        }
      }
    }
    // After a shorter prefix the decoder's entry doubles one the dictionary has already.
  }
  aheadPos_ = pos;
  next_ = next;
}

void Encoder::Finish() {
  if (finished_) return;
  finished_ = true;
  if (policy_ == ClearPolicy::kAdaptive) {
    EncodeAhead(true);
    ahead_.clear();
    aheadPos_ = 0;
  }
  if (prefix_ >= 0) EmitCode(static_cast<uint32_t>(prefix_));
  PutBits(kEndCode);
  pending_.resize(pendingSize_);
  for (; accBits_ >= 8; accBits_ -= 8, acc_ >>= 8) pending_.push_back(static_cast<uint8_t>(acc_));
  bool extra = false;
  if (accBits_ > 0) {
    pending_.push_back(static_cast<uint8_t>(acc_));
  } else {
    // The end code ended on a byte boundary: one more byte, never decoded.
    pending_.push_back(0x00);
    extra = true;
  }
  pendingSize_ = pending_.size();
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
