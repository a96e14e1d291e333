// The sbf codec: open and encode texts, GPS default time, per-source framing and its bound.
#include <gtest/gtest.h>

#include <cmath>

#include "core/codec/sbf.hpp"
#include "core/sbf/writer.hpp"
#include "tests/cpp/sbf/sbf_test_util.hpp"
#include "tests/cpp/test_util.hpp"

namespace sigtap::test {
namespace {

using codec::sbf::Sbf;
constexpr double kNow = 1700000000.25;  // GPS week 2288, tow 252818250 ms
Sbf fixed_clock() { return Sbf(+[] { return kNow; }); }

Message pvt(Fields fields, const char* name = "PVTGeodetic") { return Message{name, std::move(fields), {}}; }
std::vector<Message> decode(Sbf& codec, Bytes data, std::optional<std::uint64_t> source = {}, double ts = 0) {
  std::vector<Message> out;
  EXPECT_TRUE(codec.decode(Packet{std::move(data), {}, ts, source}, out).ok());
  return out;
}
// The header TOW of the one block `encode` wrote, or the error text.
std::string encoded_tow(Sbf& codec, const Message& m) {
  auto r = codec.encode(m);
  if (!r.ok()) return r.error().fmt();
  auto blocks = sbf::Decoder().feed(r->at(0).data);
  return blocks.size() == 1 && blocks[0].tow ? std::to_string(*blocks[0].tow) : "no block";
}

}  // namespace

TEST(SbfCodec, OpenTexts) {
  Options one;
  one.set("x", Value::integer(1));
  for (auto [spec, opts, want] : {std::tuple{"sbf:", Options{}, "the sbf codec takes no argument"},
                                  {"sbf:x", one, "the sbf codec takes no argument"},
                                  {"SBF", one, "the sbf codec does not take the option(s) x"}, {"sbf", Options{}, ""}}) {
    EXPECT_EQ(error_text(codec::open(spec, opts)), want) << spec;
  }
}

TEST(SbfCodec, EncodeReadsFieldsInOrderWithExactTexts) {
  const std::string refused = " (PVTGeodetic, AttEuler; other blocks: send their bytes as data)";
  const auto i = Value::integer;
  const auto f = Value::real;
  const std::pair<Message, std::string> cases[] = {
      {pvt({}), "252818250"}, {pvt({{"tow", f(3.0)}, {"mode_name", Value::str("x")}, {"revision", i(9)}}), "3"},
      {pvt({{"tow", f(-0.0)}}), "0"}, {pvt({{"tow", Value::boolean(true)}}), "1"}, {pvt({{"tow", {}}}, "AttEuler"), "252818250"},
      {pvt({{"tow", i(4294967294)}}), "4294967294"},
      {pvt({{"tow", f(3.5)}}), "encode error: field tow: 3.5 is out of range"},
      {pvt({{"tow", i(-1)}}), "encode error: field tow: -1 is out of range"},
      {pvt({{"tow", f(INFINITY)}}, "AttEuler"), "encode error: field tow: inf is out of range"},
      {pvt({{"tow", Value::str("x")}}), "encode error: field tow: \"x\" is out of range"},
      {pvt({{"nr_sv", f(1e300)}}), "encode error: field nr_sv: 1e300 is out of range"},
      {pvt({{"mode", i(256)}}), "encode error: field mode: 256 is out of range"},
      {pvt({{"mode", i(65536)}}, "AttEuler"), "encode error: field mode: 65536 is out of range"},
      {pvt({{"latitude", Value::str("north")}}), "encode error: field latitude: \"north\" is not a number"},
      {pvt({{"heading", Value::map({})}}, "AttEuler"), "encode error: field heading: {} is not a number"},
      {pvt({{"mode_2d", i(1)}}), "encode error: field mode_2d: 1 is not a boolean"},
      {pvt({{"tow", i(1)}, {"tow", i(2)}}), "encode error: PVTGeodetic has no field \"tow\""},
      {pvt({{"zz", i(1)}, {"misc", i(256)}}), "encode error: field misc: 256 is out of range"},
      {pvt({{"error", i(1)}, {"zz\n", i(1)}}, "AttEuler"), "encode error: AttEuler has no field \"zz\\n\""},
      {pvt({}, "pvtgeodetic"), "the sbf codec cannot encode \"pvtgeodetic\"" + refused},
      {pvt({}, "AttEulerX"), "the sbf codec cannot encode \"AttEulerX\"" + refused},
      {Message{}, "the sbf codec cannot encode \"\"" + refused}};
  Sbf codec = fixed_clock();
  for (const auto& [m, want] : cases) EXPECT_EQ(encoded_tow(codec, m), want) << m.name.value_or("") << " " << want;
}

TEST(SbfCodec, EncodeDefaultsAndGpsTime) {
  sbf::PvtGeodetic want;
  want.tow = 252818250, want.wnc = 2288, want.time_system = 0, want.datum = 0, want.mode = 0x83;
  Sbf codec = fixed_clock();
  auto got = codec.encode(pvt({{"mode", Value::integer(3)}, {"mode_2d", Value::boolean(true)}, {"datum", {}}}));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->at(0).data, *want.encode());
  for (auto [t, tow, wnc] : {std::tuple{315964782.0, 0u, 0u}, {-5.0, 0u, 0u}, {NAN, 0u, 0u}, {kNow, 252818250u, 2288u},
                             {1e30, 18446744073709551615ull % 604800000, (18446744073709551615ull / 604800000) % 65536}}) {
    EXPECT_EQ(codec::sbf::gps_time(t).tow, tow) << t;
    EXPECT_EQ(codec::sbf::gps_time(t).wnc, wnc) << t;
  }
}

