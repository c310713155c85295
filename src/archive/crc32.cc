#include "archive/crc32.h"

#include <array>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define LUMORA_CRC32_CLMUL 1
#endif

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

#if defined(LUMORA_CRC32_CLMUL)
// Carry-less multiplication folds 64 bytes a step, ten times the tables' speed: the packer
// computes the checksum of every byte it writes, and again as it reads the file back. The
// register holds four 128-bit lanes; each step multiplies each lane by x^(512+64) and
// x^512 mod P (its halves), which moves it 64 bytes on, and adds the next 64 bytes. The
// lanes are then folded into one, 16 bytes at a time, and the last 128 bits are reduced to
// 32 (x^64 and x^32 folds, then Barrett's reduction). All constants are for the reflected
// polynomial 0x104C11DB7, bit-reversed and shifted by one as the reflected order needs.
// Takes a multiple of 64 bytes, at least 64.
#define LUMORA_CLMUL __attribute__((target("pclmul,sse2")))
LUMORA_CLMUL inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// x times the two halves of k, each half times its own; the sum of both.
LUMORA_CLMUL inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

LUMORA_CLMUL uint32_t FoldClmul(uint32_t crc, const uint8_t* data, size_t n) {
  __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load(data + 16), x2 = Load(data + 32), x3 = Load(data + 48);
  const __m128i k64 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
  for (data += 64, n -= 64; n >= 64; data += 64, n -= 64) {
    x0 = _mm_xor_si128(Fold(x0, k64), Load(data));
    x1 = _mm_xor_si128(Fold(x1, k64), Load(data + 16));
    x2 = _mm_xor_si128(Fold(x2, k64), Load(data + 32));
    x3 = _mm_xor_si128(Fold(x3, k64), Load(data + 48));
  }
  const __m128i k16 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
  x0 = _mm_xor_si128(Fold(x0, k16), x1);
  x0 = _mm_xor_si128(Fold(x0, k16), x2);
  x0 = _mm_xor_si128(Fold(x0, k16), x3);
  // 128 bits to 64, then to 32 more.
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(k16, x0, 0x01));
  x0 = _mm_xor_si128(
      _mm_srli_si128(x0, 4),
      _mm_clmulepi64_si128(_mm_and_si128(x0, low32), _mm_set_epi64x(0, 0x163CD6124), 0x00));
  // Barrett: the quotient by P from mu = x^64 / P, then the remainder.
  const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), poly, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(x0, q), 4)));
}

bool HasClmul() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_PCLMUL) != 0 && (d & bit_SSE2) != 0;
  }();
  return has;
}
#endif

}  // namespace

void Crc32::Update(const uint8_t* data, size_t n) {
  const auto& t = GetTables().t;
  uint32_t c = state_;
#if defined(LUMORA_CRC32_CLMUL)
  if (n >= 256 && HasClmul()) {
    const size_t folded = n & ~size_t{63};
    c = FoldClmul(c, data, folded);
    data += folded;
    n -= folded;
  }
#endif
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
