#include "archive/crc32.h"

#include <array>

namespace lumora {
namespace {

// Slicing-by-4 tables: four bytes per step keeps the check of a large updater well under
// the time it takes to read it.
struct Tables {
  std::array<std::array<uint32_t, 256>, 4> t{};
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int s = 1; s < 4; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

void Crc32::Update(const uint8_t* data, size_t n) {
  const auto& t = GetTables().t;
  uint32_t c = state_;
  while (n >= 4) {
    c ^= static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    c = t[3][c & 0xFF] ^ t[2][(c >> 8) & 0xFF] ^ t[1][(c >> 16) & 0xFF] ^ t[0][c >> 24];
    data += 4;
    n -= 4;
  }
  while (n--) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  state_ = c;
}

}  // namespace lumora
