// The dbc codec: opening, options, pass-through, FD padding and bit rate switch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/channel.hpp"
#include "core/codec/dbc.hpp"
#include "core/fields_pool.hpp"
#include "tests/cpp/dbc/dbc_builders.hpp"
#include "tests/cpp/test_data.hpp"

namespace sigtap {
namespace {

using test::make_message, test::Sig;
using Bytes = sigtap::Bytes;

template <class R> std::string error_of(const R& r) { return r.ok() ? "" : r.error().fmt(); }
Packet frame(std::uint32_t id, bool extended, Bytes data) { return {std::move(data), CanHeader{id, extended}, 1.5, {}}; }

Dbc make_codec(dbc::DecodeOptions dec = {}) {
  auto fd8 = make_message("Fd8", 8, {Sig("a", 0, 8)}, 0x300);
  fd8.fd = true;
  auto db = dbc::Database::create(
      "", {}, {make_message("Std", 8, {Sig("v", 0, 8).scale(2, 0).choice(3, "three"), Sig("w", 8, 8)}, 0x100),
               make_message("Ext", 2, {Sig("e", 0, 16)}, 0x100, true), make_message("Long", 10, {Sig("x", 72, 8)}, 0x200), fd8});
  return Dbc(std::move(db).value(), {}, dec);
}

TEST(DbcCodec, OpenChecksArgumentThenOptionsBeforeTheFile) {
  EXPECT_EQ(error_of(codec::open("dbc", {})), "the dbc codec needs a file: \"dbc:path/to/file.dbc\"");
  Options foo, bad;
  foo.set("foo", Value::integer(1)), foo.set("strict", Value::str("off"));
  bad.set("scaling", Value::real(2.5)), bad.set("strict", Value::real(1.5));  // read first: strict
  EXPECT_EQ(error_of(codec::open("dbc:/none.dbc", foo)), "the dbc codec does not take the option(s) foo");
  EXPECT_EQ(error_of(codec::open("dbc:/none.dbc", bad)), "option strict: 1.5 is not a boolean");
  EXPECT_EQ(codec::open("dbc:", {}).error().kind(), ErrorKind::Io);
}

TEST(DbcCodec, DecodeNamesKnownFramesAndPassesOthersThrough) {
  Dbc codec = make_codec();
  std::vector<Message> out;
  for (Packet p : {frame(0x100, false, {3, 4, 9}), frame(0x100, true, {1, 2}), frame(0x7FF, false, {1}), Packet{{1}, {}, {}, {}}}) {
    ASSERT_TRUE(codec.decode(p, out).ok());
    EXPECT_EQ(out.back().packet, p);
  }
  EXPECT_TRUE(out[0].name == "Std" && fields_equal(out[0].fields, {{"v", Value::str("three")}, {"w", Value::integer(4)}}));
  EXPECT_TRUE(out[1].name == "Ext" && fields_equal(out[1].fields, {{"e", Value::integer(0x201)}}));
  EXPECT_TRUE(!out[2].name && !out[3].name && out[2].fields.empty() && out[3].fields.empty());
  EXPECT_EQ(error_of(codec.decode(frame(0x200, false, Bytes(9, 0)), out)),
            "decode error: 9 bytes is too short for signal x of Long (10 bytes)");
  EXPECT_EQ(out.size(), 4u);
  Dbc raw = make_codec({.decode_choices = true, .scaling = false}), plain = make_codec({.decode_choices = false});
  ASSERT_TRUE(raw.decode(frame(0x100, false, {5, 0}), out).ok() && plain.decode(frame(0x100, false, {3, 0}), out).ok());
  EXPECT_TRUE(out[4].fields[0].second == Value::integer(5) && out[5].fields[0].second == Value::integer(6));
}

TEST(DbcCodec, EncodePadsFdFramesAndSetsTheHeader) {
  Dbc codec = make_codec();
  struct Case { Message m; Bytes data; CanHeader can; } cases[] = {
      {{"Std", {{"v", Value::integer(6)}, {"w", Value::boolean(true)}}, {}}, {3, 1, 0, 0, 0, 0, 0, 0}, {0x100}},
      {{"Long", {{"x", Value::real(7)}}, {}}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0}, {0x200, false, true, true}},
      {{"Fd8", {{"a", Value::integer(1)}}, {}}, {1, 0, 0, 0, 0, 0, 0, 0}, {0x300, false, true, true}},
  };
  for (const Case& c : cases) {
    auto got = codec.encode(c.m);
    EXPECT_EQ(got.ok() ? *got : std::vector<Packet>{}, (std::vector<Packet>{{PacketBytes(c.data), c.can, {}, {}}})) << *c.m.name;
  }
  EXPECT_EQ(error_of(codec.encode({"Std", {{"w", Value::null()}}, {}})), "encode error: signal w: null is not a signal value");
  EXPECT_EQ(error_of(codec.encode({{}, {}, {}})), "no message named \"\"");
  EXPECT_EQ(error_of(codec::fd_length(65)), "encode error: 65 bytes exceeds CAN FD");
}

TEST(DbcCodec, RealFileFramesSurviveDecodeThenEncode) {
  Options loose;
  loose.set("strict", Value::boolean(false));
  auto opened = codec::open("dbc:" + test::test_data("/dbc/opendbc/vw_mqb.dbc"), loose);
  ASSERT_TRUE(opened.ok()) << opened.error().fmt();
  auto& codec = static_cast<Dbc&>(**opened);
  std::uint64_t seed = 1;
  for (const dbc::Message& def : codec.database().messages()) {
    Bytes data(def.size);
    for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 6364136223846793005u + 1442695040888963407u) >> 56);
    // Any payload decodes, and its values encode back to the bits of every present signal.
    std::vector<Message> first, second;
    ASSERT_TRUE(codec.decode(frame(def.id, def.extended, data), first).ok()) << def.name;
    auto encoded = codec.encode(first[0]);
    ASSERT_TRUE(encoded.ok() && codec.decode((*encoded)[0], second).ok()) << def.name << ": " << error_of(encoded);
    EXPECT_EQ(first[0].fields, second[0].fields) << def.name;
  }
}

