#include "codec/encoder.h"

#include <cstring>

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
// How far the look ahead follows two ways of coding before it gives up on them meeting:
// codes on either way, and bytes past the current position.
constexpr size_t kMeetCodes = 40;
constexpr size_t kMeetSpan = 8192;
// Input the look ahead must see past the current position before it may choose a code, so
// that the choice never depends on how the input was cut into pieces.
constexpr size_t kLookahead = kMeetSpan + kMaxString + 1;
constexpr size_t kAheadPiece = 64 * 1024;  // input taken into the look ahead at a time

inline uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> 18; }  // 14 bits

}  // namespace

Encoder::Encoder(ClearPolicy policy, Output output)
    : policy_(policy),
      output_(std::move(output)),
      keys_(kHashSlots, 0),
      codes_(kHashSlots, 0),
      lastChild_(kTableSize, 0),
      lengths_(kTableSize, 1),
      prefixes_(kTableSize, 0) {
  if (policy_ == ClearPolicy::kAdaptive) chain_.resize(kMaxString + 1);
  NewDictionary();
  // The member opens with a clear code.
  PutBits(kClearCode);
}

Encoder::~Encoder() = default;

void Encoder::NewDictionary() {
  ++generation_;
  std::fill(lastChild_.begin(), lastChild_.end(), 0);
  longestEntry_ = 1;
  ++stamp_;
  if (stamp_ >= (1u << 12)) {  // the stamp field is full: forget every entry for real
    std::fill(keys_.begin(), keys_.end(), 0);
    stamp_ = 1;
  }
  decNext_ = kFirstFreeCode;
  width_ = kInitialWidth;
  limit_ = kInitialLimit;
  rootNext_ = true;
  stretchBits_ = stretchBytes_ = windowBits_ = windowBytes_ = 0;
  windowCodes_ = 0;
  bestWindowRatio_ = 0;
}

int32_t Encoder::Find(uint32_t prefix, uint8_t byte) const {
  const uint32_t key = stamp_ << 20 | prefix << 8 | byte;
  for (uint32_t i = Hash(key);; i = (i + 1) & (kHashSlots - 1)) {
    const uint32_t k = keys_[i];
    if (k == key) return codes_[i];
    if ((k >> 20) != stamp_) return -1;  // a free slot ends the probe
  }
}

void Encoder::Insert(uint32_t prefix, uint8_t byte, uint32_t code) {
  lastChild_[prefix] = static_cast<uint16_t>(code);
  lengths_[code] = static_cast<uint16_t>(lengths_[prefix] + 1);
  prefixes_[code] = static_cast<uint16_t>(prefix);
  if (lengths_[code] > longestEntry_) longestEntry_ = lengths_[code];
  const uint32_t key = stamp_ << 20 | prefix << 8 | byte;
  uint32_t i = Hash(key);
  while ((keys_[i] >> 20) == stamp_) i = (i + 1) & (kHashSlots - 1);
  keys_[i] = key;
  codes_[i] = static_cast<uint16_t>(code);
}

void Encoder::PutBits(uint32_t code) {
  acc_ |= static_cast<uint64_t>(code) << accBits_;
  accBits_ += width_;
  stretchBits_ += static_cast<uint64_t>(width_);
  windowBits_ += static_cast<uint64_t>(width_);
  while (accBits_ >= 8) {
    pending_.push_back(static_cast<uint8_t>(acc_));
    acc_ >>= 8;
    accBits_ -= 8;
  }
}

