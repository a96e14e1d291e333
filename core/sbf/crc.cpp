// CRC-16/XMODEM. Long runs fold 16 bytes per step with carry-less
// multiplication where the processor has it; the rest goes eight bytes per
// step (slicing by eight). The CRC pass bounds the framing speed: one
// look-up per byte chains every byte's look-up to the previous one, where
// eight independent look-ups per step, or one fold of 16 bytes, do not.
#include "core/sbf/crc.hpp"

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sigtap::sbf {
namespace {

// kSlices[k][b]: the register after byte b and then k zero bytes, from zero.
constexpr std::array<std::array<std::uint16_t, 256>, 8> make_slices() {
  std::array<std::array<std::uint16_t, 256>, 8> slices{};
  slices[0] = kCrcTable;
  for (std::size_t k = 1; k < 8; ++k) {
    for (unsigned b = 0; b < 256; ++b) {
      const unsigned prev = slices[k - 1][b];
      slices[k][b] = static_cast<std::uint16_t>((prev << 8) ^ kCrcTable[prev >> 8]);
    }
  }
  return slices;
}
constexpr auto kSlices = make_slices();

unsigned crc_by_slices(const std::uint8_t* p, std::size_t n, unsigned c) {
  // The register meets the first two bytes of a step; the other six only
  // travel through the zero bytes after them.
  for (; n >= 8; p += 8, n -= 8) {
    c = kSlices[7][p[0] ^ (c >> 8)] ^ kSlices[6][p[1] ^ (c & 0xFFu)] ^ kSlices[5][p[2]] ^ kSlices[4][p[3]] ^
        kSlices[3][p[4]] ^ kSlices[2][p[5]] ^ kSlices[1][p[6]] ^ kSlices[0][p[7]];
  }
  for (; n > 0; ++p, --n) c = kCrcTable[(*p ^ (c >> 8)) & 0xFFu] ^ ((c << 8) & 0xFFFFu);
  return c;
}

#if defined(__x86_64__)

// x^n mod P (P = x^16 + x^12 + x^5 + 1), bit i the coefficient of x^i.
constexpr std::uint64_t x_power_mod(unsigned n) {
  std::uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if (r & 0x10000u) r ^= 0x11021u;
  }
  return r;
}

// The bytes read as one polynomial, first byte highest: the register holds
// A = H x^64 + L (128 bits) congruent to the bytes so far modulo P, and 16
// more bytes B make A x^128 + B, congruent to H (x^192 mod P) + L (x^128
// mod P) + B: two products of 64 by 16 bits, which fit 128 bits again. The
// starting register enters as the CRC's own does, added to the first two
// bytes; at the end the CRC of A's 16 bytes from zero is A x^16 mod P, the
// register the rest goes on from. Needs at least 32 bytes.
[[gnu::target("pclmul,ssse3")]] unsigned crc_by_folding(const std::uint8_t* p, std::size_t n, unsigned c) {
  const __m128i first_byte_high = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i fold = _mm_set_epi64x(static_cast<long long>(x_power_mod(192)), static_cast<long long>(x_power_mod(128)));
  const __m128i start = _mm_cvtsi32_si128(static_cast<int>((c >> 8) | (c & 0xFFu) << 8));
  __m128i acc = _mm_shuffle_epi8(_mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), start), first_byte_high);
  for (p += 16, n -= 16; n >= 16; p += 16, n -= 16) {
    const __m128i next = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), first_byte_high);
    acc = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, fold, 0x11), _mm_clmulepi64_si128(acc, fold, 0x00)), next);
  }
  alignas(16) std::uint8_t folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), _mm_shuffle_epi8(acc, first_byte_high));
  return crc_by_slices(p, n, crc_by_slices(folded, sizeof folded, 0));
}

bool can_fold() {
  static const bool supported = [] {
    __builtin_cpu_init();  // the first CRC may run before the library's constructors
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  }();
  return supported;
}

#endif

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
#if defined(__x86_64__)
  if (bytes.size() >= 32 && can_fold()) return static_cast<std::uint16_t>(crc_by_folding(bytes.data(), bytes.size(), crc));
#endif
  return static_cast<std::uint16_t>(crc_by_slices(bytes.data(), bytes.size(), crc));
}

}  // namespace sigtap::sbf
