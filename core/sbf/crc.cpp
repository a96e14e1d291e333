// CRC-16/XMODEM: one table look-up per byte; this loop bounds the framing speed.
#include "core/sbf/crc.hpp"

namespace sigtap::sbf {

std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
  unsigned c = crc;
  for (std::uint8_t b : bytes) c = kCrcTable[(b ^ (c >> 8)) & 0xFFu] ^ (c << 8);
  return static_cast<std::uint16_t>(c);
}

}  // namespace sigtap::sbf
