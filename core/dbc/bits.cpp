// Bit positions and raw-value packing. Every conversion here is checked:
// float to integer saturates, shifts stay below 64, sums are 64-bit.
#include "core/dbc/bits.hpp"

#include <bit>
#include <cmath>

#include "core/dbc/database.hpp"

namespace sigtap::dbc {
namespace bits {

namespace {
using UInt128 = unsigned __int128;
constexpr Int128 kInt128Max = static_cast<Int128>(~UInt128{0} >> 1);
constexpr Int128 kInt128Min = -kInt128Max - 1;
}  // namespace

bool fits(std::uint32_t start_bit, std::uint32_t size, bool big_endian, std::uint64_t length) {
  // Sums in 64 bits: a 32-bit start bit plus a 32-bit size cannot wrap there.
  // Big-endian start bits count from the most significant bit of byte 0.
  const std::uint64_t first = big_endian ? (start_bit ^ 7u) : start_bit;
  return length >= (std::uint64_t{1} << 60) || first + size <= length * 8;
}

std::optional<std::vector<Position>> positions(std::uint32_t start_bit, std::uint32_t size, bool big_endian,
                                               std::uint64_t length) {
  const std::uint64_t first = big_endian ? (start_bit ^ 7u) : start_bit;
  const std::uint64_t end = first + size;
  if (size == 0) return std::vector<Position>{};
  if (!fits(start_bit, size, big_endian, length)) return std::nullopt;
  std::vector<Position> out(size);
  for (std::uint64_t j = 0; j < size; ++j) {
    if (big_endian) {
      // Sequential index q counts from the most significant bit of byte 0.
      const std::uint64_t q = end - 1 - j;
      out[j] = {q / 8, static_cast<std::uint8_t>(7 - q % 8)};
    } else {
      const std::uint64_t p = first + j;
      out[j] = {p / 8, static_cast<std::uint8_t>(p % 8)};
    }
  }
  return out;
}

Int128 round_to_int128(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  // 2^127 is the first double past the largest 128-bit integer.
  if (r >= 0x1p127) return kInt128Max;
  if (r <= -0x1p127) return kInt128Min;
  return static_cast<Int128>(r);
}

std::string int128_decimal(Int128 v) {
  char buf[48];
  char* p = buf + sizeof buf;
  // The magnitude as unsigned, so the most negative value negates safely.
  UInt128 m = v < 0 ? UInt128{0} - static_cast<UInt128>(v) : static_cast<UInt128>(v);
  do {
    *--p = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  } while (m != 0);
  if (v < 0) *--p = '-';
  return std::string(p, buf + sizeof buf);
}

}  // namespace bits

namespace {

// Converts to single precision the way the hardware rounds, without the
// undefined out-of-range conversion: at or past FLT_MAX + half an ulp the
// nearest value is an infinity.
float to_float32(double v) {
  if (std::isnan(v)) return static_cast<float>(v);
  if (v >= 0x1.ffffffp127) return INFINITY;
  if (v <= -0x1.ffffffp127) return -INFINITY;
  return static_cast<float>(v);
}

std::uint64_t float_bits(const Signal& signal, const RawValue& raw) {
  if (signal.value_type == SignalKind::Float64) {
    const double d = std::holds_alternative<double>(raw) ? std::get<double>(raw)
                                                          : static_cast<double>(std::get<Int128>(raw));
    return std::bit_cast<std::uint64_t>(d);
  }
  // An integer goes straight to single precision: through a double it could round twice.
  const float f = std::holds_alternative<double>(raw) ? to_float32(std::get<double>(raw))
                                                       : static_cast<float>(std::get<Int128>(raw));
  return std::bit_cast<std::uint32_t>(f);
}

}  // namespace

Result<std::uint64_t> raw_to_bits(const Signal& signal, RawValue raw) {
  if (signal.value_type != SignalKind::Integer) return float_bits(signal, raw);
  const Int128 v = std::holds_alternative<double>(raw) ? bits::round_to_int128(std::get<double>(raw))
                                                        : std::get<Int128>(raw);
  // A pattern holds at most 64 bits; wider signals never pass the load checks.
  const std::uint32_t width = signal.size < 64 ? signal.size : 64;
  Int128 lo = 0;
  Int128 hi = 0;
  if (width > 0) {
    if (signal.is_signed) {
      lo = -(Int128{1} << (width - 1));
      hi = (Int128{1} << (width - 1)) - 1;
    } else {
      hi = (Int128{1} << width) - 1;
    }
  }
  if (v < lo || v > hi) {
    return Error::encode("signal " + signal.name + ": raw value " + bits::int128_decimal(v) + " does not fit in " +
                         std::to_string(signal.size) + (signal.is_signed ? " signed" : " unsigned") + " bits (" +
                         bits::int128_decimal(lo) + "..=" + bits::int128_decimal(hi) + ")");
  }
  const std::uint64_t pattern = static_cast<std::uint64_t>(static_cast<unsigned __int128>(v));
  return width >= 64 ? pattern : pattern & ((std::uint64_t{1} << width) - 1);
}

}  // namespace sigtap::dbc
