// SBF framing and decoding speed against a bare CRC-16 pass over the same bytes.
//
// Two streams, each 64 MB in memory cut into 64 KiB chunks as a TCP read
// would deliver it: the real logs of tests/data/sbf/pysbf2 repeated, and
// INSNavGeod blocks with every sub-block present (the block with the most
// fields and the nested maps). Every block's CRC must be computed, so the
// bare table-driven CRC pass is the limit; the replacement operator new
// counts what a block costs beyond it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

#include "bench/alloc_count.hpp"
#include "core/codec/sbf.hpp"
#include "core/fields_pool.hpp"
#include "core/sbf/crc.hpp"
#include "core/sbf/decoder.hpp"
#include "core/sbf/writer.hpp"
#include "tests/cpp/test_data.hpp"


namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kRecordingSize = 64u << 20;
constexpr std::size_t kChunk = 64u << 10;

Bytes repeated(const Bytes& once) {
  Bytes out;
  out.reserve(kRecordingSize + once.size());
  while (out.size() < kRecordingSize) out.insert(out.end(), once.begin(), once.end());
  return out;
}

const Bytes& recording() {
  static const Bytes data = [] {
    const std::filesystem::path dir = sigtap::test::test_data("/sbf/pysbf2");
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (e.path().extension() == ".log") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    Bytes once;
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      once.insert(once.end(), std::istreambuf_iterator<char>(in), {});
    }
    if (once.empty()) {
      std::fprintf(stderr, "no SBF logs under %s\n", dir.c_str());
      std::abort();
    }
    return repeated(once);
  }();
  return data;
}

// INSNavGeod (4226) blocks with all eight sub-blocks: 48 bytes of fixed
// fields, then 8 x 12 bytes of f32, every value a varying one.
const Bytes& ins_stream() {
  static const Bytes data = [] {
    Bytes once;
    std::uint32_t state = 1;
    const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    for (std::uint32_t i = 0; i < 4096; ++i) {
      std::uint8_t body[48 + 8 * 12] = {};
      const std::uint32_t tow = 1000 * i;
      const std::uint16_t wnc = 2367, sb_list = 0xFF;
      const double position[3] = {0.93 + next() * 1e-15, -0.039 + next() * 1e-15, 131.0 + next() * 1e-9};
      std::memcpy(body, &tow, 4);
      std::memcpy(body + 4, &wnc, 2);
      body[6] = 4;
      std::memcpy(body + 12, position, sizeof position);
      std::memcpy(body + 46, &sb_list, 2);
      for (std::size_t at = 48; at < sizeof body; at += 4) {
        const float f = static_cast<float>(next() % 2000000) / 1000.0f - 1000.0f;
        std::memcpy(body + at, &f, 4);
      }
      const auto block = sigtap::sbf::frame_block(4226, 0, body);
      once.insert(once.end(), block->begin(), block->end());
    }
    return repeated(once);
  }();
  return data;
}

void BM_Crc16Pass(benchmark::State& state, const Bytes& (*stream)()) {
  const Bytes& data = stream();
  for (auto _ : state) benchmark::DoNotOptimize(sigtap::sbf::crc16(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK_CAPTURE(BM_Crc16Pass, recording, recording)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc16Pass, ins, ins_stream)->Unit(benchmark::kMillisecond);

// Framing and block decoding, blocks collected in a reused list.
void BM_DecoderFeed(benchmark::State& state, const Bytes& (*stream)()) {
  const Bytes& data = stream();
  std::vector<sigtap::sbf::Block> blocks;
  std::uint64_t count = 0;
  const std::uint64_t before = sigtap::bench::t_allocations;
  for (auto _ : state) {
    sigtap::sbf::Decoder decoder;
    for (std::size_t at = 0; at < data.size(); at += kChunk) {
      decoder.feed({data.data() + at, std::min(kChunk, data.size() - at)}, blocks);
      count += blocks.size();
      blocks.clear();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["blocks"] = static_cast<double>(count / state.iterations());
  state.counters["allocs_per_block"] = static_cast<double>(sigtap::bench::t_allocations - before) / static_cast<double>(count);
}
BENCHMARK_CAPTURE(BM_DecoderFeed, recording, recording)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecoderFeed, ins, ins_stream)->Unit(benchmark::kMillisecond);

// The whole receive path of the codec: packets in, messages out into the
// list the channel reuses, each message's fields given back to the thread's
// pool as the binding's messages give them back when freed. The packets (a
// transport's copy of its reads) are built with the timer stopped, a few at
// a time so that the heap stays small and steady as it would behind a transport.
void BM_SbfCodecDecode(benchmark::State& state, const Bytes& (*stream)()) {
  const Bytes& data = stream();
  constexpr std::size_t kBatch = 16;
  std::vector<sigtap::Packet> packets;
  std::vector<sigtap::Message> out;
  std::uint64_t count = 0, allocations = 0;
  for (auto _ : state) {
    sigtap::codec::sbf::Sbf codec;
    for (std::size_t at = 0; at < data.size();) {
      state.PauseTiming();
      packets.clear();
      for (; packets.size() < kBatch && at < data.size(); at += kChunk) {
        const auto* chunk = data.data() + at;
        packets.push_back({Bytes(chunk, chunk + std::min(kChunk, data.size() - at)), {}, 1.0, {}});
      }
      state.ResumeTiming();
      const std::uint64_t before = sigtap::bench::t_allocations;
      for (auto& p : packets) {
        (void)codec.decode(std::move(p), out);
        count += out.size();
        for (sigtap::Message& m : out) sigtap::recycle_fields(m.fields);
        out.clear();
      }
      allocations += sigtap::bench::t_allocations - before;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["allocs_per_block"] = static_cast<double>(allocations) / static_cast<double>(count);
}
BENCHMARK_CAPTURE(BM_SbfCodecDecode, recording, recording)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SbfCodecDecode, ins, ins_stream)->Unit(benchmark::kMillisecond);

}  // namespace
