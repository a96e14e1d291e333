// SBF framing and decoding speed against a bare CRC-16 pass over the same bytes.
//
// The recording is the real logs of tests/data/sbf/pysbf2 repeated to
// 64 MB in memory and cut into 64 KiB chunks as a TCP read would deliver it.
// Every block's CRC must be computed, so the bare table-driven CRC pass is
// the limit; the replacement operator new counts what a block costs beyond it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

#include "bench/alloc_count.hpp"
#include "core/codec/sbf.hpp"
#include "core/sbf/crc.hpp"
#include "core/sbf/decoder.hpp"
#include "tests/cpp/shared_data.hpp"


namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kRecordingSize = 64u << 20;
constexpr std::size_t kChunk = 64u << 10;

const Bytes& recording() {
  static const Bytes data = [] {
    const std::filesystem::path dir = sigtap::test::shared_data("/sbf/pysbf2");
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
      std::fprintf(stderr, "no SBF logs under %s (SIGTAP_DATA names another data folder)\n", dir.c_str());
      std::abort();
    }
    Bytes out;
    out.reserve(kRecordingSize + once.size());
    while (out.size() < kRecordingSize) out.insert(out.end(), once.begin(), once.end());
    return out;
  }();
  return data;
}

void BM_Crc16Pass(benchmark::State& state) {
  const Bytes& data = recording();
  for (auto _ : state) benchmark::DoNotOptimize(sigtap::sbf::crc16(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc16Pass)->Unit(benchmark::kMillisecond);

// Framing and block decoding, blocks collected in a reused list.
void BM_DecoderFeed(benchmark::State& state) {
  const Bytes& data = recording();
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
BENCHMARK(BM_DecoderFeed)->Unit(benchmark::kMillisecond);

// The whole receive path of the codec: packets in, messages out into the
// list the channel reuses. The packets (a transport's copy of its reads) are
// built with the timer stopped, a few at a time so that the heap stays small
// and steady as it would behind a transport.
void BM_SbfCodecDecode(benchmark::State& state) {
  const Bytes& data = recording();
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
        out.clear();
      }
      allocations += sigtap::bench::t_allocations - before;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["allocs_per_block"] = static_cast<double>(allocations) / static_cast<double>(count);
}
BENCHMARK(BM_SbfCodecDecode)->Unit(benchmark::kMillisecond);

}  // namespace
