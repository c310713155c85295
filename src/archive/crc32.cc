#include "archive/crc32.h"

#include <array>

namespace lumora {
namespace {

// Slicing-by-8 tables: eight bytes per step, so that the packer's writing thread and the
// updater's check of a large archive spend little time on it.
struct Tables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (size_t s = 1; s < t.size(); ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

inline uint32_t Little32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void Crc32::Update(const uint8_t* data, size_t n) {
  const auto& t = GetTables().t;
  uint32_t c = state_;
  while (n >= 8) {
    const uint32_t lo = c ^ Little32(data);
    const uint32_t hi = Little32(data + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    data += 8;
    n -= 8;
  }
  while (n--) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  state_ = c;
}

}  // namespace lumora