// A data code; the decoder follows it with the same steps: the code after a clear code
// defines nothing, every other one defines the next free code, and the width grows when
// that reaches the limit.
void Encoder::EmitCode(uint32_t code) {
  PutBits(code);
  stretchBytes_ += prefixLength_;
  windowBytes_ += prefixLength_;
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

bool Encoder::WantsEarlyClear() {
  if (policy_ != ClearPolicy::kAdaptive) return false;
  // Before the code that would widen every later code: restart when the stretch does not
  // even save a bit per byte.
  if (decNext_ + 1 == limit_ && limit_ < static_cast<uint32_t>(kTableSize)) {
    if (stretchBits_ * 2 >= stretchBytes_ * 17) return true;  // 8.5 bits per byte or worse
  }
  // Data of another kind has come: the last window costs clearly more than the best one.
  if (windowCodes_ >= kWindowCodes) {
    const double ratio = static_cast<double>(windowBits_) / static_cast<double>(windowBytes_);
    windowBits_ = windowBytes_ = 0;
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
        tips_.erase(tips_.begin(), tips_.begin() + coded);
        aheadPos_ = 0;
      }
      ahead_.insert(ahead_.end(), data, data + piece);
      tips_.resize(ahead_.size());
      EncodeAhead(false);
      data += piece;
      n -= piece;
      if (pending_.size() >= kDrainAt) Drain(kHeldBack);
    }
    return;
  }
  while (n > 0) {
    const size_t piece = n < kDrainAt ? n : kDrainAt;
    Encode(data, piece);
    data += piece;
    n -= piece;
    if (pending_.size() >= kDrainAt) Drain(kHeldBack);
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
    const int32_t found = Find(static_cast<uint32_t>(prefix_), byte);
    if (found >= 0) {
      prefix_ = found;
      ++prefixLength_;
      continue;
    }
    EmitCode(static_cast<uint32_t>(prefix_));
    if (decNext_ == kLastFreeCode || WantsEarlyClear()) {
      EmitClear();
    } else {
      Insert(static_cast<uint32_t>(prefix_), byte, decNext_);
    }
    prefix_ = byte;
    prefixLength_ = 1;
  }
}

// The bytes of the longest dictionary string at ahead_[pos], and in codes[i] the code of
// its prefix of i + 1 bytes.
size_t Encoder::LongestMatch(size_t pos, size_t end, uint16_t* codes) {
  uint32_t code = 0;
  const size_t length = Match(pos, end, &code);
  for (size_t i = length; i-- > 0; code = prefixes_[code]) codes[i] = static_cast<uint16_t>(code);
  return length;
}

// The bytes of the longest dictionary string at ahead_[pos]. Entries are never removed
// before a clear code and never doubled, so a new entry can only lengthen a match at its
// last code: a remembered match stays right once the one lookup after it fails.
size_t Encoder::Match(size_t pos, size_t end, uint32_t* last) {
  const uint8_t* d = ahead_.data();
  Tip& tip = tips_[pos];
  uint32_t code = d[pos];
  size_t length = 1;
  if (tip.generation == generation_) {
    code = tip.code;
    length = tip.length;
    // No entry extends the remembered match's code since: it is still the longest.
    if (lastChild_[code] < tip.known) {
      *last = code;
      return length;
    }
  }
  while (pos + length < end) {
    const int32_t found = Find(code, d[pos + length]);
    if (found < 0) {
      tip = Tip{generation_, static_cast<uint16_t>(code), static_cast<uint16_t>(length),
                static_cast<uint16_t>(decNext_)};
      break;
    }
    code = static_cast<uint32_t>(found);
    ++length;
  }
  *last = code;  // a match cut by the end of the input is not remembered
  return length;
}

size_t Encoder::MatchLength(size_t pos, size_t end) {
  uint32_t last = 0;
  return pos < end ? Match(pos, end, &last) : 0;
}

// After a code followed by the byte `next`: the decoder will define the code's string plus
// that byte with the code that comes next, unless a clear code comes first. When the
// string is in the dictionary already (a shorter code was chosen on purpose), the decoder
// still spends the slot but the encoder keeps finding the older code.
void Encoder::AfterCode(uint32_t code, uint8_t next) {
  if (decNext_ == kLastFreeCode || WantsEarlyClear()) {
    EmitClear();
  } else if (Find(code, next) < 0) {
    Insert(code, next, decNext_);
  }
}

