// Signal bit layout and raw-value packing, checked against an independent
// model of DBC bit numbering.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

#include "core/dbc/bits.hpp"
#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap::dbc {
namespace {

using bits::Position;
using test::Sig;

// The layout as DBC tools draw it: a big-endian signal is walked from its
// most significant bit downwards, wrapping from bit 0 to bit 7 of the next byte.
std::optional<std::vector<Position>> model(std::uint32_t start, std::uint32_t size, bool big_endian,
                                           std::uint64_t length) {
  std::vector<Position> out;
  std::uint64_t byte = start / 8;
  int bit = static_cast<int>(start % 8);
  for (std::uint32_t k = 0; k < size; ++k) {
    if (byte >= length) return std::nullopt;
    out.push_back({byte, static_cast<std::uint8_t>(bit)});
    if (!big_endian && ++bit == 8) bit = 0, ++byte;
    if (big_endian && --bit < 0) bit = 7, ++byte;
  }
  if (big_endian) std::reverse(out.begin(), out.end());
  return out;
}

TEST(DbcLayout, EveryStartSizeAndOrderMatchesTheModelAndTouchesNoOtherBit) {
  std::mt19937_64 rng(12345);
  for (std::uint64_t length : {1u, 8u, 64u}) {
    for (bool be : {false, true}) {
      for (std::uint32_t start = 0; start < 8 * length; ++start) {
        for (std::uint32_t size = 1; size <= 64; ++size) {
          const auto expected = model(start, size, be, length);
          ASSERT_EQ(bits::positions(start, size, be, length), expected) << start << "/" << size << "/" << be;
          if (!expected) continue;
          Sig sig("s", start, size);
          if (be) sig.be();
          const Message m = test::make_message("M", length, {sig.sgn()});
          const std::uint64_t raw = size == 64 ? rng() : rng() & ((std::uint64_t{1} << size) - 1);
          std::vector<std::uint8_t> data(length), want(length);
          for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(rng());
          want = data;
          for (std::uint32_t j = 0; j < size; ++j) {
            const Position& p = (*expected)[j];
            want[p.byte] = static_cast<std::uint8_t>((want[p.byte] & ~(1u << p.bit)) | (((raw >> j) & 1) << p.bit));
          }
          m.plan.signals[0].write(data.data(), raw);
          ASSERT_EQ(data, want) << start << "/" << size << "/" << be;
          ASSERT_EQ(m.plan.signals[0].read(data.data()), raw);
          // The same through the public encode and decode, from a zero payload.
          const std::uint64_t sign = std::uint64_t{1} << (size - 1);
          const auto value = static_cast<std::int64_t>((raw ^ sign) - sign);
          auto payload = m.encode({{"s", value}}, {.scaling = false, .strict = true});
          ASSERT_TRUE(payload.ok()) << payload.error().fmt();
          auto back = m.decode(*payload, {.decode_choices = false, .scaling = false});
          ASSERT_TRUE(back.ok());
          ASSERT_EQ(std::get<std::int64_t>((*back)[0].second), value);
        }
      }
    }
  }
}

TEST(DbcLayout, WorkedExamplesAndEdges) {
  auto at = [](std::uint32_t start, std::uint32_t size, bool be, std::uint64_t length, std::size_t j) {
    return bits::positions(start, size, be, length).value().at(j);
  };
  EXPECT_EQ(at(12, 8, true, 8, 7), (Position{1, 4}));
  EXPECT_EQ(at(12, 8, true, 8, 0), (Position{2, 5}));
  EXPECT_EQ(at(7, 64, true, 8, 63), (Position{0, 7}));
  EXPECT_EQ(at(7, 64, true, 8, 0), (Position{7, 0}));
  EXPECT_TRUE(bits::positions(60, 4, false, 8));
  EXPECT_FALSE(bits::positions(60, 5, false, 8));
  EXPECT_FALSE(bits::positions(0, 2, true, 1));
  EXPECT_EQ(bits::positions(5, 0, false, 0), std::vector<Position>{});
  // Sums that would wrap in 32 bits must not make a huge signal fit.
  EXPECT_FALSE(bits::positions(0xFFFFFFF8u, 16, false, 8));
  EXPECT_FALSE(bits::positions(0xFFFFFFFFu, 0xFFFFFFFFu, true, 64));
}

TEST(DbcLayout, RawToBits) {
  using K = SignalKind;
  constexpr Int128 kMax = static_cast<Int128>(~static_cast<unsigned __int128>(0) >> 1);
  struct Case {
    std::uint32_t size;
    bool is_signed;
    K kind;
    RawValue raw;
    std::uint64_t bits;
    const char* error;
  } cases[] = {
      {64, false, K::Integer, Int128{~std::uint64_t{0}}, ~std::uint64_t{0}, ""},
      {64, true, K::Integer, Int128{-1}, ~std::uint64_t{0}, ""},
      {8, true, K::Integer, Int128{-128}, 0x80, ""},
      {8, true, K::Integer, Int128{-129}, 0, "signal s: raw value -129 does not fit in 8 signed bits (-128..=127)"},
      {8, false, K::Integer, Int128{256}, 0, "signal s: raw value 256 does not fit in 8 unsigned bits (0..=255)"},
      {8, false, K::Integer, 2.5, 3, ""},
      {8, true, K::Integer, -0.5, 0xFF, ""},
      {8, false, K::Integer, 1e30, 0,
       "signal s: raw value 1000000000000000019884624838656 does not fit in 8 unsigned bits (0..=255)"},
      {8, false, K::Integer, std::nan(""), 0, ""},
      {64, true, K::Integer, 1e300, 0,
       "signal s: raw value 170141183460469231731687303715884105727 does not fit in 64 signed bits "
       "(-9223372036854775808..=9223372036854775807)"},
      {64, false, K::Integer, -1e300, 0,
       "signal s: raw value -170141183460469231731687303715884105728 does not fit in 64 unsigned bits "
       "(0..=18446744073709551615)"},
      {64, false, K::Integer, kMax, 0,
       "signal s: raw value 170141183460469231731687303715884105727 does not fit in 64 unsigned bits "
       "(0..=18446744073709551615)"},
      {32, false, K::Float32, 0.1, 0x3DCCCCCD, ""},
      {32, false, K::Float32, Int128{16777217}, 0x4B800000, ""},
      {32, false, K::Float32, 1e300, 0x7F800000, ""},
      {32, false, K::Float32, 3.4028235e38, 0x7F7FFFFF, ""},
      {32, false, K::Float32, 3.4028235677973366e38, 0x7F800000, ""},
      {64, false, K::Float64, Int128{3}, std::bit_cast<std::uint64_t>(3.0), ""},
  };
  for (const Case& c : cases) {
    Sig sig("s", 0, c.size);
    sig.kind(c.kind);
    if (c.is_signed) sig.sgn();
    auto got = raw_to_bits(sig, c.raw);
    if (*c.error) {
      ASSERT_FALSE(got.ok()) << c.error;
      EXPECT_EQ(got.error().fmt(), std::string("encode error: ") + c.error);
    } else {
      ASSERT_TRUE(got.ok()) << got.error().fmt();
      EXPECT_EQ(*got, c.bits) << std::hex << *got;
    }
  }
}

}  // namespace
}  // namespace sigtap::dbc
