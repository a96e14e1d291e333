// Throughput and allocations of the mem:// bus through channels with the raw codec.
//
// The replacement operator new below counts the heap allocations made inside
// the channel calls being measured (on the threads that make them), so each
// benchmark can report how many a delivered packet costs in a steady state
// (at most the copy of its bytes for each receiving port, and none for
// frames of up to 64 bytes, which are kept in place);
// the benchmark library's own allocations and those of other threads are
// not the channel's and are left out.
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
#include <utility>
#include <vector>

#include "bench/alloc_count.hpp"
#include "core/channel.hpp"



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
  sigtap::Bytes& data = m.packet->data.make_owned();
  data.resize(8);
  std::memcpy(data.data(), &seq, sizeof seq);
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
    sigtap::bench::Counted counted;
    if (!ch.send(msg).ok()) return false;
    auto got = ch.recv(Duration{});
    return got.ok() && got->has_value();
  };
  for (int i = 0; i < 1000; ++i) round_trip();  // grows the reusable buffers once
  const std::uint64_t before = sigtap::bench::g_counted.load();
  for (auto _ : state) {
    if (!round_trip()) {
      state.SkipWithError("echo round trip failed");
      break;
    }
  }
  const double allocs = static_cast<double>(sigtap::bench::g_counted.load() - before);
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
    sigtap::bench::Counted counted;
    if (!tx.send(msg).ok()) return false;
    for (Channel& r : rx) {
      auto got = r.recv(Duration{});
      if (!got.ok() || !got->has_value()) return false;
    }
    return true;
  };
  for (int i = 0; i < 1000; ++i) deliver();
  const std::uint64_t before = sigtap::bench::g_counted.load();
  for (auto _ : state) {
    if (!deliver()) {
      state.SkipWithError("fan-out delivery failed");
      break;
    }
  }
  const double delivered = static_cast<double>(state.iterations() * receivers);
  const double allocs = static_cast<double>(sigtap::bench::g_counted.load() - before);
  if (allocs > delivered) state.SkipWithError("more than one allocation per packet and port");
  state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
  state.counters["allocs_per_packet_per_port"] = allocs / delivered;
  tx.close();
  for (Channel& r : rx) r.close();
}
BENCHMARK(BM_FanOut)->Arg(1)->Arg(4);

