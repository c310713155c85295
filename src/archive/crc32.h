// CRC-32 (IEEE 802.3, reflected, the value zlib computes) of the integrity trailer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora {

class Crc32 {
 public:
  void Update(const uint8_t* data, size_t n);
  uint32_t Value() const { return ~state_; }

 private:
  uint32_t state_ = 0xFFFFFFFFu;
};

}  // namespace lumora
