// SBF framing: chunking, noise, false syncs, header fields and real recordings.
#include <gtest/gtest.h>

#include <random>

#include "core/sbf/decoder.hpp"
#include "tests/cpp/sbf/sbf_test_util.hpp"

namespace sigtap::test {
namespace {

std::vector<Bytes> frame(const Bytes& stream, std::size_t chunk, sbf::Decoder& d) {
  std::vector<Bytes> got;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t n = std::min(chunk, stream.size() - at);
    for (auto& b : d.feed({stream.data() + at, n})) got.push_back(std::move(b.block_bytes));
  }
  return got;
}
std::vector<Bytes> frame(const Bytes& stream, std::size_t chunk = SIZE_MAX) {
  sbf::Decoder d;
  return frame(stream, chunk, d);
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST(SbfFraming, AnyChunkingGivesTheGoodBlocksAndSkipsTheRest) {
  const Bytes a = sbf_block(4007, Bytes(87, 0x24)), b = sbf_block(0x2000 | 5938, {1, 2, 3, 4}), c = sbf_block(99, {});
  // A block inside a false candidate's span must still be found.
  const Bytes false_sync = {0x24, 0x40, 0, 0, 0, 0, 40, 0};
  const Bytes stream = cat({{1, 0x24, 0x40, 0x24}, false_sync, a, sbf_block(1, {5}, 10), sbf_block(1, {5}, 7),
                            sbf_block(1, {5}, 0), sbf_block(1, {5, 6}, -1, 0x0100), b, {0x24, 0x24}, c, {0x40, 9}});
  const std::vector<Bytes> want{a, b, c};
  for (std::size_t chunk : {SIZE_MAX, 1ul, 2ul, 3ul, 7ul, 64ul}) EXPECT_EQ(frame(stream, chunk), want) << chunk;
  std::mt19937 rng(1);
  sbf::Decoder d;
  std::vector<Bytes> got;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(rng() % 9, stream.size() - at);
    for (auto& blk : d.feed({stream.data() + at, n})) got.push_back(std::move(blk.block_bytes));
    at += n;
  }
  EXPECT_EQ(got, want);
}

TEST(SbfFraming, KeepsOnlyWhatCanStillBecomeABlock) {
  sbf::Decoder d;
  EXPECT_TRUE(d.feed(Bytes{}).empty());
  d.feed(Bytes{7, 8, 0x24});
  EXPECT_EQ(d.buffered(), 1u);  // the first half of a sync
  EXPECT_TRUE(d.feed(Bytes{}).empty());
  EXPECT_EQ(d.buffered(), 1u);
  d.feed(Bytes{0x40, 0, 0});
  EXPECT_EQ(d.buffered(), 4u);
  d.feed(Bytes{1, 2, 3, 0x40, 0x24, 5});  // Length 0x2403: not a multiple of 4
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(SbfFraming, HeaderFields) {
  struct Case { Bytes body; std::optional<std::uint32_t> tow; std::optional<std::uint16_t> wnc; };
  for (const Case& c : {Case{{}, {}, {}}, Case{{1, 0, 0, 0}, 1, {}}, Case{{0xFF, 0xFF, 0xFF, 0xFF, 5, 0}, {}, 5},
                        Case{{2, 1, 0, 0, 0xFF, 0xFF}, 258, {}}}) {
    auto blocks = sbf::Decoder().feed(sbf_block(0xE000 | 4003, c.body));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tow, c.tow);
    EXPECT_EQ(blocks[0].wnc, c.wnc);
    EXPECT_EQ(blocks[0].number, 4003);
    EXPECT_EQ(blocks[0].revision, 7);
    EXPECT_FALSE(blocks[0].name);
  }
}

TEST(SbfFraming, FalseSyncWithTheLargestLengthHoldsBackThenReleasesInOrder) {
  const Bytes false_sync = {0x24, 0x40, 0, 0, 0, 0, 0xFC, 0xFF};
  Bytes stream = false_sync;
  std::vector<Bytes> want;
  while (stream.size() < 70000) {
    want.push_back(sbf_block(std::uint16_t(4000 + want.size() % 100), Bytes(60, 0x24)));
    stream.insert(stream.end(), want.back().begin(), want.back().end());
  }
  sbf::Decoder d;
  const std::size_t release = 65532;  // the call that completes the false candidate's span
  EXPECT_TRUE(frame(Bytes(stream.begin(), stream.begin() + release - 1), SIZE_MAX, d).empty());
  EXPECT_LE(d.buffered(), 65532u);
  std::vector<Bytes> got = frame(Bytes(stream.begin() + release - 1, stream.end()), SIZE_MAX, d);
  EXPECT_EQ(got, want);
}

TEST(SbfFraming, RealRecordingsFrameIntoTheKnownBlockCounts) {
  // Counts from a separate straightforward scan of each file.
  const std::pair<const char*, std::size_t> files[] = {
      {"pygpsdata_bad.log", 6}, {"pygpsdata_mixed.log", 2}, {"pygpsdata_mosaicH_attitude.log", 1},
      {"pygpsdata_ubx.log", 0}, {"pygpsdata_x5_attitude.log", 3}, {"pygpsdata_x5_constellations.log", 21},
      {"pygpsdata_x5_diffcorn.log", 1}, {"pygpsdata_x5_diffcorn2.log", 1}, {"pygpsdata_x5_event.log", 0},
      {"pygpsdata_x5_measurements.log", 3}, {"pygpsdata_x5_pvtcart.log", 4}, {"pygpsdata_x5_pvtextra.log", 4},
      {"pygpsdata_x5_pvtgeod.log", 5}, {"pygpsdata_x5_pvttruncated.log", 3}, {"pygpsdata_x5_rawnav.log", 8},
      {"pygpsdata_x5_status.log", 13}, {"pygpsdata_x5_time.log", 2}, {"pygpsdata_x5nav.log", 13},
      {"pygpsdata_x5pvt.log", 64}, {"pygpsdata_x5status.log", 39}, {"sbfdata.log", 232}};
  for (const auto& [name, count] : files) {
    const Bytes data = read_recording(name);
    ASSERT_TRUE(data.size() > 0 || count == 0) << name;
    EXPECT_EQ(frame(data).size(), count) << name;
    EXPECT_EQ(frame(data, 5).size(), count) << name;
  }
}

}  // namespace sigtap::test
