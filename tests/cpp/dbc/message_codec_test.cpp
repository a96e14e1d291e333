// Encoding and decoding whole messages: multiplexing, scaling, choices,
// strict checks, short and long payloads.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap::dbc {
namespace {

using test::make_message;
using test::Sig;
using Bytes = std::vector<std::uint8_t>;

constexpr EncodeOptions kStrict{};
constexpr EncodeOptions kLoose{.scaling = true, .strict = false};

std::string encode_error(const Message& m, const NamedValues& v, EncodeOptions o = kStrict) {
  auto r = m.encode(v, o);
  return r.ok() ? "ok" : r.error().fmt();
}

// Sel (byte 0) switches A (1) and B (2); Sub (byte 3, muxed by Sel = 3)
// switches Deep (4); Temp sits in byte 7.
Message mux_message() {
  return make_message("Mux", 8,
                      {Sig("Sel", 0, 8), Sig("A", 8, 16).scale(0.5, 0).mux(0, {{1, 1}}),
                       Sig("B", 23, 12).be().sgn().mux(0, {{2, 2}}).choice(-1, "neg"), Sig("Sub", 24, 8).mux(0, {{3, 3}}),
                       Sig("Deep", 32, 8).mux(3, {{7, 9}}), Sig("Temp", 56, 8).scale(1, -40).init(45).range(-40, 100)});
}

TEST(DbcDecode, WorkedCases) {
  const Message mux = mux_message();
  const Message plain = make_message(
      "P", 8,
      {Sig("u64", 0, 64).choice(-1, "never"), Sig("f", 0, 32).kind(SignalKind::Float32)});
  const Message late = make_message("Late", 8, {Sig("m", 0, 8).mux(1, {{1, 1}}), Sig("S", 32, 8)});
  const Message scaled = make_message("S", 2, {Sig("t", 0, 8).scale(1, -40), Sig("h", 8, 8).scale(0.5, 0)});
  const Message huge = make_message("H", 8, {Sig("x", 0, 40).scale(0x1p40, 0), Sig("y", 0, 64).scale(1e30, 0)});
  struct Case {
    const Message* m;
    Bytes data;
    DecodeOptions options;
    NamedValues want;
    const char* error;
  } cases[] = {
      {&mux, {1, 10, 0, 0, 0, 0, 0, 40}, {}, {{"Sel", 1}, {"A", 5.0}, {"Temp", 0}}, ""},
      {&mux, {2, 0, 0xFF, 0xF0, 0, 0, 0, 0}, {}, {{"Sel", 2}, {"B", "neg"}, {"Temp", -40}}, ""},
      {&mux, {2, 0, 0xFF, 0xF0, 0, 0, 0, 0}, {.decode_choices = false}, {{"Sel", 2}, {"B", -1}, {"Temp", -40}}, ""},
      {&mux, {3, 0, 0, 8, 6, 0, 0, 0}, {}, {{"Sel", 3}, {"Sub", 8}, {"Deep", 6}, {"Temp", -40}}, ""},
      {&mux, {3, 0, 0, 10, 6, 0, 0, 0}, {}, {{"Sel", 3}, {"Sub", 10}, {"Temp", -40}}, ""},
      // Short data: what fits decodes, a deciding switch or a present signal past the end fails.
      {&mux, {1, 10, 0}, {}, {}, "decode error: 3 bytes is too short for signal Temp of Mux (8 bytes)"},
      {&mux, {3, 0, 0}, {}, {}, "decode error: 3 bytes is too short for signal Sub of Mux (8 bytes)"},
      {&late, {1, 2, 3, 4}, {}, {}, "decode error: 4 bytes is too short for message Late (8 bytes)"},
      {&mux, {}, {}, {}, "decode error: 0 bytes is too short for signal Sel of Mux (8 bytes)"},
      // Longer data is read as if cut.
      {&mux, {1, 4, 0, 0, 0, 0, 0, 40, 0xFF, 0xFF}, {}, {{"Sel", 1}, {"A", 2.0}, {"Temp", 0}}, ""},
      {&plain, Bytes(8, 0xFF), {.scaling = false}, {{"u64", 18446744073709551615.0}, {"f", std::nan("")}}, ""},
      {&plain, {0, 0, 0xC0, 0x3F, 0, 0, 0, 0}, {}, {{"u64", 0x3FC00000}, {"f", 1.5}}, ""},
      {&scaled, {0, 5}, {}, {{"t", -40}, {"h", 2.5}}, ""},
      {&scaled, {3, 5}, {.scaling = false}, {{"t", 3}, {"h", 5}}, ""},
      {&huge, {0, 0, 0, 0, 1, 0, 0, 0}, {}, {{"x", 0x1p72}, {"y", 0x1p32 * 1e30}}, ""},
  };
  for (const Case& c : cases) {
    auto got = c.m->decode(c.data, c.options);
    const std::string where = c.m->name + " " + std::to_string(&c - cases);
    if (*c.error) {
      ASSERT_FALSE(got.ok()) << where;
      EXPECT_EQ(got.error().fmt(), c.error);
      continue;
    }
    ASSERT_TRUE(got.ok()) << where << ": " << got.error().fmt();
    ASSERT_EQ(got->size(), c.want.size()) << where;
    for (std::size_t i = 0; i < got->size(); ++i) {
      EXPECT_EQ((*got)[i].first, c.want[i].first) << where;
      const auto* f = std::get_if<double>(&(*got)[i].second);
      if (f && std::isnan(*f)) continue;
      EXPECT_EQ((*got)[i].second, c.want[i].second) << where << " " << (*got)[i].first;
    }
  }
}

TEST(DbcDecode, LoopingSwitchesAreAbsentNotFatal) {
  const Message m = make_message("L", 2, {Sig("a", 0, 4).mux(1, {{0, 15}}), Sig("b", 4, 4).mux(0, {{0, 15}}),
                                          Sig("c", 8, 8).mux(0, {{0, 15}}), Sig("d", 8, 8)});
  auto got = m.decode(Bytes{0, 1}, {});
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, (NamedValues{{"d", 1}}));
}

