// SBF block writer: golden bytes from a packed struct and a bitwise CRC, error texts, round trips.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "core/sbf/decoder.hpp"
#include "core/sbf/writer.hpp"
#include "tests/cpp/sbf/sbf_test_util.hpp"

namespace sigtap::test {
namespace {

static_assert(std::endian::native == std::endian::little);
#pragma pack(push, 1)
struct PvtBody {
  std::uint32_t tow; std::uint16_t wnc; std::uint8_t mode, error;
  double lat, lon, height; float undulation, vn, ve, vu, cog; double bias; float drift;
  std::uint8_t time_system, datum, nr_sv, wa; std::uint16_t ref, age; std::uint32_t signal;
  std::uint8_t alert, bases; std::uint16_t ppp, latency, h_acc, v_acc; std::uint8_t misc;
};
struct AttBody {
  std::uint32_t tow; std::uint16_t wnc; std::uint8_t nr_sv, error; std::uint16_t mode, reserved;
  float heading, pitch, roll, pitch_dot, roll_dot, heading_dot;
};
#pragma pack(pop)
static_assert(sizeof(PvtBody) == 87 && sizeof(AttBody) == 36);

}  // namespace

TEST(SbfWriter, PvtGeodeticGoldenBytes) {
  sbf::PvtGeodetic r;
  r.tow = 5000, r.wnc = 2300, r.mode = 0x84, r.error = 3, r.latitude = 0.5, r.height = 1e300;
  r.vn = 0.1, r.ve = 1e300, r.vu = -1e39, r.cog = NAN, r.rx_clk_drift = 3.4028235677973366e38, r.time_system = 0;
  r.nr_sv = 12, r.signal_info = 0xA0B0C0D0, r.ppp_info = 7, r.h_accuracy = 42, r.misc = 9;
  const float dnu = -2e10f, inf = INFINITY;
  const PvtBody want{5000, 2300, 0x84, 3, 0.5, -2e10, 1e300, -2e10f, 0.1f, inf, -inf, NAN, -2e10, inf,
                     0, 255, 12, 0, 0xFFFF, 0xFFFF, 0xA0B0C0D0, 0, 0, 7, 0xFFFF, 42, 0xFFFF, 9};
  EXPECT_EQ(*r.encode(), sbf_block(0x4FA7, le_bytes(want)));
  const PvtBody absent{0xFFFFFFFF, 0xFFFF, 0, 0, -2e10, -2e10, -2e10, dnu, dnu, dnu, dnu, dnu, -2e10, dnu,
                       255, 255, 255, 0, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0};
  const Bytes block = *sbf::PvtGeodetic{}.encode();
  EXPECT_EQ(block, sbf_block(0x4FA7, le_bytes(absent)));
  EXPECT_EQ(block.size(), 96u);
}

TEST(SbfWriter, AttEulerGoldenBytesEqualTheFramedBody) {
  sbf::AttEuler r;
  r.tow = 1, r.nr_sv = 4, r.error = 2, r.mode = 0x1234, r.heading = 90.5, r.roll_dot = -0.0;
  const float dnu = -2e10f;
  const Bytes body = le_bytes(AttBody{1, 0xFFFF, 4, 2, 0x1234, 0, 90.5f, dnu, dnu, dnu, -0.0f, dnu});
  EXPECT_EQ(r.encode(), sbf_block(0x3732, body));
  EXPECT_EQ(r.encode(), *sbf::frame_block(5938, 1, body));
}

TEST(SbfWriter, FrameBlockLimits) {
  struct Case { std::uint16_t number; std::uint8_t revision; std::size_t body; const char* error; };
  for (const Case& c : {Case{8192, 0, 10, "SBF error: block number 8192 / revision 0 out of range (13 / 3 bits)"},
                        Case{1, 8, 0, "SBF error: block number 1 / revision 8 out of range (13 / 3 bits)"},
                        Case{9000, 0, 70000, "SBF error: block number 9000 / revision 0 out of range (13 / 3 bits)"},
                        Case{1, 0, 65525, "SBF error: a 65536-byte block exceeds 65535 bytes"},
                        Case{8191, 7, 65524, nullptr}, Case{0, 0, 0, nullptr}, Case{3, 1, 5, nullptr}}) {
    const Bytes body(c.body, 0x24);
    auto r = sbf::frame_block(c.number, c.revision, body);
    if (c.error) {
      EXPECT_EQ(r.ok() ? "" : r.error().fmt(), c.error);
      continue;
    }
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, sbf_block(std::uint16_t(c.number | c.revision << 13), body));
    auto blocks = sbf::Decoder().feed(*r);  // every written block frames again
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].number, c.number);
    EXPECT_EQ(blocks[0].revision, c.revision);
  }
}

}  // namespace sigtap::test