// Codes the look ahead up to kLookahead bytes before its end, or to its end when `last`.
// At each position the longest match is the default. A shorter prefix of it wins when the
// codes after it, each again the longest match, meet the codes after the longest match in
// fewer codes; the prefix saving the most wins, the longer one on a tie. Such a prefix
// costs a slot (the decoder doubles an entry), so a prefix must save at least one code.
// Prefixes whose next match does not even reach past the next match of the longest are
// not followed: they seldom win.
void Encoder::EncodeAhead(bool last) {
  const size_t end = ahead_.size();
  const size_t stop = last ? end : (end > kLookahead ? end - kLookahead : 0);
  while (aheadPos_ < stop) {
    const size_t pos = aheadPos_;
    const size_t longest = LongestMatch(pos, end, chain_.data());
    size_t best = longest;
    if (longest > 1) {
      // The positions the codes after the longest match reach, one code apart.
      const size_t limit = pos + kMeetSpan < end ? pos + kMeetSpan : end;
      path_.clear();
      path_.push_back(pos + longest);
      path_.push_back(pos + longest + MatchLength(pos + longest, end));
      const size_t reach = path_[1];
      size_t bestSaved = 0;
      for (size_t k = longest - 1; k >= 1; --k) {
        size_t b = pos + k;
        if (b + longestEntry_ <= reach) break;  // neither can any shorter prefix
        if (b + MatchLength(b, end) <= reach) continue;
        // Follow the codes after the prefix until they land where the others do.
        for (size_t codes = 0, i = 0; b < limit && codes <= kMeetCodes; ++codes) {
          for (;;) {
            while (i < path_.size() && path_[i] < b) ++i;
            if (i < path_.size() || path_.back() >= limit || path_.size() > kMeetCodes) break;
            path_.push_back(path_.back() + MatchLength(path_.back(), end));
          }
          if (i == path_.size()) break;
          if (path_[i] == b) {
            if (i > codes + bestSaved) {
              bestSaved = i - codes;
              best = k;
            }
            break;
          }
          b += MatchLength(b, end);
        }
      }
    }
    const uint32_t code = chain_[best - 1];
    prefixLength_ = static_cast<uint32_t>(best);
    EmitCode(code);
    aheadPos_ += best;
    if (aheadPos_ < end) AfterCode(code, ahead_[aheadPos_]);
  }
}

void Encoder::Finish() {
  if (finished_) return;
  finished_ = true;
  if (policy_ == ClearPolicy::kAdaptive) {
    EncodeAhead(true);
    ahead_.clear();
    tips_.clear();
    aheadPos_ = 0;
  }
  if (prefix_ >= 0) EmitCode(static_cast<uint32_t>(prefix_));
  PutBits(kEndCode);
  bool extra = false;
  if (accBits_ > 0) {
    pending_.push_back(static_cast<uint8_t>(acc_));
  } else {
    // The end code ended on a byte boundary: one more byte, never decoded.
    pending_.push_back(0x00);
    extra = true;
  }
  acc_ = 0;
  accBits_ = 0;
  Drain(kHeldBack);
  // The rest, at most 510 bytes: blocks of 255 and a last one of 1..255, except that the
  // extra byte may not stand alone, or the end code would not lie in the last block.
  const size_t rest = pending_.size();
  size_t first = rest > kBlock ? kBlock : 0;
  if (extra && rest == kBlock + 1) first = kBlock - 1;
  framed_.clear();
  if (first > 0) EmitBlock(pending_.data(), first);
  EmitBlock(pending_.data() + first, rest - first);
  framed_.push_back(0x00);
  pending_.clear();
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
  while (pending_.size() - pos > keep) {
    EmitBlock(pending_.data() + pos, kBlock);
    pos += kBlock;
  }
  if (pos == 0) return;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
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
