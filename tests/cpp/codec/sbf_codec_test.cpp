// The sbf codec: open and encode texts, GPS default time, writer -> decode -> re-encode, per-source framing and its bound.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "core/codec/sbf.hpp"
#include "core/fields_pool.hpp"
#include "core/sbf/writer.hpp"
#include "tests/cpp/test_data.hpp"
#include "tests/cpp/test_util.hpp"

namespace sigtap::test {

using codec::sbf::Sbf;
constexpr double kNow = 1700000000.25;  // GPS week 2288, tow 252818250 ms
static Sbf fixed_clock() { return Sbf(+[] { return kNow; }); }
static Message msg(Fields fields, const char* name = "PVTGeodetic") { return Message{name, std::move(fields), {}}; }
static std::vector<Message> decode(Sbf& codec, Bytes data, std::optional<std::uint64_t> source = {}, double ts = 0) {
  std::vector<Message> out;
  EXPECT_TRUE(codec.decode(Packet{std::move(data), {}, ts, source}, out).ok());
  return out;
}

TEST(SbfCodec, OpenTexts) {
  const Options one = [] { Options o; o.set("x", Value::integer(1)); return o; }();
  for (auto [spec, opts, want] : {std::tuple{"sbf:", Options{}, "the sbf codec takes no argument"}, {"sbf:x", one, "the sbf codec takes no argument"},
                                  {"SBF", one, "the sbf codec does not take the option(s) x"}, {"sbf", Options{}, ""}})
    EXPECT_EQ(error_text(codec::open(spec, opts)), want) << spec;
}

TEST(SbfCodec, EncodeReadsFieldsInOrderWithExactTexts) {
  const std::string refused = " (PVTGeodetic, AttEuler; other blocks: send their bytes as data)", e = "encode error: field ";
  const auto i = Value::integer;
  const auto f = Value::real;
  // Each case: the header TOW of the written block, or the error text.
  const std::pair<Message, std::string> cases[] = {
      {msg({}), "252818250"}, {msg({{"tow", f(3.0)}, {"mode_name", Value::str("x")}, {"revision", i(9)}}), "3"},
      {msg({{"tow", Value::boolean(true)}}), "1"}, {msg({{"tow", {}}}, "AttEuler"), "252818250"},
      {msg({{"tow", f(3.5)}}), e + "tow: 3.5 is out of range"}, {msg({{"tow", i(-1)}}), e + "tow: -1 is out of range"},
      {msg({{"tow", f(INFINITY)}}, "AttEuler"), e + "tow: inf is out of range"}, {msg({{"tow", Value::str("x")}}), e + "tow: \"x\" is out of range"},
      {msg({{"nr_sv", f(1e300)}}), e + "nr_sv: 1e300 is out of range"}, {msg({{"mode", i(256)}}), e + "mode: 256 is out of range"},
      {msg({{"mode", i(65536)}}, "AttEuler"), e + "mode: 65536 is out of range"}, {msg({{"mode_2d", i(1)}}), e + "mode_2d: 1 is not a boolean"},
      {msg({{"latitude", Value::str("north")}}), e + "latitude: \"north\" is not a number"},
      {msg({{"heading", Value::map({})}}, "AttEuler"), e + "heading: {} is not a number"},
      {msg({{"tow", i(1)}, {"tow", i(2)}}), "encode error: PVTGeodetic has no field \"tow\""}, {msg({{"zz", i(1)}, {"misc", i(256)}}), e + "misc: 256 is out of range"},
      {msg({{"error", i(1)}, {"zz\n", i(1)}}, "AttEuler"), "encode error: AttEuler has no field \"zz\\n\""},
      {msg({}, "pvtgeodetic"), "the sbf codec cannot encode \"pvtgeodetic\"" + refused},
      {msg({}, "AttEulerX"), "the sbf codec cannot encode \"AttEulerX\"" + refused}, {Message{}, "the sbf codec cannot encode \"\"" + refused}};
  Sbf codec = fixed_clock();
  for (const auto& [m, want] : cases) {
    auto r = codec.encode(m);
    EXPECT_EQ(r.ok() ? std::to_string(sbf::Decoder().feed(r->at(0).data).at(0).tow.value_or(0)) : r.error().fmt(), want);
  }
}

TEST(SbfCodec, EncodeDefaultsAndGpsTime) {
  const sbf::PvtGeodetic want{.tow = 252818250, .wnc = 2288, .mode = 0x83, .time_system = 0, .datum = 0};
  auto got = fixed_clock().encode(msg({{"mode", Value::integer(3)}, {"mode_2d", Value::boolean(true)}, {"datum", {}}}));
  EXPECT_EQ(got.ok() ? got->at(0).data : Bytes{}, *want.encode());
  for (auto [t, tow, wnc] : {std::tuple{315964782.0, 0u, 0u}, {NAN, 0u, 0u}, {kNow, 252818250u, 2288u},
                             {1e30, 18446744073709551615ull % 604800000, (18446744073709551615ull / 604800000) % 65536}})
    EXPECT_EQ(std::pair(codec::sbf::gps_time(t).tow, codec::sbf::gps_time(t).wnc), std::pair(std::uint32_t(tow), std::uint16_t(wnc))) << t;
}

TEST(SbfCodec, DecodesAndReEncodesToTheSameBytes) {
  const sbf::PvtGeodetic p{.tow = 1, .wnc = 2, .mode = 0x84, .error = 3, .latitude = 0.5, .vn = 0.1, .cog = -1e-7, .time_system = 1,
                            .datum = 2, .nr_sv = 9, .reference_id = 4, .signal_info = 7, .nr_bases = 1, .h_accuracy = 5};
  const sbf::AttEuler a{.tow = 1, .wnc = 2, .nr_sv = 3, .mode = 2, .heading = 359.9, .roll_dot = 0.3};
  Sbf codec = fixed_clock();
  for (const auto& [block, name] : {std::pair{*p.encode(), "PVTGeodetic"}, {a.encode(), "AttEuler"}}) {
    auto got = decode(codec, block);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::pair(*got[0].name, got[0].fields.back().first), std::pair(std::string(name), std::string("revision")));
    auto again = codec.encode(got[0]);
    EXPECT_EQ(again.ok() ? again->at(0).data : Bytes{}, block) << name;
  }
  // An unknown number gives "Block" and the number, the header fields, and the completing packet's timestamp.
  const Bytes block = *sbf::frame_block(4003, 2, Bytes{7, 0, 0, 0, 0xFF, 0xFF, 1, 2});
  EXPECT_TRUE(decode(codec, Bytes(block.begin(), block.begin() + 5), {}, 1.0).empty());
  EXPECT_EQ(decode(codec, Bytes(block.begin() + 5, block.end()), {}, 2.0),
            (std::vector{Message{"Block4003", {{"tow", Value::integer(7)}, {"wnc", {}}, {"revision", Value::integer(2)}}, Packet{PacketBytes(block), {}, 2.0, {}}}}));
}

TEST(SbfCodec, SourcesAreFramedSeparatelyAndTheLeastRecentlyFedIsDropped) {
  Sbf codec;
  const Bytes block = *sbf::frame_block(4003, 0, Bytes(20, 1)), head(block.begin(), block.begin() + 10), tail(block.begin() + 10, block.end());
  for (std::uint64_t s = 1; s <= Sbf::kMaxStreams; ++s) EXPECT_TRUE(decode(codec, head, s).empty());
  EXPECT_TRUE(decode(codec, {}, 1).empty());  // source 1 is now the most recently fed
  EXPECT_TRUE(decode(codec, head).empty());   // the absent source is one more: source 2 goes
  EXPECT_EQ(codec.stream_count(), Sbf::kMaxStreams);
  for (auto [source, blocks] : {std::pair{std::optional<std::uint64_t>(1), 1u}, {3, 1u}, {std::nullopt, 1u}, {2, 0u}})
    EXPECT_EQ(decode(codec, tail, source).size(), blocks) << source.value_or(0);
}

// Only a stream that holds part of a block counts against the bound: many
// sources of whole blocks take no state, and past the bound the most recently
// fed halves still complete.
TEST(SbfCodec, OnlyIncompleteBlocksCountAgainstTheBound) {
  const Bytes block = *sbf::frame_block(4003, 0, Bytes(20, 1)), head(block.begin(), block.begin() + 10), tail(block.begin() + 10, block.end());
  Sbf codec;
  std::size_t whole = 0, completed = 0;
  EXPECT_TRUE(decode(codec, head, 0).empty());
  for (std::uint64_t s = 1; s <= 1100; ++s) whole += decode(codec, block, s).size();
  EXPECT_EQ(std::pair(whole, codec.stream_count()), std::pair(std::size_t{1100}, std::size_t{1}));
  EXPECT_EQ(decode(codec, tail, 0).size(), 1u);
  for (std::uint64_t s = 1; s <= 1500; ++s) EXPECT_TRUE(decode(codec, head, s).empty());
  for (std::uint64_t s = 1; s <= 1500; ++s) completed += decode(codec, tail, s).size();
  EXPECT_EQ(std::pair(completed, codec.stream_count()), std::pair(Sbf::kMaxStreams, std::size_t{0}));
}

