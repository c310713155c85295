// The LZW code stream of an archive member, shared by the encoder and the decoder.
//
// Codes of 9 to 12 bits over the 256 byte values, packed least significant bit first: bit
// j of byte k is bit 8k + j of the stream. The stream opens with a clear code and closes
// with an end code. After every clear code codes are 9 bits wide; the width grows by one
// bit as soon as a new dictionary entry makes the next free code 512, 1024 or 2048, so the
// very next code already has the new width. The code after a clear code is a root and
// defines nothing. The writer sends a clear code before the next free code would pass
// 4095, and adds one 0x00 byte when the end code ends exactly on a byte boundary.
#pragma once

#include <cstdint>

namespace lumora::lzw {

constexpr int kRootWidth = 8;                          // bits of a root code's byte
constexpr uint16_t kClearCode = 1u << kRootWidth;      // 256
constexpr uint16_t kEndCode = kClearCode + 1;          // 257
constexpr int kFirstFreeCode = (1 << kRootWidth) + 2;  // 258
constexpr int kInitialWidth = kRootWidth + 1;          // 9 bits after every clear code
constexpr int kInitialLimit = 1 << kInitialWidth;      // 512: the width grows when reached
constexpr int kMaxWidth = 12;                          // bits, the widest code a writer sends
constexpr int kTableSize = 4096;                       // slots of the chain table

}  // namespace lumora::lzw
