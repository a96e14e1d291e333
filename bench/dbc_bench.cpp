// Decode and encode throughput of the dbc codec, heap allocations per frame,
// and load times of generated files that grow in one direction.
//
// The replacement operator new counts every allocation of the process. A
// decode may allocate only the message's field list: the vector itself, plus
// the copies of signal names and choice texts too long for the short-string
// buffer.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bench/alloc_count.hpp"
#include "core/codec/dbc.hpp"
#include "core/fields_pool.hpp"
#include "tests/cpp/test_data.hpp"

namespace {

using namespace sigtap;

const std::string kVwMqb = test::test_data("/dbc/opendbc/vw_mqb.dbc");

// Ten signals in 8 bytes, short names: both byte orders, signed, scaled, a choice.
const char* kTen = R"(VERSION ""
BU_: A
BO_ 291 Ten: 8 A
 SG_ Speed : 0|12@1+ (0.01,0) [0|0] "" A
 SG_ Gear : 12|4@1+ (1,0) [0|0] "" A
 SG_ Torque : 23|12@0- (0.5,-100) [0|0] "" A
 SG_ Temp : 27|8@0+ (1,-40) [0|0] "" A
 SG_ Mode : 36|3@1+ (1,0) [0|0] "" A
 SG_ Brake : 39|1@1+ (1,0) [0|0] "" A
 SG_ Yaw : 40|10@1- (0.1,0) [0|0] "" A
 SG_ Count : 50|4@1+ (1,0) [0|0] "" A
 SG_ Flag : 54|2@1+ (1,0) [0|0] "" A
 SG_ Crc : 63|8@0+ (1,0) [0|0] "" A
VAL_ 291 Gear 0 "P" 1 "R" 2 "N" 3 "D" ;
)";

Dbc load(std::string_view text_or_path, bool is_path) {
  auto db = is_path ? dbc::Database::from_file(std::string(text_or_path)) : dbc::Database::parse(text_or_path);
  if (!db.ok()) {
    std::fprintf(stderr, "load: %s\n", db.error().fmt().c_str());
    std::abort();
  }
  return Dbc(std::move(db).value(), {.scaling = true, .strict = false}, {});
}

// One frame per message of the database, with pseudo-random payloads.
std::vector<Packet> frames_of(const dbc::Database& db) {
  std::vector<Packet> frames;
  std::uint64_t seed = 7;
  for (const dbc::Message& m : db.messages()) {
    Packet p{std::vector<std::uint8_t>(m.size), CanHeader{m.id, m.extended, m.fd, m.fd}, {}, {}};
    for (auto& b : p.data.make_owned()) b = static_cast<std::uint8_t>((seed = seed * 6364136223846793005u + 1) >> 56);
    frames.push_back(std::move(p));
  }
  return frames;
}

// The channel's path: decode into a reused vector. The packet comes back out
// of the decoded message, so only the decode itself allocates. With
// `recycle`, the fields go back to the thread's pool as the binding's
// messages give them back when freed.
void run_decode(benchmark::State& state, Dbc& codec, std::vector<Packet> frames, bool recycle = false) {
  std::vector<Message> out;
  out.reserve(4);
  std::size_t fields = 0;
  std::uint64_t allocs = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    out.clear();
    const std::uint64_t before = sigtap::bench::t_allocations;
    if (!codec.decode(std::move(frames[i]), out).ok()) {
      state.SkipWithError("decode failed");
      break;
    }
    allocs += sigtap::bench::t_allocations - before;
    fields += out[0].fields.size();
    frames[i] = std::move(*out[0].packet);
    if (recycle) recycle_fields(out[0].fields);
    if (++i == frames.size()) i = 0;
  }
  const auto n = static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_frame"] = static_cast<double>(allocs) / n;
  state.counters["fields_per_frame"] = static_cast<double>(fields) / n;
}

