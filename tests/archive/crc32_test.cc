// The trailer's checksum against the bit-by-bit definition, for every length around the
// 8-byte steps and every way of cutting the input into two updates, and for long inputs at
// every alignment, which take the 64-byte folding where the processor has it.
#include "archive/crc32.h"

#include <gtest/gtest.h>

#include <vector>

namespace lumora {
namespace {

uint32_t BitByBit(const std::vector<uint8_t>& data) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    c ^= byte;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

TEST(Crc32Test, MatchesTheDefinitionWhereverTheInputIsCut) {
  Crc32 check;
  check.Update(reinterpret_cast<const uint8_t*>("123456789"), 9);
  EXPECT_EQ(check.Value(), 0xCBF43926u);  // the published check value

  std::vector<uint8_t> data;
  for (size_t n = 0; n <= 40; ++n) {
    const uint32_t expected = BitByBit(data);
    for (size_t cut = 0; cut <= n; ++cut) {
      Crc32 crc;
      crc.Update(data.data(), cut);
      crc.Update(data.data() + cut, n - cut);
      ASSERT_EQ(crc.Value(), expected) << n << " bytes cut at " << cut;
    }
    data.push_back(static_cast<uint8_t>(n * 37 + 11));
  }
}

TEST(Crc32Test, LongInputsAtAnyAlignmentMatchTheDefinition) {
  std::vector<uint8_t> buffer(4096 + 64);
  uint32_t seed = 12345;
  for (uint8_t& b : buffer) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  struct Case {
    size_t offset, length, cut;
  };
  const Case cases[] = {{0, 256, 0},    {1, 256, 0},    {7, 319, 0},      {0, 320, 64},
                        {3, 1000, 255}, {13, 4096, 17}, {63, 4000, 2000}, {5, 257, 256}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> data(buffer.begin() + c.offset,
                                    buffer.begin() + c.offset + c.length);
    Crc32 crc;
    crc.Update(data.data(), c.cut);
    crc.Update(data.data() + c.cut, c.length - c.cut);
    EXPECT_EQ(crc.Value(), BitByBit(data))
        << c.length << " bytes at offset " << c.offset << ", cut at " << c.cut;
  }
}

}  // namespace
}  // namespace lumora
