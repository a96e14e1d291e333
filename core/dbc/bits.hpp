// Where a signal's bits live in a CAN payload and what pattern a raw value
// becomes; pure functions shared by loading, plans, encoding and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/result.hpp"

namespace sigtap::dbc {

struct Signal;

/// A signed 128-bit integer: wide enough for every 64-bit raw value, signed or not.
using Int128 = __int128;
/// A raw value before it is packed: an integer or a float.
using RawValue = std::variant<Int128, double>;

/// The pattern of `raw` for the signal: its low `size` bits for an integer
/// signal, the single-precision pattern in the low half for Float32, the
/// double pattern for Float64. Error::Encode when an integer raw value does
/// not fit the signal's bits; floats never fail.
Result<std::uint64_t> raw_to_bits(const Signal& signal, RawValue raw);

namespace bits {

/// The home of one raw bit: bit `bit` (0 = least significant) of byte `byte`.
struct Position {
  std::uint64_t byte = 0;
  std::uint8_t bit = 0;
  friend bool operator==(const Position&, const Position&) = default;
};

/// Whether a signal of `size` bits from `start_bit` lies inside a payload of
/// `length` bytes (the check `positions` makes; no layout is built).
bool fits(std::uint32_t start_bit, std::uint32_t size, bool big_endian, std::uint64_t length);

/// The homes of raw bits 0 .. size-1 in a payload of `length` bytes, or
/// nothing when the signal does not fit there. Big-endian start bits name the
/// most significant bit (DBC numbering, bit b of byte k is 8k + b).
std::optional<std::vector<Position>> positions(std::uint32_t start_bit, std::uint32_t size, bool big_endian,
                                               std::uint64_t length);

/// Rounds half away from zero and saturates at the 128-bit extremes; NaN gives 0.
Int128 round_to_int128(double v);
/// The integer in decimal digits, with a leading minus sign when negative.
std::string int128_decimal(Int128 v);

}  // namespace bits
}  // namespace sigtap::dbc
