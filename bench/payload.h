// The benches' test data, made from a fixed seed: image-like rows, flat runs, text and
// random bytes, in stretches of one kind or mixed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "codec/byte_io.h"

namespace lumora::bench {

enum Kind { kImage, kRuns, kText, kRandom, kKinds, kMixed = kKinds };
inline const char* const kKindNames[] = {"image rows", "flat runs", "text", "random bytes",
                                         "mixed"};

// `size` bytes of stretches of 16 KiB..1 MiB; each stretch is of a random kind, or all of
// `only` when that is one kind.
inline std::vector<uint8_t> MakePayload(size_t size, Kind only) {
  std::mt19937 rng(20240611);
  std::vector<uint8_t> data(size);
  static const char* const kWords[] = {"the ",   "part ",   "base ",      "record ", "tattoo ",
                                       "fp001 ", "psd\r\n", "Addition\\", "0.75 ",   "layer "};
  size_t i = 0;
  while (i < size) {
    const size_t len = std::min(size - i, size_t{16384} + rng() % (1u << 20));
    int kind = static_cast<int>(rng() % 4);
    if (only != kMixed) kind = only;
    uint8_t* p = data.data() + i;
    if (kind == kImage) {  // image rows: gradients with light noise
      const int width = 256 + static_cast<int>(rng() % 1024);
      for (size_t k = 0; k < len; ++k) {
        const size_t x = k % width, y = k / width;
        p[k] = static_cast<uint8_t>((x * 3 + y * 2) / 8 + (rng() % 3));
      }
    } else if (kind == kRuns) {  // flat runs
      size_t k = 0;
      while (k < len) {
        const size_t run = std::min(len - k, size_t{1} + rng() % 4096);
        std::memset(p + k, static_cast<int>(rng() % 256), run);
        k += run;
      }
    } else if (kind == kText) {  // text
      size_t k = 0;
      while (k < len) {
        for (const char* w = kWords[rng() % 10]; *w != 0 && k < len; ++w) p[k++] = *w;
      }
    } else {  // random bytes
      for (size_t k = 0; k < len; ++k) p[k] = static_cast<uint8_t>(rng());
    }
    i += len;
  }
  return data;
}

// A code stream read from memory, as the decoder reads the archive.
class MemorySource : public lumora::ByteSource {
 public:
  explicit MemorySource(const std::vector<uint8_t>& data) : data_(data) {}
  void ReadExact(uint8_t* out, size_t n) override {
    if (data_.size() - pos_ < n) throw std::runtime_error("Stream read error");
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
  }
  int64_t Position() const override { return static_cast<int64_t>(pos_); }

 private:
  const std::vector<uint8_t>& data_;
  size_t pos_ = 0;
};

}  // namespace lumora::bench
