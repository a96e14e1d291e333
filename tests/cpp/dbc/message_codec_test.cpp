// Encoding and decoding whole messages: multiplexing, scaling, choices,
// strict checks, short and long payloads.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap::dbc {
namespace {

using test::make_message, test::Sig;
using Bytes = sigtap::Bytes;

constexpr EncodeOptions kStrict{}, kLoose{.scaling = true, .strict = false}, kRaw{.scaling = false, .strict = true};
const std::string kEnc = "encode error: ";

// Sel (byte 0) switches A (1), B (2) and Sub (3); Sub switches Deep (7 to 9).
const Message kMux = make_message(
    "Mux", 8, {Sig("Sel", 0, 8), Sig("A", 8, 16).scale(0.5, 0).muxed(0, {{1, 1}}),
               Sig("B", 23, 12).be().sgn().muxed(0, {{2, 2}}).choice(-1, "neg"), Sig("Sub", 24, 8).muxed(0, {{3, 3}}),
               Sig("Deep", 32, 8).muxed(3, {{7, 9}}), Sig("Temp", 56, 8).scale(1, -40).init(45).range(-40, 100)});

TEST(DbcDecode, WorkedCases) {
  const Message late = make_message("Late", 8, {Sig("m", 0, 8).muxed(1, {{1, 1}}), Sig("S", 32, 8)});
  const Message plain = make_message("P", 8, {Sig("u64", 0, 64).choice(-1, "x"), Sig("f", 0, 1).sgn()});
  const Message flt = make_message("F", 4, {Sig("f", 0, 32).kind(SignalKind::Float32)});
  // x and y leave 64 bits when scaled; y also leaves 128 bits and takes the float path.
  const Message scaled = make_message("S", 8, {Sig("t", 0, 8).scale(1, -40), Sig("h", 8, 8).scale(0.5, 0),
                                               Sig("x", 0, 40).scale(0x1p40, 0), Sig("y", 0, 64).scale(1e30, 0)});
  // Switches that loop are never present, nor is anything below them; decoding does not fail.
  const Message loop = make_message("L", 2, {Sig("a", 0, 4).muxed(1, {{0, 15}}), Sig("b", 4, 4).muxed(0, {{0, 15}}),
                                             Sig("c", 8, 8).muxed(0, {{0, 15}}), Sig("d", 8, 8)});
  struct Case { const Message& m; Bytes data; DecodeOptions options; NamedValues want; std::string error; } cases[] = {
      {kMux, {1, 10, 0, 0, 0, 0, 0, 40}, {}, {{"Sel", 1}, {"A", 5.0}, {"Temp", 0}}, ""},
      {kMux, {2, 0, 0xFF, 0xF0, 0, 0, 0, 0}, {}, {{"Sel", 2}, {"B", "neg"}, {"Temp", -40}}, ""},
      {kMux, {3, 0, 0, 8, 6, 0, 0, 0}, {}, {{"Sel", 3}, {"Sub", 8}, {"Deep", 6}, {"Temp", -40}}, ""},
      {kMux, {1, 10, 0}, {}, {}, "decode error: 3 bytes is too short for signal Temp of Mux (8 bytes)"},
      {late, {1, 2, 3}, {}, {}, "decode error: 3 bytes is too short for message Late (8 bytes)"},
      {kMux, {1, 4, 0, 0, 0, 0, 0, 40, 0xFF, 0xFF}, {}, {{"Sel", 1}, {"A", 2.0}, {"Temp", 0}}, ""},
      {plain, Bytes(8, 0xFF), {.scaling = false}, {{"u64", 18446744073709551615.0}, {"f", -1}}, ""},
      {flt, {0, 0, 0xC0, 0x3F}, {}, {{"f", 1.5}}, ""},
      {scaled, {0, 5, 0, 0, 1, 0, 0, 0}, {},
       {{"t", -40}, {"h", 2.5}, {"x", 0x1p72 + 0x5p48}, {"y", 0x100000500p0 * 1e30}}, ""},
      {scaled, {3, 5, 0, 0, 0, 0, 0, 0}, {.scaling = false}, {{"t", 3}, {"h", 5}, {"x", 1283}, {"y", 1283}}, ""},
      {loop, {0, 1}, {}, {{"d", 1}}, ""},
  };
  for (const Case& c : cases) {
    auto got = c.m.decode(c.data, c.options);
    EXPECT_EQ(got.ok() ? "" : got.error().fmt(), c.error) << &c - cases;
    EXPECT_EQ(got.ok() ? *got : NamedValues{}, c.want) << &c - cases;
  }
}

TEST(DbcEncode, WorkedCases) {
  const Message scaled = make_message("S", 2, {Sig("v", 0, 8).scale(2, -40), Sig("w", 8, 8).scale(0.5, 10)});
  const Message wide = make_message("W", 8, {Sig("i", 0, 64).sgn()});
  const Message neg = make_message("N", 8, {Sig("i", 0, 64).sgn().scale(-1, 0)});
  const Message overlap = make_message("O", 1, {Sig("lo", 0, 8), Sig("hi", 4, 4)});
  const Message sw = make_message("Q", 2, {Sig("s", 0, 8).sgn(), Sig("m", 8, 8).muxed(0, {{255, 255}})});
  const Message fl = make_message("F", 8, {Sig("d", 0, 64).kind(SignalKind::Float64).range(0, 1)});
  const Message loop = make_message("L", 2, {Sig("d", 8, 8), Sig("a", 0, 4).muxed(2, {{0, 15}}), Sig("b", 4, 4).muxed(1, {{0, 15}})});
  const std::string missing = kEnc + "missing value for signal ";
  struct Case { const Message& m; NamedValues values; EncodeOptions options; Bytes want; std::string error; } cases[] = {
      {kMux, {}, kLoose, {0, 0, 0, 0, 0, 0, 0, 45}, ""},
      {kMux, {{"Sel", 3}, {"Sub", 9}, {"Deep", 4}, {"Temp", 0}}, kStrict, {3, 0, 0, 9, 4, 0, 0, 40}, ""},
      {kMux, {{"Sel", 2}, {"A", 1}, {"B", "neg"}}, kLoose, {2, 0, 0xFF, 0xF0, 0, 0, 0, 45}, ""},
      {kMux, {{"Sel", 1}, {"Sel", 2}, {"B", -2}, {"Temp", 1}}, kStrict, {2, 0, 0xFF, 0xE0, 0, 0, 0, 41}, ""},
      {kMux, {}, kStrict, {}, missing + "Sel of Mux (pass strict=False to use its initial value)"},
      {kMux, {{"Sel", 1}, {"Temp", 0}}, kStrict, {}, missing + "A of Mux (pass strict=False to use its initial value)"},
      {kMux, {{"nope", 1}}, kLoose, {}, kEnc + "message Mux has no signal \"nope\""},
      {kMux, {{"Sel", 1}, {"A", 1}, {"B", 1}, {"Temp", 0}}, kStrict, {},
       kEnc + "signal B of Mux is not present for the given multiplexor value"},
      {kMux, {{"Sel", 2}, {"B", "pos"}}, kLoose, {}, kEnc + "\"pos\" is not a value of signal B (choices: neg)"},
      {kMux, {{"Sel", 2}, {"B", 0}, {"Temp", 100.0000005}}, kStrict, {2, 0, 0, 0, 0, 0, 0, 140}, ""},
      {kMux, {{"Sel", 2}, {"B", 0}, {"Temp", 100.01}}, kStrict, {}, kEnc + "signal Temp: 100.01 is above the maximum 100"},
      {kMux, {{"Sel", 2}, {"B", 0}, {"Temp", -41}}, kStrict, {}, kEnc + "signal Temp: -41 is below the minimum -40"},
      {kMux, {{"Sel", 2}, {"B", 0}, {"Temp", 141}}, kRaw, {}, kEnc + "signal Temp: 101 is above the maximum 100"},
      {kMux, {{"Sel", 2}, {"B", 0}, {"Temp", NAN}}, kStrict, {}, kEnc + "signal Temp cannot hold NaN"},
      // Factor 2, offset -40: exact when divisible, else rounded half away from zero.
      {scaled, {{"v", 0}, {"w", 12.5}}, kStrict, {20, 5}, ""},
      {scaled, {{"v", 1}, {"w", 10}}, kStrict, {21, 0}, ""},
      {scaled, {{"v", 0.0}, {"w", 10}}, kStrict, {20, 0}, ""},
      {wide, {{"i", INT64_MAX}}, kStrict, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, ""},
      {neg, {{"i", INT64_MIN}}, kStrict, {}, kEnc + "signal i: raw value 9223372036854775808 does not fit in 64 "
                                                    "signed bits (-9223372036854775808..=9223372036854775807)"},
      {overlap, {{"lo", 0xFF}, {"hi", 0}}, kStrict, {0x0F}, ""},
      {sw, {{"s", -1}, {"m", 7}}, kStrict, {0xFF, 7}, ""},
      {fl, {{"d", INFINITY}}, kStrict, {}, kEnc + "signal d: inf is above the maximum 1"},
      {fl, {{"d", NAN}}, kStrict, {0, 0, 0, 0, 0, 0, 0xF8, 0x7F}, ""},
      {loop, {{"d", 1}}, kLoose, {}, kEnc + "cyclic multiplexing"},
  };
  for (const Case& c : cases) {
    auto got = c.m.encode(c.values, c.options);
    EXPECT_EQ(got.ok() ? "" : got.error().fmt(), c.error) << &c - cases;
    EXPECT_EQ(got.ok() ? *got : Bytes{}, c.want) << &c - cases;
  }
}

}  // namespace
}  // namespace sigtap::dbc