void run_encode(benchmark::State& state, Dbc& codec, const std::vector<Packet>& frames) {
  std::vector<Message> messages;
  for (const Packet& p : frames) {
    if (!codec.decode(p, messages).ok()) std::abort();
  }
  std::size_t i = 0;
  for (auto _ : state) {
    auto packets = codec.encode(messages[i]);
    if (!packets.ok()) {
      state.SkipWithError(packets.error().fmt().c_str());
      break;
    }
    benchmark::DoNotOptimize(packets);
    if (++i == messages.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodeTenSignals(benchmark::State& state) {
  Dbc codec = load(kTen, false);
  run_decode(state, codec, frames_of(codec.database()));
}
BENCHMARK(BM_DecodeTenSignals);

void BM_DecodeVwMqb(benchmark::State& state) {
  Dbc codec = load(kVwMqb, true);
  run_decode(state, codec, frames_of(codec.database()));
}
BENCHMARK(BM_DecodeVwMqb);

void BM_DecodeTenSignalsRecycled(benchmark::State& state) {
  Dbc codec = load(kTen, false);
  run_decode(state, codec, frames_of(codec.database()), true);
}
BENCHMARK(BM_DecodeTenSignalsRecycled);

void BM_DecodeVwMqbRecycled(benchmark::State& state) {
  Dbc codec = load(kVwMqb, true);
  run_decode(state, codec, frames_of(codec.database()), true);
}
BENCHMARK(BM_DecodeVwMqbRecycled);

void BM_EncodeTenSignals(benchmark::State& state) {
  Dbc codec = load(kTen, false);
  run_encode(state, codec, frames_of(codec.database()));
}
BENCHMARK(BM_EncodeTenSignals);

void BM_EncodeVwMqb(benchmark::State& state) {
  Dbc codec = load(kVwMqb, true);
  run_encode(state, codec, frames_of(codec.database()));
}
BENCHMARK(BM_EncodeVwMqb);

}  // namespace

namespace {

// One message of `n` multiplexed signals, each with an SG_MUL_VAL_ entry
// naming the switch S, the message's last signal.
std::string mux_entries(std::size_t n) {
  std::string text = "BO_ 1 M: 8 X\n";
  for (std::size_t i = 0; i < n; ++i) text += " SG_ s" + std::to_string(i) + " m1 : 0|8@1+ (1,0) [0|0] \"\" X\n";
  text += " SG_ S M : 8|8@1+ (1,0) [0|0] \"\" X\n";
  for (std::size_t i = 0; i < n; ++i) text += "SG_MUL_VAL_ 1 s" + std::to_string(i) + " S 1-1;\n";
  return text;
}

// A chain of `n` switches below the switch s0: s<i> is present when s<i-1> is 1.
std::string switch_chain(std::size_t n) {
  std::string text = "BO_ 1 M: 8 X\n SG_ s0 M : 0|8@1+ (1,0) [0|0] \"\" X\n";
  for (std::size_t i = 1; i <= n; ++i) text += " SG_ s" + std::to_string(i) + " m1M : 0|8@1+ (1,0) [0|0] \"\" X\n";
  for (std::size_t i = 1; i <= n; ++i)
    text += "SG_MUL_VAL_ 1 s" + std::to_string(i) + " s" + std::to_string(i - 1) + " 1-1;\n";
  return text;
}

// `dups` signals named d in one message, with a table of `values` values and
// as many multiplexer ranges.
std::string duplicate_names(std::size_t dups, std::size_t values) {
  std::string text = "BO_ 1 M: 8 X\n SG_ S M : 8|8@1+ (1,0) [0|0] \"\" X\n";
  for (std::size_t i = 0; i < dups; ++i) text += " SG_ d m1 : 0|8@1+ (1,0) [0|0] \"\" X\n";
  text += "VAL_ 1 d";
  for (std::size_t i = 0; i < values; ++i) text += " " + std::to_string(i) + " \"v" + std::to_string(i) + "\"";
  text += ";\nSG_MUL_VAL_ 1 d S";
  for (std::size_t i = 0; i < values; ++i) text += (i ? ", " : " ") + std::to_string(i) + "-" + std::to_string(i);
  return text + ";\n";
}

// Heap bytes in use, as the allocator counts them.
double heap_mb() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / 1e6;
}

// Loads the text once per iteration; counters: the file's size and the heap
// the loaded database holds.
void run_load(benchmark::State& state, const std::string& text) {
  double held = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const double before = heap_mb();
    state.ResumeTiming();
    auto db = dbc::Database::parse(text);
    state.PauseTiming();
    if (!db.ok()) {
      state.SkipWithError(db.error().fmt().c_str());
      break;
    }
    held = heap_mb() - before;
    { auto gone = std::move(db); }
    state.ResumeTiming();
  }
  state.counters["file_MB"] = static_cast<double>(text.size()) / 1e6;
  state.counters["db_MB"] = held;
}

void BM_LoadMuxEntries(benchmark::State& state) {
  run_load(state, mux_entries(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_LoadMuxEntries)->Arg(10000)->Arg(40000)->Arg(80000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadSwitchChain(benchmark::State& state) {
  run_load(state, switch_chain(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_LoadSwitchChain)->Arg(10000)->Arg(40000)->Arg(80000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadDuplicateNames(benchmark::State& state) {
  run_load(state, duplicate_names(static_cast<std::size_t>(state.range(0)), 20000));
}
BENCHMARK(BM_LoadDuplicateNames)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadVwMqb(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(dbc::Database::from_file(kVwMqb));
}
BENCHMARK(BM_LoadVwMqb)->Unit(benchmark::kMillisecond);

}  // namespace
