// Throughput and allocations of the mem:// bus through channels with the raw codec.
//
// The replacement operator new below counts every heap allocation of the
// process, so each benchmark can report how many a delivered packet costs
// (the copy of its bytes for each receiving port should be the only one).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.hpp"

namespace {
std::atomic<std::uint64_t> g_allocations{0};
}  // namespace

// GCC pairs the replacement's malloc/free with new/delete and warns about
// a mismatch that is the whole point of a replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using sigtap::Channel;
using sigtap::Duration;
using sigtap::Message;
using sigtap::Packet;

Channel open_or_die(const std::string& url) {
  auto ch = Channel::open(url, "raw", {});
  if (!ch.ok()) {
    std::fprintf(stderr, "open %s: %s\n", url.c_str(), ch.error().fmt().c_str());
    std::abort();
  }
  return std::move(ch).value();
}

Message can_message(std::uint64_t seq) {
  Message m;
  m.packet.emplace();
  m.packet->data.resize(8);
  std::memcpy(m.packet->data.data(), &seq, sizeof seq);
  m.packet->can = sigtap::CanHeader{0x123, false, false, false};
  return m;
}

std::uint64_t seq_of(const Message& m) {
  std::uint64_t seq = 0;
  std::memcpy(&seq, m.packet->data.data(), sizeof seq);
  return seq;
}

// One channel with echo sends to itself and polls: the whole path of a
// message (frame check, fan-out, queue, decode) on one thread.
void BM_EchoSendRecv(benchmark::State& state) {
  Channel ch = open_or_die("mem://bench-echo?echo=1");
  const Message msg = can_message(42);
  auto round_trip = [&] {
    if (!ch.send(msg).ok()) return false;
    auto got = ch.recv(Duration{});
    return got.ok() && got->has_value();
  };
  for (int i = 0; i < 1000; ++i) round_trip();  // grows the reusable buffers once
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    if (!round_trip()) {
      state.SkipWithError("echo round trip failed");
      break;
    }
  }
  const double allocs = static_cast<double>(g_allocations.load() - before);
  if (allocs > static_cast<double>(state.iterations())) state.SkipWithError("more than one allocation per packet");
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_packet"] = allocs / static_cast<double>(state.iterations());
  ch.close();
}
BENCHMARK(BM_EchoSendRecv);

// One sender, N other ports on the hub, each polled on the same thread:
// the allocations scale with the receiving ports, one copy each.
void BM_FanOut(benchmark::State& state) {
  const auto receivers = static_cast<std::size_t>(state.range(0));
  Channel tx = open_or_die("mem://bench-fanout");
  std::vector<Channel> rx;
  for (std::size_t i = 0; i < receivers; ++i) rx.push_back(open_or_die("mem://bench-fanout"));
  const Message msg = can_message(7);
  auto deliver = [&] {
    if (!tx.send(msg).ok()) return false;
    for (Channel& r : rx) {
      auto got = r.recv(Duration{});
      if (!got.ok() || !got->has_value()) return false;
    }
    return true;
  };
  for (int i = 0; i < 1000; ++i) deliver();
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    if (!deliver()) {
      state.SkipWithError("fan-out delivery failed");
      break;
    }
  }
  const double delivered = static_cast<double>(state.iterations() * receivers);
  const double allocs = static_cast<double>(g_allocations.load() - before);
  if (allocs > delivered) state.SkipWithError("more than one allocation per packet and port");
  state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
  state.counters["allocs_per_packet_per_port"] = allocs / delivered;
  tx.close();
  for (Channel& r : rx) r.close();
}
BENCHMARK(BM_FanOut)->Arg(1)->Arg(4);

// A producer thread sends bursts that fit in the receiving queue; a consumer
// thread receives them. Each iteration is one burst, so nothing may be lost.
void BM_ProducerConsumer(benchmark::State& state) {
  constexpr std::uint64_t kBurst = 10000;
  Channel tx = open_or_die("mem://bench-pc");
  Channel rx = open_or_die("mem://bench-pc");
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> out_of_order{0};
  std::thread consumer([&] {
    std::uint64_t expected = 0;
    for (;;) {
      auto got = rx.recv(Duration::from_millis(100));
      if (!got.ok()) return;  // closed
      if (!got->has_value()) continue;
      if (seq_of(**got) != expected) out_of_order.fetch_add(1, std::memory_order_relaxed);
      expected = seq_of(**got) + 1;
      received.fetch_add(1, std::memory_order_release);
    }
  });

  std::vector<Message> burst;
  std::uint64_t sent = 0;
  auto fill_burst = [&] {
    burst.clear();
    for (std::uint64_t i = 0; i < kBurst; ++i) burst.push_back(can_message(sent + i));
  };
  // Sends the burst and waits for the consumer to get all of it; a stall of
  // a second means packets were lost. Returns how many are missing.
  auto send_burst = [&]() -> std::uint64_t {
    for (const Message& m : burst) {
      if (!tx.send(m).ok()) state.SkipWithError("send failed");
    }
    sent += kBurst;
    auto last_progress = std::chrono::steady_clock::now();
    std::uint64_t seen = received.load(std::memory_order_acquire);
    while (seen < sent) {
      std::this_thread::yield();
      const std::uint64_t now_seen = received.load(std::memory_order_acquire);
      if (now_seen != seen) {
        seen = now_seen;
        last_progress = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - last_progress > std::chrono::seconds(1)) {
        break;
      }
    }
    return sent - seen;
  };

  fill_burst();
  std::uint64_t lost = send_burst();  // grows the receiving queue once
  const std::uint64_t warm = sent;
  std::uint64_t allocs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fill_burst();
    const std::uint64_t before = g_allocations.load();
    state.ResumeTiming();

    const std::uint64_t missing = send_burst();
    allocs += g_allocations.load() - before;
    lost += missing;
    if (missing != 0) {
      state.SkipWithError("packets were lost below the queue bound");
      break;
    }
  }
  rx.close();
  consumer.join();
  tx.close();
  const double measured = static_cast<double>(sent - warm);
  if (static_cast<double>(allocs) > measured) state.SkipWithError("more than one allocation per packet");
  state.SetItemsProcessed(static_cast<std::int64_t>(sent - warm));
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["out_of_order"] = static_cast<double>(out_of_order.load());
  state.counters["allocs_per_packet"] = measured == 0 ? 0.0 : static_cast<double>(allocs) / measured;
}
BENCHMARK(BM_ProducerConsumer)->UseRealTime();

}  // namespace