// A producer thread sends bursts that fit in the receiving queue; a consumer
// thread receives them. Each iteration is one burst, so nothing may be lost.
// Allocations are counted inside the sends and the receives only, from the
// second burst on (the first grows the queue's ring and the reused buffers),
// and checked once over all measured bursts: a steady stream makes at most
// one per packet, the copy of its bytes.
void BM_ProducerConsumer(benchmark::State& state) {
  constexpr std::uint64_t kBurst = 10000;
  Channel tx = open_or_die("mem://bench-pc");
  Channel rx = open_or_die("mem://bench-pc");
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> out_of_order{0};
  std::vector<Message> burst;
  std::uint64_t sent = 0;
  auto fill_burst = [&] {
    burst.clear();
    for (std::uint64_t i = 0; i < kBurst; ++i) burst.push_back(can_message(sent + i));
  };
  // Sends the burst and waits for the consumer to get all of it; a stall of
  // a second means packets were lost. Returns how many are missing.
  auto send_burst = [&]() -> std::uint64_t {
    {
      sigtap::bench::Counted counted;
      for (const Message& m : burst) {
        if (!tx.send(m).ok()) state.SkipWithError("send failed");
      }
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

  // The first burst is queued whole before the consumer starts, so the
  // receiving queue's ring grows to its working size here, once.
  fill_burst();
  for (const Message& m : burst) {
    if (!tx.send(m).ok()) state.SkipWithError("send failed");
  }
  sent = kBurst;
  std::thread consumer([&] {
    std::uint64_t expected = 0;
    for (;;) {
      auto got = [&] {
        sigtap::bench::Counted counted;
        return rx.recv(Duration::from_millis(100));
      }();
      if (!got.ok()) return;  // closed
      if (!got->has_value()) continue;
      if (seq_of(**got) != expected) out_of_order.fetch_add(1, std::memory_order_relaxed);
      expected = seq_of(**got) + 1;
      received.fetch_add(1, std::memory_order_release);
    }
  });

  std::uint64_t lost = 0;
  while (received.load() < sent) std::this_thread::yield();
  const std::uint64_t warm = sent;
  const std::uint64_t before = sigtap::bench::g_counted.load();
  for (auto _ : state) {
    state.PauseTiming();
    fill_burst();  // not counted: the burst is the benchmark's, not the channel's
    state.ResumeTiming();

    const std::uint64_t missing = send_burst();
    lost += missing;
    if (missing != 0) {
      state.SkipWithError("packets were lost below the queue bound");
      break;
    }
  }
  const double allocs = static_cast<double>(sigtap::bench::g_counted.load() - before);
  rx.close();
  consumer.join();
  tx.close();
  const double measured = static_cast<double>(sent - warm);
  state.SetItemsProcessed(static_cast<std::int64_t>(sent - warm));
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["out_of_order"] = static_cast<double>(out_of_order.load());
  state.counters["allocs_per_packet"] = measured == 0 ? 0.0 : allocs / measured;
  if (allocs > measured) state.SkipWithError("more than one allocation per packet");
}
BENCHMARK(BM_ProducerConsumer)->UseRealTime();

// N sender threads, each on its own endpoint of one hub, and one receiver
// draining a further endpoint on this thread: packets delivered per second in
// all. The receiver's queue drops its oldest packets when the senders outrun
// it; those count as lost, not delivered.
void shared_hub(benchmark::State& state, const std::string& sender_url) {
  constexpr std::uint64_t kPackets = 400'000;  // per iteration, split among the senders
  const auto senders = static_cast<std::size_t>(state.range(0));
  Channel rx = open_or_die("mem://bench-shared");
  std::vector<Channel> tx;
  for (std::size_t i = 0; i < senders; ++i) tx.push_back(open_or_die(sender_url));
  std::uint64_t delivered = 0, lost = 0;
  for (auto _ : state) {
    std::atomic<std::size_t> ready{0}, done{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < senders; ++i) {
      threads.emplace_back([&, i] {
        const Message m = can_message(i);
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        for (std::uint64_t k = 0; k < kPackets / senders; ++k) {
          if (!tx[i].send(m).ok()) std::abort();
        }
        done.fetch_add(1, std::memory_order_release);
      });
    }
    while (ready.load() < senders) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    std::uint64_t got = 0;
    for (;;) {
      const bool finished = done.load(std::memory_order_acquire) == senders;
      auto r = rx.recv(Duration::from_millis(1));
      if (!r.ok()) std::abort();
      if (r->has_value()) {
        ++got;
      } else if (finished) {
        break;  // every sender was done before this receive found the queue empty
      }
    }
    const auto end = std::chrono::steady_clock::now();
    for (std::thread& t : threads) t.join();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    delivered += got;
    lost += kPackets / senders * senders - got;
  }
  rx.close();
  for (Channel& t : tx) t.close();
  state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
  state.counters["lost"] = static_cast<double>(lost);
}
// Every sender is a port of the hub too: each packet also reaches the other
// senders' queues, which nobody reads, so N senders make N copies per packet.
void BM_SharedHub(benchmark::State& state) { shared_hub(state, "mem://bench-shared"); }
BENCHMARK(BM_SharedHub)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same with senders whose filter passes none of the packets sent: one
// copy per packet, for the one receiver.
void BM_SharedHubSendOnly(benchmark::State& state) { shared_hub(state, "mem://bench-shared?filter=0x7FF"); }
BENCHMARK(BM_SharedHubSendOnly)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
