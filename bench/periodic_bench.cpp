// Timing of periodic senders and throughput of subscriptions over the mem:// bus.
//
// Each benchmark is one long measurement (Iterations(1)); the figures are
// reported as counters: lateness of each send against its due time, sends
// made against sends due, and messages per second delivered to a callback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/codec/raw.hpp"
#include "core/periodic.hpp"
#include "core/subscription.hpp"

namespace {

using namespace sigtap;
using namespace std::chrono_literals;

TransportPtr open_transport(const std::string& url) {
  auto t = transport::open(url);
  if (!t.ok()) {
    std::fprintf(stderr, "open %s: %s\n", url.c_str(), t.error().fmt().c_str());
    std::abort();
  }
  return std::move(t).value();
}

// Notes the steady-clock instant of every send, then hands the packet on.
class TimedTransport final : public Transport {
 public:
  explicit TimedTransport(TransportPtr inner) : inner_(std::move(inner)) { at_.reserve(1 << 16); }
  Status send(const Packet& packet) override {
    at_.push_back(Clock::now());  // only the sender thread writes; read after it was joined
    return inner_->send(packet);
  }
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override { return inner_->recv(timeout); }
  void close() override { inner_->close(); }
  const std::vector<Instant>& sends() const { return at_; }

 private:
  TransportPtr inner_;
  std::vector<Instant> at_;
};

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// A sender on mem:// for 5 s; a second port on the hub receives the packets.
// Due times follow the sender's own rule: one period after the previous due
// time, or the present when that is more than one period behind. The grid
// starts at the first send (the sender's start is a few microseconds earlier),
// and a restart is taken as due at its own send (the sender's clock reading
// just before it), so these figures slightly understate the lateness.
void BM_PeriodicLateness(benchmark::State& state) {
  const auto period_ms = static_cast<std::uint64_t>(state.range(0));
  const Duration period = Duration::from_millis(period_ms);
  const Clock::duration step = period.to_clock();
  const Duration run = Duration{5, 0};
  for (auto _ : state) {
    std::string hub = "mem://periodic-bench-" + std::to_string(period_ms);
    auto timed = std::make_shared<TimedTransport>(open_transport(hub));
    Channel sender(std::make_shared<Inner>(timed, std::make_unique<Raw>()));
    Channel receiver(std::make_shared<Inner>(open_transport(hub), std::make_unique<Raw>()));
    std::atomic<std::uint64_t> received{0};
    auto sub = receiver.subscribe([&](Result<Message> item) {
      if (item.ok()) received.fetch_add(1, std::memory_order_relaxed);
      return true;
    });
    Message m;
    m.packet.emplace().data = Bytes(8, 0x5A);
    Instant before = Clock::now();
    auto p = sender.every(period, m, run);
    if (!p.ok() || !sub.ok()) std::abort();
    while ((*p)->is_running()) std::this_thread::sleep_for(10ms);
    std::uint64_t sent = (*p)->sent_count();
    p->reset();  // joined: the send instants are complete
    std::this_thread::sleep_for(100ms);
    receiver.close();
    sub->reset();

    const std::vector<Instant>& at = timed->sends();
    std::vector<double> late;
    std::uint64_t restarts = 0;
    Instant due = at.empty() ? before : at[0];
    for (std::size_t i = 0; i < at.size(); ++i) {
      if (i > 0) {
        Instant prev_due = due;
        due = prev_due + step;
        // More than one period behind, the sender restarts its grid from the
        // present: its next send then comes a period later, where a sender
        // that merely catches up sends again at once.
        bool behind = at[i] > prev_due + 2 * step;
        if (behind && (i + 1 == at.size() || at[i + 1] - at[i] > step / 2)) {
          due = at[i];
          ++restarts;
        }
      }
      late.push_back(us(at[i] - due));
    }
    state.counters["first_send_us"] = at.empty() ? 0 : us(at[0] - before);
    state.counters["late_p50_us"] = percentile(late, 0.50);
    state.counters["late_p99_us"] = percentile(late, 0.99);
    state.counters["late_max_us"] = late.empty() ? 0 : *std::max_element(late.begin(), late.end());
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["expected"] = static_cast<double>(run.secs * 1000 / period_ms);
    state.counters["received"] = static_cast<double>(received.load());
    state.counters["restarts"] = static_cast<double>(restarts);
  }
}
BENCHMARK(BM_PeriodicLateness)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// 200,000 packets from one port of a hub to a subscription on another. With
// the backlog kept under `max_backlog` (below the 65536-packet queue bound)
// nothing may be lost; a backlog of 0 means no pacing at all (a burst, where
// the queue drops its oldest packets once full).
void BM_SubscriptionThroughput(benchmark::State& state) {
  constexpr std::uint64_t kPackets = 200'000;
  const auto max_backlog = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    std::string hub = "mem://subscription-bench-" + std::to_string(max_backlog);
    Channel tx(std::make_shared<Inner>(open_transport(hub), std::make_unique<Raw>()));
    Channel rx(std::make_shared<Inner>(open_transport(hub), std::make_unique<Raw>()));
    std::atomic<std::uint64_t> received{0};
    std::uint64_t out_of_order = 0, last_seq = 0;
    Instant last_at{};
    auto sub = rx.subscribe([&](Result<Message> item) {
      if (!item.ok()) return true;
      const Message& message = item.value();
      if (!message.packet || message.packet->data.size() != sizeof(std::uint64_t)) return true;
      std::uint64_t seq = 0;
      std::memcpy(&seq, message.packet->data.data(), sizeof seq);
      if (seq <= last_seq) ++out_of_order;
      last_seq = seq;
      last_at = Clock::now();
      received.fetch_add(1, std::memory_order_release);
      return true;
    });
    if (!sub.ok()) std::abort();

    Message m;
    m.packet.emplace().data = Bytes(8);
    const Instant start = Clock::now();
    for (std::uint64_t seq = 1; seq <= kPackets; ++seq) {
      std::memcpy(m.packet->data.make_owned().data(), &seq, sizeof seq);
      while (max_backlog && seq - received.load(std::memory_order_acquire) > max_backlog) std::this_thread::yield();
      if (!tx.send(m).ok()) std::abort();
    }
    // Done once everything arrived, or once nothing more came for 200 ms.
    for (std::uint64_t seen = 0; received.load() < kPackets;) {
      std::this_thread::sleep_for(200ms);
      if (received.load() == seen) break;
      seen = received.load();
    }
    rx.close();
    sub->reset();  // joined: the callback's counters are final

    const double secs = std::chrono::duration<double>(last_at - start).count();
    state.SetIterationTime(secs);
    state.counters["delivered"] = static_cast<double>(received.load());
    state.counters["lost"] = static_cast<double>(kPackets - received.load());
    state.counters["out_of_order"] = static_cast<double>(out_of_order);
    state.counters["msgs_per_s"] = static_cast<double>(received.load()) / secs;
  }
}
BENCHMARK(BM_SubscriptionThroughput)
    ->Arg(50'000)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace
