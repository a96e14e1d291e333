// CRC-16/XMODEM, eight bytes per step (slicing by eight): the CRC pass bounds
// the framing speed, and one look-up per byte chains every byte's look-up to
// the previous one, where eight independent look-ups per step do not.
#include "core/sbf/crc.hpp"

#include <cstddef>

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

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
  unsigned c = crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  // The register meets the first two bytes of a step; the other six only
  // travel through the zero bytes after them.
  for (; n >= 8; p += 8, n -= 8) {
    c = kSlices[7][p[0] ^ (c >> 8)] ^ kSlices[6][p[1] ^ (c & 0xFFu)] ^ kSlices[5][p[2]] ^ kSlices[4][p[3]] ^
        kSlices[3][p[4]] ^ kSlices[2][p[5]] ^ kSlices[1][p[6]] ^ kSlices[0][p[7]];
  }
  for (; n > 0; ++p, --n) c = kCrcTable[(*p ^ (c >> 8)) & 0xFFu] ^ ((c << 8) & 0xFFFFu);
  return static_cast<std::uint16_t>(c);
}

}  // namespace sigtap::sbf
