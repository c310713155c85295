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

inline uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> 18; }  // 14 bits

}  // namespace

Encoder::Encoder(ClearPolicy policy, Output output)
    : policy_(policy), output_(std::move(output)), keys_(kHashSlots, 0), codes_(kHashSlots, 0) {
  NewDictionary();
  // The member opens with a clear code.
  PutBits(kClearCode);
}

Encoder::~Encoder() = default;

void Encoder::NewDictionary() {
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

void Encoder::Finish() {
  if (finished_) return;
  finished_ = true;
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