// Decoding over lists that messages gave back (as the binding's do when
// freed) gives what fresh lists give: the real logs, then blocks whose
// sub-blocks, texts and lengths change from block to block, in runs of
// several messages per packet, after the pool was filled with other lists.
TEST(SbfCodec, DecodingOverRecycledListsMatchesFreshLists) {
  Bytes stream;
  for (const auto& e : std::filesystem::directory_iterator(test_data("/sbf/pysbf2"))) {
    std::ifstream in(e.path(), std::ios::binary);
    const std::vector<std::uint8_t> log(std::istreambuf_iterator<char>(in), {});
    stream.append(log.data(), log.size());
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    // INSNavGeod with sub-block masks, AttEuler and PVTGeodetic with modes of long and short names.
    const std::uint16_t mask = std::array{0xFF, 0x2B, 0x00, 0x14, 0xE7}[i % 5], mode = static_cast<std::uint16_t>(rng() % 16);
    Bytes body(48 + 12 * std::popcount(mask));
    for (auto& b : body) b = static_cast<std::uint8_t>(rng() % 7 == 0 ? 0xFF : rng());
    const std::uint16_t number = std::array<std::uint16_t, 3>{4226, 5938, 4007}[i % 3];
    std::memcpy(&body[number == 4226 ? 46 : number == 5938 ? 8 : 6], number == 4226 ? &mask : &mode, 2);
    const Bytes block = *sbf::frame_block(number, 0, body);
    stream.append(block.data(), block.size());
  }
  const auto decode_all = [&stream] {
    Sbf codec;
    std::vector<std::string> shown;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
      for (Message& m : decode(codec, Bytes(stream.begin() + at, stream.begin() + std::min(at + 4096, stream.size())))) {
        shown.push_back(*m.name + " " + Value::map(m.fields).fmt());
        recycle_fields(m.fields);
      }
    }
    return shown;
  };
  std::vector<std::string> fresh, first, again;
  std::thread([&] { fresh = decode_all(); }).join();
  std::thread([&] {
    for (std::size_t length = 1; length <= FieldsPool::kMaxListLength; ++length) {
      Fields filler(length, Field(std::string(20, 'f'), Value::map({{"m", Value::str(std::string(20, 't'))}})));
      recycle_fields(filler);
    }
    first = decode_all();
    again = decode_all();
  }).join();
  ASSERT_GT(fresh.size(), 700u);
  EXPECT_EQ(first, fresh);
  EXPECT_EQ(again, fresh);
}

}  // namespace sigtap::test
