// SBF block format: CRC, framing (chunking, noise, false syncs) and the writer's golden bytes; real logs: SbfBlockDecoder.RealLogsMatchPysbf2.
// Expected blocks are built here with a bitwise CRC and packed (little-endian host) structs, apart from the library's code.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/sbf/crc.hpp"
#include "core/sbf/decoder.hpp"
#include "core/sbf/writer.hpp"

namespace sigtap::test {

using Bytes = sigtap::Bytes;

// A block: header, body, zero padding and a bitwise CRC; `length` overrides Length, `crc_xor` spoils the CRC.
static Bytes sbf_block(std::uint16_t id, const Bytes& body, int length = -1, std::uint16_t crc_xor = 0) {
  Bytes b((body.size() + 11) / 4 * 4, 0);
  const auto len = static_cast<std::uint16_t>(length < 0 ? b.size() : length);
  b[0] = 0x24, b[1] = 0x40, b[4] = std::uint8_t(id), b[5] = std::uint8_t(id >> 8), b[6] = std::uint8_t(len), b[7] = std::uint8_t(len >> 8);
  std::copy(body.begin(), body.end(), b.begin() + 8);
  std::uint16_t crc = 0;
  for (std::size_t i = 32; i < b.size() * 8; ++i) {
    if (i % 8 == 0) crc ^= static_cast<std::uint16_t>(b[i / 8] << 8);
    crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  b[2] = std::uint8_t(crc ^ crc_xor), b[3] = std::uint8_t((crc ^ crc_xor) >> 8);
  return b;
}

// Feeds the stream in chunks of 0 to `max_chunk` bytes (to `held`, else a new decoder); returns the blocks' bytes.
static std::vector<Bytes> frame(const Bytes& stream, std::size_t max_chunk = SIZE_MAX, sbf::Decoder* held = nullptr) {
  sbf::Decoder own;
  std::mt19937 rng(1);
  std::vector<Bytes> got;
  for (std::size_t at = 0, n = 0; at < stream.size(); at += n) {
    n = std::min(max_chunk == SIZE_MAX ? SIZE_MAX : rng() % (max_chunk + 1), stream.size() - at);
    for (auto& b : (held ? *held : own).feed({stream.data() + at, n})) got.push_back(std::move(b.block_bytes));
  }
  return got;
}

// Every comparison with sbf_block below also checks the table-driven CRC against the bitwise one.
TEST(SbfCrc, CheckValue) {
  EXPECT_EQ(sbf::crc16(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x31C3);
  // Continued from any split, folds of 16 bytes, eight-byte steps and single bytes meet the same register.
  Bytes text(300);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i * 37 + 11);
  for (std::size_t split = 0; split <= text.size(); ++split)
    EXPECT_EQ(sbf::crc16({text.data() + split, text.size() - split}, sbf::crc16({text.data(), split})), sbf::crc16(text)) << split;
}

TEST(SbfFraming, AnyChunkingGivesTheGoodBlocksAndSkipsTheRest) {
  const Bytes a = sbf_block(4007, Bytes(87, 0x24)), b = sbf_block(0x2000 | 5938, {1, 2, 3, 4}), c = sbf_block(99, {});
  // Noise, a false candidate (Length 40) spanning the start of a genuine block, Lengths 10, 7 and 0, a bad CRC, a split sync.
  Bytes stream = {1, 0x24, 0x40, 0x24, 0x24, 0x40, 0, 0, 0, 0, 40, 0};
  for (const Bytes& part : {a, sbf_block(1, {5}, 10), sbf_block(1, {5}, 7), sbf_block(1, {5}, 0), sbf_block(1, {5, 6}, -1, 0x0100), b,
                            Bytes{0x24, 0x24}, c, Bytes{0x40, 9, 0x24}})
    stream.insert(stream.end(), part.begin(), part.end());
  for (std::size_t chunk : {SIZE_MAX, 1ul, 2ul, 9ul, 64ul}) EXPECT_EQ(frame(stream, chunk), (std::vector<Bytes>{a, b, c})) << chunk;
}

TEST(SbfFraming, HeaderFields) {
  // Length 8 has neither, 12 only TOW; the do-not-use codes read as absent.
  for (auto [body, tow, wnc] : {std::tuple{Bytes{}, std::optional<std::uint32_t>{}, std::optional<std::uint16_t>{}}, {Bytes{1, 0, 0, 0}, 1, {}},
                                {Bytes{255, 255, 255, 255, 5, 0}, {}, 5}, {Bytes{2, 1, 0, 0, 255, 255}, 258, {}}}) {
    auto b = sbf::Decoder().feed(sbf_block(0xE000 | 4003, body)).at(0);
    EXPECT_EQ(std::tuple(b.tow, b.wnc, b.number, b.revision, b.name.has_value()), std::tuple(tow, wnc, 4003, 7, false));
  }
}

TEST(SbfFraming, FalseSyncWithTheLargestLengthHoldsBackThenReleasesInOrder) {
  Bytes stream = {0x24, 0x40, 0, 0, 0, 0, 0xFC, 0xFF};
  std::vector<Bytes> want;
  while (stream.size() < 70000) {
    want.push_back(sbf_block(std::uint16_t(4000 + want.size() % 100), Bytes(60, 0x24)));
    stream.insert(stream.end(), want.back().begin(), want.back().end());
  }
  sbf::Decoder d;
  EXPECT_TRUE(frame(Bytes(stream.begin(), stream.begin() + 65531), SIZE_MAX, &d).empty());  // one byte short of the false span
  EXPECT_EQ(d.buffered(), 65531u);
  EXPECT_EQ(frame(Bytes(stream.begin() + 65531, stream.end()), SIZE_MAX, &d), want);
}

#pragma pack(push, 1)
struct PvtBody { std::uint32_t tow; std::uint16_t wnc; std::uint8_t mode, error; double lat, lon, height; float und, vn, ve, vu, cog; double bias;
                 float drift; std::uint8_t time_system, datum, nr_sv, wa; std::uint16_t ref, age; std::uint32_t signal;
                 std::uint8_t alert, bases; std::uint16_t ppp, latency, h_acc, v_acc; std::uint8_t misc; };
struct AttBody { std::uint32_t tow; std::uint16_t wnc; std::uint8_t nr_sv, error; std::uint16_t mode, reserved; float h, p, r, p_dot, r_dot, h_dot; };
#pragma pack(pop)
static_assert(sizeof(PvtBody) == 87 && sizeof(AttBody) == 36);
template <class T> static Bytes packed(const T& v) { return Bytes(reinterpret_cast<const std::uint8_t*>(&v), reinterpret_cast<const std::uint8_t*>(&v + 1)); }
constexpr float kDnu = -2e10f, kInf = INFINITY;

TEST(SbfWriter, GoldenBytes) {
  sbf::PvtGeodetic r;
  r.tow = 5000, r.wnc = 2300, r.mode = 0x84, r.error = 3, r.latitude = 0.5, r.height = 1e300, r.vn = 0.1, r.ve = 1e300, r.vu = -1e39;
  r.cog = NAN, r.rx_clk_drift = 0x1.ffffffp127, r.time_system = 0, r.nr_sv = 12, r.signal_info = 0xA0B0C0D0, r.ppp_info = 7;
  r.h_accuracy = 42, r.misc = 9;
  EXPECT_EQ(*r.encode(), sbf_block(0x4FA7, packed(PvtBody{5000, 2300, 0x84, 3, 0.5, -2e10, 1e300, kDnu, 0.1f, kInf, -kInf, NAN, -2e10, kInf,
                                                         0, 255, 12, 0, 0xFFFF, 0xFFFF, 0xA0B0C0D0, 0, 0, 7, 0xFFFF, 42, 0xFFFF, 9})));
  EXPECT_EQ(*sbf::PvtGeodetic{}.encode(), sbf_block(0x4FA7, packed(PvtBody{0xFFFFFFFF, 0xFFFF, 0, 0, -2e10, -2e10, -2e10, kDnu, kDnu, kDnu, kDnu, kDnu,
                                                                        -2e10, kDnu, 255, 255, 255, 0, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0})));
  const sbf::AttEuler att{.tow = 1, .nr_sv = 4, .error = 2, .mode = 0x1234, .heading = 90.5, .roll_dot = -0.0};
  const Bytes body = packed(AttBody{1, 0xFFFF, 4, 2, 0x1234, 0, 90.5f, kDnu, kDnu, kDnu, -0.0f, kDnu});
  EXPECT_EQ(att.encode(), sbf_block(0x3732, body));
  EXPECT_EQ(att.encode(), *sbf::frame_block(5938, 1, body));
}

TEST(SbfWriter, FrameBlockLimits) {
  const std::string range = " out of range (13 / 3 bits)", size_error = "SBF error: a 65536-byte block exceeds 65535 bytes", ok;
  for (auto [number, revision, size, want] : {std::tuple{8192, 0, 10, "SBF error: block number 8192 / revision 0" + range},
                                              {1, 8, 0, "SBF error: block number 1 / revision 8" + range}, {1, 0, 65525, size_error},
                                              {9000, 0, 70000, "SBF error: block number 9000 / revision 0" + range},
                                              {8191, 7, 65524, ok}, {0, 0, 0, ok}, {3, 1, 5, ok}}) {
    const Bytes body(size, 0x24);
    auto r = sbf::frame_block(std::uint16_t(number), std::uint8_t(revision), body);
    EXPECT_EQ(r.ok() ? *r : Bytes{}, want.empty() ? sbf_block(std::uint16_t(number | revision << 13), body) : Bytes{});
    EXPECT_EQ(r.ok() ? "" : r.error().fmt(), want);
  }
}

}  // namespace sigtap::test
