// CRC-16/XMODEM of SBF blocks: table-driven (the table built at compile time), folding with carry-less multiplication where the processor has it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace sigtap::sbf {

namespace detail {
constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned crc = byte << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1;
    table[byte] = static_cast<std::uint16_t>(crc);
  }
  return table;
}
}  // namespace detail

/// Remainders of the polynomial 0x1021 for every byte value.
inline constexpr std::array<std::uint16_t, 256> kCrcTable = detail::make_crc_table();

/// CRC-16/XMODEM (polynomial 0x1021, MSB first, no reflection, no final XOR)
/// of `bytes`, continuing from `crc` (0 starts a new CRC).
std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0);

}  // namespace sigtap::sbf