TEST(DbcEncode, WorkedCases) {
  const Message mux = mux_message();
  const Message scaled = make_message("S", 2, {Sig("v", 0, 8).scale(2, -40), Sig("w", 8, 8).scale(0.5, 10)});
  const Message wide = make_message("W", 8, {Sig("i", 0, 64).sgn()});
  const Message neg = make_message("N", 8, {Sig("i", 0, 64).sgn().scale(-1, 0)});
  const Message overlap = make_message("O", 1, {Sig("lo", 0, 8), Sig("hi", 4, 4)});
  const Message sw = make_message("Q", 2, {Sig("s", 0, 8).sgn(), Sig("m", 8, 8).mux(0, {{255, 255}})});
  const Message fl = make_message("F", 8, {Sig("d", 0, 64).kind(SignalKind::Float64).range(0, 1)});
  struct Case {
    const Message* m;
    NamedValues values;
    EncodeOptions options;
    Bytes want;
    const char* error;
  } cases[] = {
      {&mux, {}, kLoose, {0, 0, 0, 0, 0, 0, 0, 45}, ""},
      {&mux, {{"Sel", 1}, {"A", 2.5}}, kLoose, {1, 5, 0, 0, 0, 0, 0, 45}, ""},
      {&mux, {{"Sel", 3}, {"Sub", 9}, {"Deep", 4}, {"Temp", 0}}, kStrict, {3, 0, 0, 9, 4, 0, 0, 40}, ""},
      {&mux, {{"Sel", 2}, {"A", 1}, {"B", "neg"}}, kLoose, {2, 0, 0xFF, 0xF0, 0, 0, 0, 45}, ""},
      {&mux, {{"Sel", 1}, {"Sel", 2}, {"B", -2}, {"Temp", 1}}, kStrict, {2, 0, 0xFF, 0xE0, 0, 0, 0, 41}, ""},
      {&mux, {}, kStrict, {},
       "encode error: missing value for signal Sel of Mux (pass strict=False to use its initial value)"},
      {&mux, {{"Sel", 1}, {"Temp", 0}}, kStrict, {},
       "encode error: missing value for signal A of Mux (pass strict=False to use its initial value)"},
      {&mux, {{"nope", 1}}, kLoose, {}, "encode error: message Mux has no signal \"nope\""},
      {&mux, {{"Sel", 1}, {"A", 1}, {"B", 1}, {"Temp", 0}}, kStrict, {},
       "encode error: signal B of Mux is not present for the given multiplexor value"},
      {&mux, {{"Sel", 2}, {"B", "pos"}}, kLoose, {}, "encode error: \"pos\" is not a value of signal B (choices: neg)"},
      {&mux, {{"Sel", 2}, {"B", 0}, {"Temp", 100.0000005}}, kStrict, {2, 0, 0, 0, 0, 0, 0, 140}, ""},
      {&mux, {{"Sel", 2}, {"B", 0}, {"Temp", 100.01}}, kStrict, {},
       "encode error: signal Temp: 100.01 is above the maximum 100"},
      {&mux, {{"Sel", 2}, {"B", 0}, {"Temp", -41}}, kStrict, {}, "encode error: signal Temp: -41 is below the minimum -40"},
      {&mux, {{"Sel", 2}, {"B", 0}, {"Temp", 141}}, {.scaling = false, .strict = true}, {},
       "encode error: signal Temp: 101 is above the maximum 100"},
      {&mux, {{"Sel", 2}, {"B", 0}, {"Temp", NAN}}, kStrict, {}, "encode error: signal Temp cannot hold NaN"},
      // Factor 2, offset -40: exact when divisible, else rounded half away from zero.
      {&scaled, {{"v", 0}, {"w", 12.5}}, kStrict, {20, 5}, ""},
      {&scaled, {{"v", 1}, {"w", 10}}, kStrict, {21, 0}, ""},
      {&scaled, {{"v", 0.0}, {"w", 10}}, kStrict, {20, 0}, ""},
      {&wide, {{"i", INT64_MAX}}, kStrict, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, ""},
      {&neg, {{"i", INT64_MIN}}, kStrict, {},
       "encode error: signal i: raw value 9223372036854775808 does not fit in 64 signed bits "
       "(-9223372036854775808..=9223372036854775807)"},
      {&overlap, {{"lo", 0xFF}, {"hi", 0}}, kStrict, {0x0F}, ""},
      {&sw, {{"s", -1}, {"m", 7}}, kStrict, {0xFF, 7}, ""},
      {&fl, {{"d", INFINITY}}, kStrict, {}, "encode error: signal d: inf is above the maximum 1"},
      {&fl, {{"d", NAN}}, kStrict, {0, 0, 0, 0, 0, 0, 0xF8, 0x7F}, ""},
  };
  for (const Case& c : cases) {
    auto got = c.m->encode(c.values, c.options);
    const std::string where = c.m->name + " " + std::to_string(&c - cases);
    if (*c.error) {
      EXPECT_EQ(got.ok() ? "ok" : got.error().fmt(), c.error) << where;
    } else {
      ASSERT_TRUE(got.ok()) << where << ": " << got.error().fmt();
      EXPECT_EQ(*got, c.want) << where;
    }
  }
}

TEST(DbcEncode, LoopingSwitchesFailOnlyWhenReached) {
  const Message m = make_message("L", 2, {Sig("d", 8, 8), Sig("a", 0, 4).mux(2, {{0, 15}}), Sig("b", 4, 4).mux(1, {{0, 15}})});
  EXPECT_EQ(encode_error(m, {{"d", 1}}, kLoose), "encode error: cyclic multiplexing");
  const Message self = make_message("S", 1, {Sig("a", 0, 4).mux(0, {{0, 15}})});
  EXPECT_EQ(encode_error(self, {}, kLoose), "encode error: cyclic multiplexing");
}

}  // namespace
}  // namespace sigtap::dbc
