// Periodic senders: the schedule, send errors, updates, and stopping from any thread.
#include "core/periodic.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace sigtap::test;

Message data(std::size_t size, std::uint8_t byte) { return raw(std::vector<std::uint8_t>(size, byte)); }

TEST(Periodic, EveryRefusesAndStartsNothing) {
  const std::tuple<Duration, Message, const char*> cases[] = {
      {Duration{}, data(1, 1), "the period must be positive"},
      {Duration::from_millis(10), named("bad"), "encode error: no such message"},
  };
  const int before = threads_named("sigtap-periodic");
  auto t = std::make_shared<FakeTransport>();
  Channel ch = make_channel(t, std::make_unique<FakeCodec>());
  for (const auto& [period, message, text] : cases) EXPECT_EQ(error_text(ch.every(period, message, std::nullopt)), text);
  EXPECT_TRUE(threads_named("sigtap-periodic") == before && t->sent().empty());
}

// The largest period and duration neither overflow into an early send nor
// keep the drop from joining at once.
TEST(Periodic, SendsAtOnceOnANamedThreadAndDropJoins) {
  constexpr Duration kHuge{~std::uint64_t{0}, 999'999'999};
  auto t = std::make_shared<FakeTransport>();
  auto p = make_channel(t).every(kHuge, data(3, 7), kHuge);
  ASSERT_TRUE(p.ok() && t->wait_sent(1)) << "the first send is due at once, not one period later";
  const auto first = t->sent()[0];
  EXPECT_TRUE(comm_of(first.tid) == "sigtap-periodic" && first.packet == *data(3, 7).packet);
  EXPECT_TRUE(eventually([&] { return (*p)->sent_count() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(t->sent().size(), 1u) << "the next send is never due";
  { Watchdog dog("dropping a sender that waits for an endless period"); p->reset(); }
  EXPECT_FALSE(task_exists(first.tid)) << "the drop joined the thread";
}

// Closed before the start (0), a zero duration (1), closed after the first
// send (2): the sender ends by itself, seeing the close before the next send.
// A nameless message without data (3) fails every send and keeps running.
TEST(Periodic, EndsOrFailsWithoutSending) {
  for (int c : {0, 1, 2, 3}) {
    auto t = std::make_shared<FakeTransport>();
    Channel ch = make_channel(t);
    if (c == 0) ch.close();
    auto p = ch.every(Duration::from_millis(c == 3 ? 5 : 500), c == 3 ? Message{} : data(1, 5),
                      c == 1 ? Duration{} : kHang);
    ASSERT_TRUE(p.ok()) << "every does not look at the closed flag";
    if (c == 2) {
      ASSERT_TRUE(eventually([&] { return (*p)->sent_count() == 1; }));
      ch.close();
    }
    EXPECT_TRUE(eventually([&] { return !(*p)->is_running() || (*p)->last_error(); })) << c;
    EXPECT_TRUE(t->sent().size() == (*p)->sent_count() && (*p)->sent_count() == (c == 2 ? 1u : 0u)) << c;
    EXPECT_EQ((*p)->is_running(), c == 3) << c;
    EXPECT_EQ((*p)->last_error().value_or(""), c == 3 ? "encode error: a message needs a name or data" : "");
  }
}

// Sends at 0 and 1 s, then (the period set to 50 ms after the first send)
// every 50 ms until the duration ends: the scheduled send is not brought
// forward, no send is early, and the duration bounds their number.
TEST(Periodic, SetPeriodKeepsTheScheduledSendAndTheDurationBoundsTheSends) {
  auto t = std::make_shared<FakeTransport>();
  auto p = make_channel(t).every(Duration::from_millis(1000), data(1, 6), Duration::from_millis(2025));
  // Counted in the same step as the reschedule: the second send is now due at 1 s.
  ASSERT_TRUE(p.ok() && eventually([&] { return (*p)->sent_count() == 1; }));
  EXPECT_EQ(error_text((*p)->set_period(Duration{})), "the period must be positive");
  ASSERT_TRUE((*p)->set_period(Duration::from_millis(50)).ok());
  ASSERT_TRUE(eventually([&] { return !(*p)->is_running(); }));
  const auto sent = t->sent();
  // Due at 0, 1000, 1050, ... 2000 ms: never more than 22; five at least follow the new period.
  ASSERT_TRUE(sent.size() >= 6 && sent.size() <= 22) << sent.size();
  for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_GE(ms_between(sent[0].at, sent[i].at), 950.0 + 50 * (i - 1)) << i;
  EXPECT_EQ((*p)->sent_count(), sent.size());
}

TEST(Periodic, UpdateNeverTearsASend) {
  const Message a = data(256, 0xAA), b = data(64, 0x55), last = data(16, 0x77);
  auto t = std::make_shared<FakeTransport>();
  auto p = make_channel(t).every(Duration::from_nanos(200'000), a, std::nullopt);
  ASSERT_TRUE(p.ok());  // a torn send would hold bytes of two messages, or a length of one with bytes of the other
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(50us)) (*p)->update(i % 2 ? a : b);
  (*p)->update(last);
  ASSERT_TRUE(t->wait_sent(t->sent().size() + 2));
  p->reset();
  for (const auto& s : t->sent()) ASSERT_TRUE(s.packet == *a.packet || s.packet == *b.packet || s.packet == *last.packet);
  EXPECT_EQ(t->sent().back().packet, *last.packet);
}

// A plug-in transport may drop the sender from inside its send: the stop
// must not join its own thread, and the detached thread must not touch the
// destroyed handle.
TEST(Periodic, DroppedFromItsOwnSendDoesNotDeadlock) {
  std::atomic<Periodic*> slot{nullptr};
  std::atomic<int> calls{0}, dropped_at{0};
  auto t = std::make_shared<FakeTransport>(std::vector<FakeTransport::Item>{}, [&](const Packet&) {
    ++calls;
    if (Periodic* mine = slot.exchange(nullptr)) { delete mine; dropped_at = calls.load(); }
    return Status{};
  });
  Watchdog dog("a sender dropped from its own send");
  auto p = make_channel(t).every(Duration::from_millis(5), data(1, 1), std::nullopt);
  ASSERT_TRUE(p.ok());
  slot = p->release();
  ASSERT_TRUE(eventually([&] { return dropped_at.load() != 0; }) && t->wait_sent(1));
  EXPECT_TRUE(eventually([&] { return !task_exists(t->sent()[0].tid); }));
  EXPECT_EQ(calls.load(), dropped_at.load()) << "the send in progress was the last";
}

// A Python codec may stop a sender while the codec lock is held, and the
// sender may be waiting for that lock: the stop must not join it.
TEST(Periodic, StoppedUnderTheCodecLockDoesNotDeadlock) {
  std::atomic<Periodic*> target{nullptr};
  const auto main_thread = std::this_thread::get_id();
  auto t = std::make_shared<FakeTransport>();
  Channel ch = make_channel(t, std::make_unique<FakeCodec>([&] {
    if (!target.load() || std::this_thread::get_id() != main_thread) return;
    std::this_thread::sleep_for(100ms);  // gives the sender time to block on the codec lock (else this checks less)
    (void)target.load()->stop_and_join();
  }));
  auto p = ch.every(Duration::from_millis(10), named("tick"), std::nullopt);
  ASSERT_TRUE(p.ok() && t->wait_sent(1));
  target = p->get();
  { Watchdog dog("a sender stopped from inside an encode"); EXPECT_TRUE(ch.send(named("now")).ok()); }
  EXPECT_FALSE((*p)->is_running());
  EXPECT_TRUE(eventually([&] { return !task_exists(t->sent()[0].tid); }));
}

// A send that throws (a failed allocation) fails with "out of memory"; the
// sender goes on.
TEST(Periodic, AFailedAllocationIsASendError) {
  std::atomic<int> calls{0};
  auto t = std::make_shared<FakeTransport>(std::vector<FakeTransport::Item>{}, [&](const Packet&) -> Status {
    if (calls++ == 0) throw std::bad_alloc();
    return {};
  });
  auto p = make_channel(t).every(Duration::from_millis(1), data(1, 1), std::nullopt);
  ASSERT_TRUE(p.ok() && t->wait_sent(1));
  EXPECT_EQ((*p)->last_error().value_or(""), "out of memory");
  EXPECT_TRUE((*p)->is_running());
}

// Stop racing with close, then stop again.
TEST(Periodic, StopRacingWithCloseNeverHangs) {
  Watchdog dog("stop racing with close");
  for (int i = 0; i < 20; ++i) {
    Channel ch = make_channel(std::make_shared<FakeTransport>());
    auto p = ch.every(Duration::from_millis(1), data(1, 1), std::nullopt);
    ASSERT_TRUE(p.ok());
    std::thread closer([&] { ch.close(); });
    EXPECT_TRUE((*p)->stop_and_join().ok());
    closer.join();
    const std::uint64_t count = (*p)->sent_count();
    EXPECT_TRUE((*p)->stop_and_join().ok());
    EXPECT_TRUE(!(*p)->is_running() && (*p)->sent_count() == count) << "a stopped sender sends nothing more";
  }
}

}  // namespace
