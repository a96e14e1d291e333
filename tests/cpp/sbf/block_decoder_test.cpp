// Block decoder tests: bodies packed here byte by byte at the published
// offsets, and the real receiver logs checked against pysbf2's reading.
#include "core/sbf/block_decoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <variant>

#include "core/sbf/block_names.hpp"
#include "core/sbf/decoder.hpp"
#include "core/sbf/fields.hpp"
#include "core/sbf/float_digits.hpp"
#include "tests/cpp/test_data.hpp"

namespace sigtap::sbf {
namespace {

using Bytes = sigtap::Bytes;
struct Put { std::uint16_t offset; std::variant<std::uint8_t, std::int8_t, std::uint16_t, std::uint32_t, float, double> v; };

Bytes body(std::size_t size, const std::vector<Put>& puts) {
  Bytes b(size, 0);
  for (const Put& p : puts) std::visit([&](auto x) { std::memcpy(b.data() + p.offset, &x, sizeof x); }, p.v);
  return b;
}

// A block around `b`: zero-padded to a multiple of 4, or unpadded under a
// given Length (the decoder does not check the CRC).
Bytes frame(std::uint16_t id, const Bytes& b, std::size_t length = 0) {
  Bytes out(length ? 8 + b.size() : (8 + b.size() + 3) / 4 * 4, 0);
  if (length == 0) length = out.size();
  const std::uint8_t header[] = {0x24, 0x40, 0, 0, std::uint8_t(id), std::uint8_t(id >> 8), std::uint8_t(length), std::uint8_t(length >> 8)};
  std::copy(b.begin(), b.end(), std::copy(std::begin(header), std::end(header), out.begin()));
  return out;
}

std::string shown(const DecodedBlock& d) { return d.fields ? Value::map(*d.fields).fmt() : d.name ? "no fields" : "no name"; }

struct Golden { std::uint16_t id; std::size_t size; std::vector<Put> puts; const char* expected; };
const Golden kGolden[] = {
    {4001, 24, {{0, 1000u}, {4, std::uint16_t(0xFFFF)}, {7, std::uint8_t(9)}, {8, std::uint16_t(250)}, {12, std::uint16_t(1)}, {14, std::uint16_t(0xFFFF)}, {16, 0.1f}, {20, -2e10f}}, "{tow: 1000, wnc: null, nr_sv: null, pdop: 2.5, tdop: null, hdop: 0.01, vdop: 655.35, hpl: 0.1, vpl: null}"},
    {4007, 87, {{0, 0xFFFFFFFFu}, {4, std::uint16_t(2367)}, {6, std::uint8_t(0x84)}, {7, std::uint8_t(200)}, {8, 0.5}, {16, -2e10}, {24, 131.25}, {32, 48.5f}, {36, 0.1f}, {40, -0.0f}, {44, -2e10f}, {48, 1e-7f}, {52, -2e10}, {60, 3.5f}, {64, std::uint8_t(255)}, {65, std::uint8_t(77)}, {66, std::uint8_t(255)}, {67, std::uint8_t(5)}, {68, std::uint16_t(0xFFFF)}, {70, std::uint16_t(278)}, {72, 0xFFFFFFFFu}, {76, std::uint8_t(1)}, {77, std::uint8_t(255)}, {80, std::uint16_t(0xFFFF)}, {82, std::uint16_t(102)}, {84, std::uint16_t(138)}, {86, std::uint8_t(8)}}, "{tow: null, wnc: 2367, mode: 4, mode_name: \"RTK Fixed\", mode_2d: true, error: 200, latitude: 0.5, longitude: null, height: 131.25, undulation: 48.5, vn: 0.1, ve: -0.0, vu: null, cog: 1e-7, rx_clk_bias: null, rx_clk_drift: 3.5, time_system: null, datum: 77, nr_sv: null, reference_id: null, mean_corr_age: 278, signal_info: 4294967295, nr_bases: 255, latency: null, h_accuracy: 102, v_accuracy: 138}"},
    // Revision 2 in the ID: same layout.
    {4006 | 2 << 13, 87, {{0, 7u}, {4, std::uint16_t(1)}, {6, std::uint8_t(0x4A)}, {8, 1.5}, {16, -2.25}, {24, -2e10}, {36, -2e10f}, {40, 2.5f}, {44, -1.0f}, {52, 0.001}, {64, std::uint8_t(1)}, {65, std::uint8_t(255)}, {66, std::uint8_t(12)}, {68, std::uint16_t(3)}, {80, std::uint16_t(44)}}, "{tow: 7, wnc: 1, mode: 10, mode_name: \"PPP\", error: 0, x: 1.5, y: -2.25, z: null, undulation: 0.0, vx: null, vy: 2.5, vz: -1.0, cog: 0.0, rx_clk_bias: 0.001, rx_clk_drift: 0.0, time_system: 1, datum: null, nr_sv: 12, reference_id: 3, mean_corr_age: 0, signal_info: 0, nr_bases: 0, latency: 44, h_accuracy: 0, v_accuracy: 0}"},
    // SBList 0x2B: PosStdDev, Att, Vel and PosCov follow in bit order. The
    // PosStdDev sub-block is latitude, longitude, height on the wire.
    {4226, 96, {{0, 5u}, {4, std::uint16_t(6)}, {6, std::uint8_t(0x34)}, {7, std::uint8_t(1)}, {8, std::uint16_t(0xFFFF)}, {10, std::uint16_t(0xFFFF)}, {12, 0.25}, {20, -0.5}, {28, 100.0}, {36, 48.5f}, {40, std::uint16_t(12)}, {42, std::uint16_t(0xFFFF)}, {44, std::uint8_t(255)}, {45, std::uint8_t(3)}, {46, std::uint16_t(0x2B)}, {48, 1.5f}, {52, 2.5f}, {56, -2e10f}, {60, 10.0f}, {64, 20.0f}, {68, 30.0f}, {72, 0.1f}, {76, 0.2f}, {80, 0.3f}, {84, 9.0f}}, "{tow: 5, wnc: 6, error: 1, info: 65535, gnss_mode: 4, gnss_age: null, latitude: 0.25, longitude: -0.5, height: 100.0, undulation: 48.5, accuracy: 12, latency: null, datum: null, sb_list: 43, pos_std_dev: {latitude: 1.5, longitude: 2.5, height: null}, att: {heading: 10.0, pitch: 20.0, roll: 30.0}, att_std_dev: null, vel: {ve: 0.1, vn: 0.2, vu: 0.3}, vel_std_dev: null}"},
    // Only the covariance sub-blocks: read, never shown.
    {4226, 84, {{46, std::uint16_t(0xFFE0)}}, "{tow: 0, wnc: 0, error: 0, info: 0, gnss_mode: 0, gnss_age: 0, latitude: 0.0, longitude: 0.0, height: 0.0, undulation: 0.0, accuracy: 0, latency: 0, datum: 0, sb_list: 65504, pos_std_dev: null, att: null, att_std_dev: null, vel: null, vel_std_dev: null}"},
    {5906, 48, {{0, 1u}, {4, std::uint16_t(2)}, {6, std::uint8_t(0x12)}, {7, std::uint8_t(3)}, {8, 0.5f}, {12, -2e10f}, {44, -4.0f}}, "{tow: 1, wnc: 2, mode: 2, error: 3, cov_latlat: 0.5, cov_lonlon: null, cov_hgthgt: 0.0, cov_bb: 0.0, cov_latlon: 0.0, cov_lathgt: 0.0, cov_latb: 0.0, cov_lonhgt: 0.0, cov_lonb: 0.0, cov_hb: -4.0}"},
    {5908, 48, {{6, std::uint8_t(0xFF)}, {7, std::uint8_t(255)}, {8, -2e10f}, {24, 0.7f}, {44, 2e-5f}}, "{tow: 0, wnc: 0, mode: 15, error: 255, cov_vnvn: null, cov_veve: 0.0, cov_vuvu: 0.0, cov_dd: 0.0, cov_vnve: 0.7, cov_vnvu: 0.0, cov_vnd: 0.0, cov_vevu: 0.0, cov_ved: 0.0, cov_vud: 2e-5}"},
    {5914, 14, {{0, 2000u}, {4, std::uint16_t(2367)}, {6, std::int8_t(-128)}, {7, std::int8_t(5)}, {8, std::int8_t(23)}, {9, std::int8_t(-5)}, {10, std::int8_t(11)}, {12, std::int8_t(18)}, {13, std::uint8_t(255)}}, "{tow: 2000, wnc: 2367, utc_year: null, utc_month: 5, utc_day: 23, utc_hour: -5, utc_min: 11, utc_sec: 0, delta_ls: 18, sync_level: 255}"},
    {5938 | 1 << 13, 36, {{0, 3u}, {4, std::uint16_t(4)}, {6, std::uint8_t(255)}, {7, std::uint8_t(128)}, {8, std::uint16_t(0x13)}, {12, 0.1f}, {16, -2e10f}, {20, std::numeric_limits<float>::quiet_NaN()}, {32, 90.0f}}, "{tow: 3, wnc: 4, nr_sv: null, mode: 3, mode_name: \"HeadingPitchRollFloat\", heading: 0.1, pitch: null, roll: NaN, pitch_dot: 0.0, roll_dot: 0.0, heading_dot: 90.0}"},
    {5921, 6, {{0, 7u}, {4, std::uint16_t(0xFFFF)}}, "{tow: 7, wnc: null}"},
    {5943, 6, {{0, 9u}, {4, std::uint16_t(10)}}, "{tow: 9, wnc: 10}"},
};

TEST(SbfBlockDecoder, GoldenBodies) {
  for (const Golden& g : kGolden) {
    const Bytes full = body(g.size, g.puts);
    const DecodedBlock d = decode_block(frame(g.id, full));
    EXPECT_EQ(shown(d), g.expected) << g.id;
    ASSERT_TRUE(d.fields && d.fields->capacity() == d.fields->size() + 1) << g.id;
    // Each golden body is exactly as long as its fields; the body runs to
    // Length, padding included, so the longest too short is a multiple of 4 below.
    EXPECT_EQ(shown(decode_block(frame(g.id, Bytes(full.begin(), full.begin() + (g.size - 1) / 4 * 4)))), "no name") << g.id;
  }
}

TEST(SbfBlockDecoder, ModesShortBodiesAndUnknownNumbers) {
  struct Case { std::uint16_t id; Bytes body; const char* shown; std::size_t length = 0; };
  const Case cases[] = {
      {4007, body(87, {{6, std::uint8_t(0xCF)}}), "mode: 15, mode_name: \"Unknown(15)\", mode_2d: true"},
      {4007, body(87, {{6, std::uint8_t(0x40)}}), "mode: 0, mode_name: \"No PVT\", mode_2d: false"},
      {5938, body(36, {{8, std::uint16_t(7)}}), "mode: 0, mode_name: \"NoAttitude\", heading"},
      {5938, body(36, {{8, std::uint16_t(0x12)}}), "mode: 2, mode_name: \"HeadingPitchFixed\", heading"},
      // Unknown numbers; the 45 types without a table take any body.
      {4003, Bytes(100), "no name"}, {8191, {}, "no name"}, {4027, {}, "no fields"}, {4000 | 7 << 13, Bytes(3), "no fields"},
      // Length at the limit, above 65527, odd, below 8, beyond the bytes given.
      {5921, Bytes(65516), "{tow: 0, wnc: 0}"}, {5921, Bytes(65520), "no name"}, {5921, Bytes(6), "no name", 14},
      {5921, Bytes(6), "no name", 7}, {5921, Bytes(6), "no name", 20},
  };
  for (const Case& c : cases) EXPECT_NE(shown(decode_block(frame(c.id, c.body, c.length))).find(c.shown), std::string::npos) << c.shown;
  // A bad sync byte; a header cut short.
  for (const Bytes& b : {Bytes{0x24, 0x41, 0, 0, 0xA1, 0x0F, 12, 0, 0, 0, 0, 0}, Bytes{0x24, 0x40, 0, 0, 0xA1, 0x0F}}) EXPECT_EQ(shown(decode_block(b)), "no name");
}

// The names received messages carry: every known number once, spelled as the
// receivers' documentation spells it; neighbouring numbers stay unknown.
TEST(SbfBlockDecoder, NamesByNumber) {
  std::istringstream names(
      "MeasExtra 4000 DOP 4001 GALNav 4002 PVTCartesian 4006 PVTGeodetic 4007 SatVisibility 4012 ChannelStatus 4013 "
      "ReceiverStatus 4014 Commands 4015 GEORawL1 4020 MeasEpoch 4027 BaseVectorGeod 4028 GALIon 4030 GALUtc 4031 "
      "GALGstGps 4032 GPSCNav 4042 BaseVectorCart 4043 PosCart 4044 ExtSensorMeas 4050 DiskStatus 4059 "
      "INSSupport 4077 QualityInd 4082 RFStatus 4092 RxMessage 4103 Meas3Ranges 4109 Meas3Doppler 4111 BDSIon 4120 "
      "ExtSensorInfo 4222 ExtSensorStatus 4223 ImuSetup 4224 INSNavCart 4225 INSNavGeod 4226 ExtEventINSNavCart 4229 "
      "ExtEventINSNavGeod 4230 VelSensorSetup 4244 NavCart 4272 GPSNav 5891 GPSIon 5893 GPSUtc 5894 GEONav 5896 "
      "ReceiverSetup 5902 PosCovCartesian 5905 PosCovGeodetic 5906 VelCovCartesian 5907 VelCovGeodetic 5908 "
      "XPPSOffset 5911 ReceiverTime 5914 DiffCorrIn 5919 EndOfPVT 5921 EndOfMeas 5922 ExtEvent 5924 Comment 5936 "
      "AttEuler 5938 AttCovEuler 5939 AuxAntPositions 5942 EndOfAtt 5943");
  std::map<int, std::string> expected;
  std::string name;
  for (int number; names >> name >> number;) expected[number] = name;
  ASSERT_EQ(expected.size(), 56u);
  for (int n = 0; n < 8192; ++n) {
    const char* got = block_name(static_cast<std::uint16_t>(n));
    EXPECT_EQ(got ? got : "", expected.count(n) ? expected[n] : "") << n;
  }
}

// The oracle, from f's exact decimal expansion and strtof alone: for each
// length from one digit up, the two digit strings of that length around |f|
// (its expansion cut there, and that plus one in the last digit); the first
// length where one reads back to f gives the nearer one that does (a tie to
// the even last digit), read as a double.
double shortest_digits(float f) {
  // Every float's expansion ends within 113 significant digits.
  char exact[160];
  std::snprintf(exact, sizeof exact, "%.120e", std::fabs(static_cast<double>(f)));
  const std::string expansion = std::string(1, exact[0]) + std::string(exact + 2, 120);
  const int exponent = std::atoi(std::strchr(exact, 'e') + 1);
  const auto read = [&](std::uint64_t n, int digits, auto parse) {
    const std::string text = std::to_string(n) + "e" + std::to_string(exponent - digits + 1);
    return parse(text.c_str(), nullptr);
  };
  for (int digits = 1;; ++digits) {
    const std::uint64_t down = std::stoull(expansion.substr(0, digits));
    const std::string rest = expansion.substr(digits);
    const bool exact_here = rest.find_first_not_of('0') == std::string::npos;
    const bool down_fits = read(down, digits, std::strtof) == std::fabs(f);
    const bool up_fits = !exact_here && read(down + 1, digits, std::strtof) == std::fabs(f);
    if (!down_fits && !up_fits) continue;
    const int half = rest.compare(std::string("5") + std::string(rest.size() - 1, '0'));
    const bool nearer_down = exact_here || half < 0 || (half == 0 && down % 2 == 0);
    return std::copysign(read(down_fits && (nearer_down || !up_fits) ? down : down + 1, digits, std::strtod), f);
  }
}

TEST(SbfBlockDecoder, FloatsReadAsTheirShortestDigits) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  // 2^-96, 2^87 and 2^90 lie nearer the float below, and their nearest digits
  // of the shortest length read back to it: theirs lie above. 2^21 + 0.25 and
  // + 0.75 lie halfway between the two digit strings of their shortest length.
  const std::pair<float, double> cases[] = {{0.1f, 0.1}, {0.3f, 0.3}, {48.47784f, 48.47784}, {3e10f, 3e10}, {1e-45f, 1e-45},
                                            {16777216.0f, 16777216.0}, {3.4028235e38f, 3.4028235e38}, {-kInf, -kInf},
                                            {-2.0000002e10f, -20000002000.0}, {-1219558300.0f, -1219558300.0}, {0x1p-96f, 1.2621775e-29},
                                            {-0x1p87f, -1.5474251e26}, {0x1p90f, 1.2379401e27}, {2097152.25f, 2097152.2}, {-2097152.75f, -2097152.8}};
  for (const auto& [f, d] : cases) EXPECT_EQ(shortest_value(f), d) << std::setprecision(17) << d;  // -0.0 and NaN: GoldenBodies
  // Every exponent with random mantissas, the neighbours of every power of
  // ten and of every power of two, both signs.
  std::vector<std::uint32_t> patterns;
  std::mt19937 rng(7);
  for (std::uint32_t exponent = 0; exponent < 255; ++exponent) {
    for (int k = 0; k < 200; ++k) patterns.push_back(exponent << 23 | (k < 2 ? k * 0x7FFFFF : rng() & 0x7FFFFF));
    for (std::uint32_t d = 1; d < 4; ++d) patterns.insert(patterns.end(), {(exponent << 23) + d, (exponent << 23) - d});
  }
  for (int power = -45; power <= 38; ++power) {
    const auto bits = std::bit_cast<std::uint32_t>(std::strtof(("1e" + std::to_string(power)).c_str(), nullptr));
    for (std::uint32_t d = 0; d < 8; ++d) patterns.insert(patterns.end(), {bits + d, bits - d});
  }
  int wrong = 0;
  for (const std::uint32_t bits : patterns) {
    for (const std::uint32_t sign : {0u, 0x80000000u}) {
      const float f = std::bit_cast<float>(bits ^ sign);
      if (!std::isfinite(f)) continue;  // a neighbour of 1e-45 past zero
      const double got = shortest_value(f), want = shortest_digits(f);
      if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) ADD_FAILURE() << std::setprecision(17) << f << ": " << got << " != " << want;
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << 2 * patterns.size();
}

// By hand, not in CI (a few minutes on a few cores): every one of the 2^32
// patterns against the standard library's fewest digits in exponent form.
//   sigtap_tests --gtest_also_run_disabled_tests --gtest_filter='*EveryFloat*'
TEST(SbfBlockDecoder, DISABLED_EveryFloatReadsAsTheStandardShortestForm) {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<std::uint64_t> wrong{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      char text[32];
      for (std::uint64_t i = t; i < std::uint64_t{1} << 32; i += threads) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(i));
        if (std::isnan(f)) continue;
        double want = 0;
        std::from_chars(text, std::to_chars(text, text + sizeof text, f, std::chars_format::scientific).ptr, want);
        const double got = shortest_value(f);
        if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) ADD_FAILURE() << std::setprecision(17) << f << ": " << got << " != " << want;
      }
    });
  }
  for (std::thread& thread : pool) thread.join();
  EXPECT_EQ(wrong, 0u);
}

