// The bounded packet queue: overflow, polling, close semantics and wake-ups.
#include "core/queue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

using sigtap::Duration;
using sigtap::Packet;
using sigtap::Queue;

// Generous: only catches a hang, never measures speed.
constexpr Duration kHang{30, 0};

Packet numbered(std::uint32_t n) {
  Packet p;
  p.data.resize(4);
  std::memcpy(p.data.data(), &n, 4);
  return p;
}

std::uint32_t number_of(const Packet& p) {
  std::uint32_t n = 0;
  std::memcpy(&n, p.data.data(), 4);
  return n;
}

// Pops expecting a packet and returns its number.
std::uint32_t pop_number(Queue& q) {
  auto r = q.pop(Duration{});
  EXPECT_TRUE(r.ok() && r->has_value());
  return r.ok() && r->has_value() ? number_of(**r) : ~0u;
}

TEST(QueueTest, OverflowDropsTheOldest) {
  Queue q;
  for (std::uint32_t i = 0; i < Queue::kCapacity; ++i) q.push(numbered(i));
  ASSERT_EQ(q.size(), 65536u);
  q.push(numbered(65536));
  EXPECT_EQ(q.size(), 65536u);
  EXPECT_EQ(pop_number(q), 1u);  // packet 0 was dropped
  std::uint32_t last = 1;
  while (q.size() > 0) last = pop_number(q);
  EXPECT_EQ(last, 65536u);
}

TEST(QueueTest, ZeroTimeoutPolls) {
  Queue q;
  auto empty = q.pop(Duration{});
  ASSERT_TRUE(empty.ok());
  EXPECT_FALSE(empty->has_value());
  q.close();
  auto closed = q.pop(Duration{});
  ASSERT_FALSE(closed.ok());
  EXPECT_TRUE(closed.error().is_closed());
}

TEST(QueueTest, QueuedBeforeClosePoppedInOrderThenClosedForever) {
  Queue q;
  for (std::uint32_t i = 0; i < 3; ++i) q.push(numbered(i));
  q.close();
  q.close();  // a second close changes nothing
  q.push(numbered(99));
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(pop_number(q), i);
  for (int i = 0; i < 3; ++i) {
    auto r = q.pop(std::nullopt);  // must not block
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_closed());
  }
}

TEST(QueueTest, PushAfterCloseAndClearLeaveNothing) {
  Queue q;
  q.push(numbered(1));
  q.close();
  q.clear();
  EXPECT_EQ(q.size(), 0u);
  q.push(numbered(2));
  EXPECT_EQ(q.size(), 0u);
  auto r = q.pop(Duration{});
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_closed());
}

// A blocked pop, with or without a timeout, returns Closed when another
// thread closes the queue, long before any deadline.
class QueueCloseWakes : public ::testing::TestWithParam<std::optional<Duration>> {};

TEST_P(QueueCloseWakes, BlockedPopReturnsClosed) {
  Queue q;
  std::optional<bool> closed;
  std::thread waiter([&] {
    auto r = q.pop(GetParam());
    closed = !r.ok() && r.error().is_closed();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = std::chrono::steady_clock::now();
  q.close();
  waiter.join();
  EXPECT_EQ(closed, true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, QueueCloseWakes,
                         ::testing::Values(std::nullopt, std::optional<Duration>(Duration{3600, 0})));

TEST(QueueTest, PushWakesTimedWaiter) {
  Queue q;
  std::optional<std::uint32_t> got;
  std::thread waiter([&] {
    auto r = q.pop(kHang);
    if (r.ok() && r->has_value()) got = number_of(**r);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  q.push(numbered(7));
  waiter.join();
  EXPECT_EQ(got, 7u);
}

TEST(QueueTest, TimeoutReturnsNothing) {
  Queue q;
  auto r = q.pop(Duration::from_millis(10));
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->has_value());
}

// Several producers and consumers at once: every packet is handed out once,
// and each producer's packets come out in the order it pushed them.
TEST(QueueTest, ConcurrentProducersAndConsumers) {
  constexpr std::uint32_t kProducers = 4;
  constexpr std::uint32_t kPerProducer = 10000;  // all fit below the bound
  constexpr int kConsumers = 3;
  Queue q;
  std::vector<std::vector<std::uint32_t>> got(kConsumers);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&q, &got, c] {
      for (;;) {
        auto r = q.pop(kHang);
        if (!r.ok() || !r->has_value()) return;
        got[c].push_back(number_of(**r));
      }
    });
  }
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&q, p] {
      for (std::uint32_t i = 0; i < kPerProducer; ++i) q.push(numbered(p * kPerProducer + i));
    });
  }
  for (auto& t : producers) t.join();
  q.close();
  for (auto& t : threads) t.join();

  std::set<std::uint32_t> all;
  std::size_t total = 0;
  for (const auto& seen : got) {
    std::vector<std::uint32_t> last(kProducers, 0);
    std::vector<bool> any(kProducers, false);
    for (std::uint32_t n : seen) {
      const std::uint32_t p = n / kPerProducer;
      if (any[p]) {
        EXPECT_GT(n, last[p]) << "producer order broken";
      }
      any[p] = true;
      last[p] = n;
      all.insert(n);
    }
    total += seen.size();
  }
  EXPECT_EQ(total, kProducers * kPerProducer);
  EXPECT_EQ(all.size(), kProducers * kPerProducer);
}

}  // namespace