// A generated DBC file with a message of 3,000 one-bit signals (they overlap:
// signal i reads bit i % 64) beside one of five: decoding over the thread's
// pooled lists gives every signal of every frame.
bool big_message_frames_decode_whole() {
  std::string dir = "/tmp/sigtap-dbc-codec-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return false;
  const std::string path = dir + "/big.dbc";
  {
    std::ofstream file(path);
    file << "VERSION \"\"\n\nBU_: N\n\nBO_ 1 Small: 8 N\n";
    for (int i = 0; i < 5; ++i) file << " SG_ small" << i << " : " << i * 8 << "|8@1+ (1,0) [0|255] \"\" N\n";
    file << "\nBO_ 2 Big: 8 N\n";
    for (int i = 0; i < 3000; ++i) file << " SG_ big_signal_" << i << " : " << i % 64 << "|1@1+ (1,0) [0|1] \"\" N\n";
  }
  bool good = true;
  // A thread of its own, whose pool starts empty.
  std::thread([&] {
    auto rx = Channel::open("mem://dbc-codec-big", "dbc:" + path, {});
    auto tx = Channel::open("mem://dbc-codec-big", "raw", {});
    if (!rx.ok() || !tx.ok()) {
      std::fprintf(stderr, "open: %s%s\n", error_of(rx).c_str(), error_of(tx).c_str());
      good = false;
      return;
    }
    const Bytes small = {1, 2, 3, 4, 5, 6, 7, 8}, big = {0x5A, 0x0F, 0xF0, 0x01, 0x80, 0xFF, 0x00, 0xC3};
    const auto receive = [&](std::uint32_t id, const Bytes& data) {
      auto sent = tx->send(Message{{}, {}, frame(id, false, data)});
      auto got = rx->recv(Duration{30, 0});
      if (!sent.ok() || !got.ok() || !*got) return Message{};
      return std::move(**got);
    };
    std::vector<Message> held;
    for (int i = 0; i < 3; ++i) held.push_back(receive(1, small));
    for (Message& m : held) {
      good = good && m.fields.size() == 5 && m.fields[4].second == Value::integer(5);
      recycle_fields(m.fields);  // as the binding does with a message that is gone
    }
    for (int round = 0; round < 3; ++round) {
      Message m = receive(2, big);
      bool whole = m.fields.size() == 3000;
      for (std::size_t i = 0; whole && i < 3000; ++i) {
        whole = m.fields[i].first == "big_signal_" + std::to_string(i) &&
                m.fields[i].second == Value::integer((big[i % 64 / 8] >> (i % 8)) & 1);
      }
      if (!whole) std::fprintf(stderr, "round %d: %zu fields, not the frame's\n", round, m.fields.size());
      good = good && whole;
      recycle_fields(m.fields);
    }
  }).join();
  std::filesystem::remove_all(dir);
  return good;
}

// In a child process, so that a decode that writes past its storage fails this test alone.
TEST(DbcCodec, AMessageOfThousandsOfSignalsDecodesWholeAfterShortOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(big_message_frames_decode_whole() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace sigtap