// The blocks the framing finds in a log (their number is checked against pysbf2's below).
std::vector<Bytes> blocks_of(const std::string& file) {
  std::ifstream in(test::test_data("/sbf/pysbf2/" + file), std::ios::binary);
  EXPECT_TRUE(in) << file;
  std::vector<Bytes> out;
  for (Block& b : Decoder().feed(Bytes(std::istreambuf_iterator<char>(in), {}))) out.push_back(std::move(b.block_bytes));
  return out;
}

TEST(SbfBlockDecoder, RealLogsMatchPysbf2) {
  // From pysbf2 1.0.7 over the same files: the names it gives the 56 known
  // numbers (it spells 5911 "xPPSOffset"), how many blocks it knows under
  // other numbers (after "~"), and a few of its values (f32 as their shortest digits).
  // The counts also check the framing, block by block, on real data.
  const std::map<std::string, std::pair<std::string, const char*>> expected = {
      {"pygpsdata_bad.log", {"GALNav GPSIon GPSUtc ~*3", ""}}, {"pygpsdata_mixed.log", {"PVTGeodetic ~", ""}},
      {"pygpsdata_mosaicH_attitude.log", {"AuxAntPositions", ""}}, {"pygpsdata_ubx.log", {"", ""}},
      {"pygpsdata_x5_attitude.log", {"AttCovEuler AttEuler EndOfAtt", "AttEuler {tow: 483013000, wnc: 2367, nr_sv: null, mode: 0, mode_name: \"NoAttitude\", heading: null"}},
      {"pygpsdata_x5_constellations.log", {"BDSIon GALGstGps GALIon GALNav GALUtc GEONav ~*15", ""}},
      {"pygpsdata_x5_diffcorn.log", {"~", ""}}, {"pygpsdata_x5_diffcorn2.log", {"DiffCorrIn", ""}},
      {"pygpsdata_x5_event.log", {"", ""}},
      {"pygpsdata_x5_measurements.log", {"EndOfMeas MeasEpoch MeasExtra", "EndOfMeas {tow: 482321000, wnc: 2367}"}},
      {"pygpsdata_x5_pvtcart.log", {"BaseVectorCart PVTCartesian PosCovCartesian VelCovCartesian", ""}},
      {"pygpsdata_x5_pvtextra.log", {"DOP EndOfPVT ~*2", "DOP {tow: 482956000, wnc: 2367, nr_sv: 37, pdop: 0.79, tdop: 0.4, hdop: 0.44, vdop: 0.66, hpl: 3.8891575, vpl: 5.6746807}"}},
      {"pygpsdata_x5_pvtgeod.log", {"BaseVectorGeod PVTGeodetic PosCovGeodetic VelCovGeodetic ~", "PVTGeodetic {tow: 482847000, wnc: 2367, mode: 6, mode_name: \"SBAS\", mode_2d: false, error: 0, latitude: 0.9310293523340808, longitude: -0.03921206770879602, height: 131.18596542546626, undulation: 48.47784, "}},
      {"pygpsdata_x5_pvttruncated.log", {"PVTGeodetic PosCovGeodetic VelCovGeodetic", "PosCovGeodetic {tow: 482847000, wnc: 2367, mode: 6, error: 0, cov_latlat: 0.16179977, "}},
      {"pygpsdata_x5_rawnav.log", {"GEORawL1 ~*7", ""}},
      {"pygpsdata_x5_status.log", {"ChannelStatus DiskStatus QualityInd RFStatus ReceiverStatus SatVisibility ~*7", ""}},
      {"pygpsdata_x5_time.log", {"ReceiverTime XPPSOffset", "ReceiverTime {tow: 483078000, wnc: 2367, utc_year: 25, utc_month: 5, utc_day: 23, utc_hour: 14, utc_min: 11, utc_sec: 0, delta_ls: 18, sync_level: 7}"}},
      {"pygpsdata_x5nav.log", {"BDSIon GALGstGps GALIon GALNav GALUtc GPSIon GPSUtc ~*6", ""}},
      {"pygpsdata_x5pvt.log", {"BaseVectorCart*16 PVTCartesian*16 PosCovCartesian*16 VelCovCartesian*16", ""}},
      {"pygpsdata_x5status.log", {"ChannelStatus*3 DiskStatus*3 QualityInd*3 RFStatus*3 ReceiverStatus*3 SatVisibility*3 ~*21", ""}},
      {"sbfdata.log", {"BaseVectorCart*58 PVTCartesian*58 PosCovCartesian*58 VelCovCartesian*58", "PVTCartesian {tow: 218303000, wnc: 2367, mode: 1, mode_name: \"Stand Alone\", error: 0, x: 3803640.7362816357, y: -148798.1177624689, z: 5100638.07201242, undulation: 48.46647, "}},
  };
  for (const auto& [file, want] : expected) {
    std::map<std::string, int> counts;
    std::string names, shown_all;
    for (const Bytes& block : blocks_of(file)) {
      const DecodedBlock d = decode_block(block);
      ++counts[d.name ? d.name : "~"];
      // Every block of a mapped type in these logs is long enough to parse.
      EXPECT_EQ(d.fields.has_value(), d.name && find_layout((block[4] | block[5] << 8) & 0x1FFF)) << file;
      if (d.fields) shown_all += std::string(d.name) + " " + shown(d) + "\n";
    }
    for (const auto& [name, n] : counts) names += (names.empty() ? "" : " ") + name + (n > 1 ? "*" + std::to_string(n) : "");
    EXPECT_EQ(names, want.first) << file;
    EXPECT_NE(shown_all.find(want.second), std::string::npos) << shown_all;
  }
}

}  // namespace
}  // namespace sigtap::sbf
