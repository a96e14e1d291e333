// The dbc codec: opening, options, pass-through, FD padding and bit rate switch.
#include <gtest/gtest.h>

#include "core/codec/dbc.hpp"
#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap {
namespace {

using test::make_message;
using test::Sig;
using Bytes = std::vector<std::uint8_t>;

std::string open_error(std::string_view spec, Options options) {
  auto r = codec::open(spec, std::move(options));
  return r.ok() ? "ok" : r.error().fmt();
}

Dbc make_codec(dbc::EncodeOptions enc = {}, dbc::DecodeOptions dec = {}) {
  auto fd8 = make_message("Fd8", 8, {Sig("a", 0, 8)}, 0x300);
  fd8.fd = true;
  auto db = dbc::Database::create(
      "", {},
      {make_message("Std", 8, {Sig("v", 0, 8).scale(2, 0).choice(3, "three"), Sig("w", 8, 8)}, 0x100),
       make_message("Ext", 2, {Sig("e", 0, 16)}, 0x100, true), make_message("Long", 10, {Sig("x", 72, 8)}, 0x200),
       std::move(fd8)});
  return Dbc(std::move(db).value(), enc, dec);
}

Packet frame(std::uint32_t id, bool extended, Bytes data) { return {std::move(data), CanHeader{id, extended}, 1.5, {}}; }

TEST(DbcCodec, OpenChecksArgumentThenOptionsBeforeTheFile) {
  Options foo;
  foo.set("foo", Value::integer(1));
  foo.set("strict", Value::str("off"));
  Options bad;
  bad.set("scaling", Value::real(2.5));
  bad.set("strict", Value::real(1.5));
  EXPECT_EQ(open_error("dbc", {}), "the dbc codec needs a file: \"dbc:path/to/file.dbc\"");
  EXPECT_EQ(open_error("dbc:/nonexistent/x.dbc", std::move(foo)), "the dbc codec does not take the option(s) foo");
  EXPECT_EQ(open_error("dbc:/nonexistent/x.dbc", std::move(bad)), "option strict: 1.5 is not a boolean");
}

TEST(DbcCodec, DecodeNamesKnownFramesAndPassesOthersThrough) {
  Dbc codec = make_codec();
  std::vector<Message> out;
  ASSERT_TRUE(codec.decode(frame(0x100, false, {3, 4, 9}), out).ok());
  ASSERT_TRUE(codec.decode(frame(0x100, true, {1, 2}), out).ok());
  ASSERT_TRUE(codec.decode(frame(0x7FF, false, {1}), out).ok());
  ASSERT_TRUE(codec.decode(Packet{{1, 2}, {}, {}, {}}, out).ok());
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].name, "Std");
  EXPECT_TRUE(fields_equal(out[0].fields, {{"v", Value::str("three")}, {"w", Value::integer(4)}}));
  EXPECT_EQ(out[0].packet, frame(0x100, false, {3, 4, 9}));
  EXPECT_EQ(out[1].name, "Ext");
  EXPECT_TRUE(fields_equal(out[1].fields, {{"e", Value::integer(0x201)}}));
  for (int i : {2, 3}) {
    EXPECT_FALSE(out[i].name) << i;
    EXPECT_TRUE(out[i].fields.empty());
  }
  EXPECT_EQ(out[2].packet, frame(0x7FF, false, {1}));

  auto st = codec.decode(frame(0x200, false, Bytes(9, 0)), out);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().fmt(), "decode error: 9 bytes is too short for signal x of Long (10 bytes)");
  EXPECT_EQ(out.size(), 4u);
}

TEST(DbcCodec, DecodeOptions) {
  Dbc raw = make_codec({}, {.decode_choices = true, .scaling = false});
  Dbc plain = make_codec({}, {.decode_choices = false, .scaling = true});
  std::vector<Message> out;
  ASSERT_TRUE(raw.decode(frame(0x100, false, {5, 0}), out).ok());
  ASSERT_TRUE(plain.decode(frame(0x100, false, {3, 0}), out).ok());
  EXPECT_TRUE(fields_equal(out[0].fields, {{"v", Value::integer(5)}, {"w", Value::integer(0)}}));
  EXPECT_TRUE(fields_equal(out[1].fields, {{"v", Value::integer(6)}, {"w", Value::integer(0)}}));
}

TEST(DbcCodec, EncodePadsFdFramesAndSetsTheHeader) {
  Dbc codec = make_codec();
  struct Case {
    Message m;
    Bytes data;
    CanHeader can;
  } cases[] = {
      {{"Std", {{"v", Value::integer(6)}, {"w", Value::boolean(true)}}, {}}, {3, 1, 0, 0, 0, 0, 0, 0}, {0x100, false, false, false}},
      {{"Ext", {{"e", Value::str("")}}, {}}, {}, {}},
      {{"Long", {{"x", Value::real(7)}}, {}}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0}, {0x200, false, true, true}},
      {{"Fd8", {{"a", Value::integer(1)}}, {}}, {1, 0, 0, 0, 0, 0, 0, 0}, {0x300, false, true, true}},
  };
  for (const Case& c : cases) {
    auto got = codec.encode(c.m);
    if (c.data.empty()) {
      EXPECT_EQ(got.ok() ? "ok" : got.error().fmt(), "encode error: \"\" is not a value of signal e (choices: )");
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.error().fmt();
    ASSERT_EQ(got->size(), 1u);
    EXPECT_EQ((*got)[0], (Packet{c.data, c.can, {}, {}})) << *c.m.name;
  }
  auto null = codec.encode({"Std", {{"w", Value::null()}}, {}});
  EXPECT_EQ(null.ok() ? "ok" : null.error().fmt(), "encode error: signal w: null is not a signal value");
  auto unknown = codec.encode({{}, {}, {}});
  EXPECT_EQ(unknown.ok() ? "ok" : unknown.error().fmt(), "no message named \"\"");
}

TEST(DbcCodec, FdLengths) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 0}, {7, 7}, {8, 8}, {9, 12}, {13, 16}, {21, 24},
                                                       {25, 32}, {33, 48}, {49, 64}, {64, 64}};
  for (auto [in, want] : cases) EXPECT_EQ(codec::fd_length(in).value(), want) << in;
  EXPECT_EQ(codec::fd_length(65).error().fmt(), "encode error: 65 bytes exceeds CAN FD");
}

}  // namespace
}  // namespace sigtap

namespace sigtap {
namespace {

TEST(DbcCodec, OpensRealFilesAndRoundTripsTheirFrames) {
  auto missing = codec::open("dbc:", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);

  Options loose;
  loose.set("strict", Value::boolean(false));
  auto opened = codec::open("dbc:../shared/data/dbc/opendbc/vw_mqb.dbc", std::move(loose));
  ASSERT_TRUE(opened.ok()) << opened.error().fmt();
  auto& codec = static_cast<Dbc&>(**opened);
  std::uint64_t seed = 1;
  for (const dbc::Message& def : codec.database().messages()) {
    // Decoding any payload and encoding the result gives back the bits of every present signal.
    Bytes data(def.size);
    for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 6364136223846793005u + 1442695040888963407u) >> 56);
    std::vector<Message> first, second;
    ASSERT_TRUE(codec.decode(Packet{data, CanHeader{def.id, def.extended}, {}, {}}, first).ok()) << def.name;
    auto encoded = codec.encode(first[0]);
    ASSERT_TRUE(encoded.ok()) << def.name << ": " << encoded.error().fmt();
    ASSERT_TRUE(codec.decode((*encoded)[0], second).ok());
    EXPECT_EQ(first[0].fields, second[0].fields) << def.name;
  }
}

}  // namespace
}  // namespace sigtap
