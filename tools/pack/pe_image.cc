#include "pack/pe_image.h"

namespace lumora::pack {
namespace {

// A little-endian field of the image, or 0 past its end.
uint32_t Field(std::string_view image, size_t at, size_t bytes) {
  if (at > image.size() || image.size() - at < bytes) return 0;
  uint32_t v = 0;
  for (size_t i = bytes; i-- > 0;) v = v << 8 | static_cast<uint8_t>(image[at + i]);
  return v;
}

constexpr size_t kNewHeaderField = 0x3C;  // e_lfanew: where the PE signature stands
constexpr size_t kCoffHeaderLength = 20;
constexpr uint32_t kPe32 = 0x10B, kPe32Plus = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;  // the certificate table's data directory

}  // namespace

uint32_t SignatureLength(std::string_view image) {
  if (image.substr(0, 2) != "MZ") return 0;
  const size_t pe = Field(image, kNewHeaderField, 4);
  if (pe >= image.size() || image.substr(pe, 4) != std::string_view("PE\0\0", 4)) return 0;
  const size_t optional = pe + 4 + kCoffHeaderLength;
  const uint32_t magic = Field(image, optional, 2);
  if (magic != kPe32 && magic != kPe32Plus) return 0;
  // The count of data directories and the directories themselves follow the fields that
  // differ in length between 32- and 64-bit images.
  const size_t count_at = optional + (magic == kPe32 ? 92 : 108);
  if (Field(image, count_at, 4) <= kSecurityDirectory) return 0;
  return Field(image, count_at + 4 + 8 * kSecurityDirectory + 4, 4);
}

}  // namespace lumora::pack
