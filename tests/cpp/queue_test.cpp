// The bounded packet queue: overflow, polling, close and wake-ups.
#include "core/queue.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace std::chrono_literals;

constexpr std::int64_t kNothing = -1, kClosed = -2;

Packet numbered(std::uint32_t n) {
  Packet p{test::Bytes(4), {}, {}, {}};
  std::memcpy(p.data.make_owned().data(), &n, 4);
  return p;
}

// The number of the packet popped, kNothing on timeout, kClosed when closed.
std::int64_t pop(Queue& q, std::optional<Duration> timeout = Duration{}) {
  auto r = q.pop(timeout);
  if (!r.ok()) return r.error().is_closed() ? kClosed : -3;
  if (!r->has_value()) return kNothing;
  std::uint32_t n = 0;
  std::memcpy(&n, (*r)->data.data(), 4);
  return n;
}

TEST(QueueTest, OverflowDropsTheOldest) {
  Queue q;
  for (std::uint32_t i = 0; i <= Queue::kCapacity; ++i) q.push(numbered(i));
  ASSERT_EQ(q.size(), 65536u);
  std::uint32_t in_order = 0;  // packet 0 was dropped, the rest come out in order
  for (std::int64_t i = 1; i <= 65536; ++i) in_order += pop(q) == i;
  EXPECT_EQ(in_order, 65536u);
  EXPECT_EQ(pop(q), kNothing);
}

TEST(QueueTest, PollTimeoutAndClose) {
  Queue q;
  EXPECT_EQ(pop(q), kNothing);  // a zero timeout polls
  EXPECT_EQ(pop(q, Duration::from_millis(10)), kNothing);
  for (std::uint32_t i = 0; i < 3; ++i) q.push(numbered(i));
  q.close(), q.close();  // twice is harmless
  q.push(numbered(99));  // ignored once closed
  for (std::int64_t i = 0; i < 3; ++i) EXPECT_EQ(pop(q), i) << "queued before the close";
  EXPECT_EQ(pop(q, std::nullopt), kClosed);  // must not block
}

// A run stops at the count asked for, or after the packet that brings it to
// kRunBytes, and leaves the rest queued in order.
TEST(QueueTest, RunsStopAtTheirCountOrSize) {
  Queue q;
  for (std::uint32_t i = 0; i < 5; ++i) q.push(numbered(i));
  q.push(Packet{test::Bytes(Queue::kRunBytes), {}, {}, {}});
  q.push(numbered(9));
  std::vector<std::size_t> runs;
  std::vector<std::uint32_t> firsts;
  for (std::size_t more : {2, 63, 63, 63}) {
    std::vector<Packet> rest;
    std::optional<Packet> first = q.try_pop_many(rest, more);
    runs.push_back(first ? 1 + rest.size() : 0);
    std::uint32_t n = 0;
    if (first) std::memcpy(&n, first->data.data(), 4);
    firsts.push_back(n);
  }
  EXPECT_EQ(runs, (std::vector<std::size_t>{3, 3, 1, 0}));
  EXPECT_EQ(firsts, (std::vector<std::uint32_t>{0, 3, 9, 0}));
}

// A pop blocked with or without a timeout wakes for a push, and returns
// Closed when another thread closes the queue. (The pause only gives the
// waiter time to block; without it the test passes but checks less.)
TEST(QueueTest, BlockedPopWakes) {
  test::Watchdog dog("a blocked pop");
  for (auto timeout : {std::optional<Duration>(), std::optional<Duration>(Duration{3600, 0})}) {
    for (bool close : {true, false}) {
      Queue q;
      auto got = std::async(std::launch::async, [&] { return pop(q, timeout); });
      std::this_thread::sleep_for(20ms);
      close ? q.close() : q.push(numbered(7));
      EXPECT_EQ(got.get(), close ? kClosed : 7) << close;
    }
  }
}

// Over the byte budget, push() drops the oldest (a packet larger than the
// budget is kept alone) while push_waiting() waits for a pop or the close.
TEST(QueueTest, ByteBudget) {
  Queue q(10);
  for (std::uint32_t i = 0; i < 3; ++i) q.push(numbered(i));
  EXPECT_EQ(pop(q), 1);
  q.push(Packet{test::Bytes(64), {}, {}, {}});
  EXPECT_EQ(q.bytes(), 64u);
  q.clear();
  test::Watchdog dog("push_waiting");
  for (bool close : {false, true}) {
    q.push(numbered(1)), q.push(numbered(2));
    auto producer = std::async(std::launch::async, [&q] { q.push_waiting(numbered(3)); });
    EXPECT_EQ(producer.wait_for(20ms), std::future_status::timeout) << "pushed over the budget";
    close ? q.close() : (void)pop(q);
    producer.get();
    EXPECT_EQ(q.size(), 2u);
    EXPECT_TRUE(close || (pop(q) == 2 && pop(q) == 3));
  }
}

// Room for one packet wakes one waiting producer, not every one: those that
// stay blocked are never woken (their context switches stay put), while
// each packet taken lets one more in. Close wakes the rest.
TEST(QueueTest, TakingAPacketWakesOneProducer) {
  test::Watchdog dog("push_waiting");
  Queue q(4);
  q.push(numbered(0));
  constexpr int kProducers = 20, kTaken = 10;
  std::vector<std::atomic<pid_t>> tids(kProducers);
  std::vector<std::atomic<bool>> done(kProducers);
  std::vector<std::thread> producers;
  for (int i = 0; i < kProducers; ++i) {
    producers.emplace_back([&, i] { tids[i] = gettid(), q.push_waiting(numbered(1)), done[i] = true; });
  }
  const auto switches = [&](int i) {
    std::ifstream status("/proc/self/task/" + std::to_string(tids[i].load()) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
  };
  std::this_thread::sleep_for(200ms);  // the producers block (else this checks less)
  std::vector<long> before(kProducers);
  for (int i = 0; i < kProducers; ++i) before[i] = switches(i);
  for (int i = 0; i < kTaken; ++i) {
    EXPECT_NE(pop(q), kNothing);
    ASSERT_TRUE(test::eventually([&] { return q.size() == 1; }));
  }
  std::this_thread::sleep_for(50ms);
  long woken_in_vain = 0;
  int waiting = 0;
  for (int i = 0; i < kProducers; ++i) {
    if (!done[i]) woken_in_vain += switches(i) - before[i], ++waiting;
  }
  EXPECT_EQ(waiting, kProducers - kTaken);
  EXPECT_LT(woken_in_vain, waiting) << "context switches of the producers still waiting";
  q.close();
  for (auto& p : producers) p.join();
}

}  // namespace