TEST(SbfCodec, DecodeNamesFieldsPacketsAndTimestamps) {
  Sbf codec = fixed_clock();
  const Bytes block = sbf_block(0x4000 | 4003, {7, 0, 0, 0, 0xFF, 0xFF, 1, 2});
  EXPECT_TRUE(decode(codec, Bytes(block.begin(), block.begin() + 5), {}, 1.0).empty());
  auto got = decode(codec, Bytes(block.begin() + 5, block.end()), {}, 2.0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (Message{"Block4003", {{"tow", Value::integer(7)}, {"wnc", {}}, {"revision", Value::integer(2)}},
                             Packet{block, {}, 2.0, {}}}));
}

TEST(SbfCodec, DecodedBlocksReEncodeToTheSameBytes) {
  sbf::PvtGeodetic p;
  p.tow = 1, p.wnc = 2, p.mode = 0x84, p.error = 3, p.latitude = 0.5, p.vn = 0.1, p.cog = -1e-7, p.time_system = 1;
  p.datum = 2, p.nr_sv = 9, p.reference_id = 4, p.signal_info = 7, p.nr_bases = 1, p.h_accuracy = 5;
  sbf::AttEuler a;
  a.tow = 1, a.wnc = 2, a.nr_sv = 3, a.mode = 2, a.heading = 359.9, a.roll_dot = 0.3;
  Sbf codec = fixed_clock();
  for (const auto& [block, name] : {std::pair{*p.encode(), "PVTGeodetic"}, {a.encode(), "AttEuler"}}) {
    auto got = decode(codec, block);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, name);
    EXPECT_EQ(got[0].fields.back().first, "revision");
    auto again = codec.encode(got[0]);
    ASSERT_TRUE(again.ok()) << again.error().fmt();
    EXPECT_EQ(again->at(0).data, block) << name;
  }
}

TEST(SbfCodec, SourcesAreFramedSeparatelyAndTheLeastRecentlyFedIsDropped) {
  Sbf codec;
  const Bytes block = sbf_block(4003, Bytes(20, 1));
  const Bytes head(block.begin(), block.begin() + 10), tail(block.begin() + 10, block.end());
  for (std::uint64_t s = 1; s <= Sbf::kMaxStreams; ++s) EXPECT_TRUE(decode(codec, head, s).empty());
  EXPECT_TRUE(decode(codec, {}, 1).empty());  // source 1 is now the most recently fed
  EXPECT_TRUE(decode(codec, head).empty());   // the absent source is one more: source 2 goes
  EXPECT_EQ(codec.stream_count(), Sbf::kMaxStreams);
  EXPECT_EQ(decode(codec, tail, 1).size(), 1u);
  EXPECT_EQ(decode(codec, tail, 3).size(), 1u);
  EXPECT_EQ(decode(codec, tail).size(), 1u);
  EXPECT_TRUE(decode(codec, tail, 2).empty());
}

}  // namespace sigtap::test
