// Signal bit layout and raw-value packing, checked against an independent
// model of DBC bit numbering.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/dbc/bits.hpp"
#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap::dbc {
namespace {

using bits::Position;
using test::Sig;

// The layout as DBC tools draw it: a big-endian signal is walked from its
// most significant bit downwards, wrapping from bit 0 to bit 7 of the next byte.
std::optional<std::vector<Position>> model(std::uint32_t start, std::uint32_t size, bool be, std::uint64_t length) {
  std::vector<Position> out;
  std::uint64_t byte = start / 8, bit = start % 8;
  for (std::uint32_t k = 0; k < size; ++k) {
    if (byte >= length) return std::nullopt;
    out.push_back({byte, static_cast<std::uint8_t>(bit)});
    if (!be && ++bit == 8) bit = 0, ++byte;
    if (be && bit-- == 0) bit = 7, ++byte;
  }
  if (be) std::reverse(out.begin(), out.end());
  return out;
}

TEST(DbcLayout, EveryStartSizeAndOrderMatchesAnIndependentModelAndTouchesNoOtherBit) {
  std::mt19937_64 rng(12345);
  for (std::uint64_t length : {1u, 8u, 64u}) {
    for (std::uint32_t n = 0; n < 2 * 8 * length * 64; ++n) {
      const bool be = n & 1;
      const std::uint32_t size = (n >> 1) % 64 + 1, start = static_cast<std::uint32_t>((n >> 1) / 64);
      const auto want_layout = model(start, size, be, length);
      ASSERT_EQ(bits::positions(start, size, be, length), want_layout) << start << "/" << size << "/" << be;
      if (!want_layout) continue;
      const Message m = test::make_message("M", length, {be ? Sig("s", start, size).be() : Sig("s", start, size)});
      const std::uint64_t raw = size == 64 ? rng() : rng() & ((std::uint64_t{1} << size) - 1);
      std::vector<std::uint8_t> data(length), want;
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
      want = data;
      for (std::uint32_t j = 0; j < size; ++j) {
        const Position& p = (*want_layout)[j];
        want[p.byte] = static_cast<std::uint8_t>((want[p.byte] & ~(1u << p.bit)) | (((raw >> j) & 1) << p.bit));
      }
      m.plan.signals[0].write(data.data(), raw);
      ASSERT_EQ(data, want) << start << "/" << size << "/" << be;
      ASSERT_EQ(m.plan.signals[0].read(data.data()), raw);
    }
  }
  const auto layout = bits::positions(12, 8, true, 8).value();
  EXPECT_TRUE(layout[7] == (Position{1, 4}) && layout[0] == (Position{2, 5}));
  EXPECT_EQ(bits::positions(5, 0, false, 0), std::vector<Position>{});
  // Sums that would wrap in 32 bits must not make a huge signal fit.
  EXPECT_FALSE(bits::positions(0xFFFFFFF8u, 16, false, 8));
  EXPECT_FALSE(bits::positions(0xFFFFFFFFu, 0xFFFFFFFFu, true, 64));
}

TEST(DbcLayout, RawToBits) {
  using K = SignalKind;
  const std::string fit = "encode error: signal s: raw value ";
  struct Case { std::uint32_t size; bool is_signed; K kind; RawValue raw; std::uint64_t bits; std::string error; } cases[] = {
      {64, false, K::Integer, Int128{~std::uint64_t{0}}, ~std::uint64_t{0}, ""},
      {8, true, K::Integer, Int128{-128}, 0x80, ""},
      {8, true, K::Integer, Int128{-129}, 0, fit + "-129 does not fit in 8 signed bits (-128..=127)"},
      {8, false, K::Integer, Int128{256}, 0, fit + "256 does not fit in 8 unsigned bits (0..=255)"},
      {8, true, K::Integer, -0.5, 0xFF, ""},
      {8, false, K::Integer, 1e30, 0, fit + "1000000000000000019884624838656 does not fit in 8 unsigned bits (0..=255)"},
      {8, false, K::Integer, std::nan(""), 0, ""},
      {64, true, K::Integer, 1e300, 0, fit + "170141183460469231731687303715884105727 does not fit in 64 signed bits "
                                             "(-9223372036854775808..=9223372036854775807)"},
      {32, false, K::Float32, 0.1, 0x3DCCCCCD, ""},
      {32, false, K::Float32, Int128{16777217}, 0x4B800000, ""},
      {32, false, K::Float32, 3.4028235e38, 0x7F7FFFFF, ""},  // past FLT_MAX, nearer to it than to infinity
      {32, false, K::Float32, 3.4028235677973366e38, 0x7F800000, ""},
  };
  for (const Case& c : cases) {
    Sig sig("s", 0, c.size);
    auto got = raw_to_bits(c.is_signed ? sig.kind(c.kind).sgn() : sig.kind(c.kind), c.raw);
    EXPECT_EQ(got.ok() ? "" : got.error().fmt(), c.error);
    EXPECT_EQ(got.ok() ? *got : 0, c.bits) << std::hex << c.bits;
  }
}

}  // namespace
}  // namespace sigtap::dbc
