// Subscriptions: delivery order, the closed item, the error back-off, and stopping from any thread.
#include "core/subscription.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace sigtap::test;
using Strings = std::vector<std::string>;
using Script = std::vector<FakeTransport::Item>;

FakeTransport::Item in(std::uint8_t byte) { return {bytes({byte})}; }
const FakeTransport::Item kLinkDown = FakeTransport::error("link down");

// What the callback was handed, as text: "m<first byte>" or the error's display text.
struct Items {
  SubscriptionCallback callback(bool answer = true) {
    return [this, answer](Result<Message> item) {
      std::lock_guard lock(mutex);
      items.push_back(item.ok() ? "m" + std::to_string(item->packet->data[0]) : item.error().fmt());
      return answer;
    };
  }
  Strings get() { std::lock_guard lock(mutex); return items; }
  bool wait_for(std::size_t n) { return eventually([&] { return get().size() >= n; }); }
  std::mutex mutex;
  Strings items;
};

// Messages in order, then the closed item once, whether the channel was
// closed or its transport reported the end of its input; the answer false
// ends the subscription at once, without the closed item.
TEST(Subscription, DeliversInOrderThenTheClosedItemOnce) {
  const Strings kAll{"m1", "m2", "m3", "the channel is closed"};
  const std::tuple<Script, bool, bool, Strings> cases[] = {  // script, answer, close the channel, items
      {{in(1), in(2), in(3)}, true, true, kAll},
      {{in(1), in(2), in(3), FakeTransport::end()}, true, false, kAll},
      {{in(1), in(2)}, false, false, {"m1"}},
      {{kLinkDown, in(2)}, false, false, {"link down"}},
  };
  for (const auto& [script, answer, close, expected] : cases) {
    auto t = std::make_shared<FakeTransport>(script);
    Channel ch = make_channel(t);
    Items items;
    auto sub = ch.subscribe(items.callback(answer));
    ASSERT_TRUE(sub.ok());
    if (close) {
      EXPECT_EQ(comm_of(t->receiver()), "sigtap-subscrip");
      ASSERT_TRUE(items.wait_for(3));
      ch.close();
    }
    EXPECT_TRUE(eventually([&] { return !(*sub)->is_running(); }));
    EXPECT_EQ(items.get(), expected);
    EXPECT_EQ(ch.closed(), close);
  }
}

// Waits between receives after errors: 0, 10, 20, ... 640 ms, then 1 s; a
// message starts the sequence again. Lower bounds are exact (a sleep never
// ends early); the only upper bounds are the lower bounds of the faults they
// tell apart: no cap (2560 ms after the tenth error), no reset (1 s on).
TEST(Subscription, ErrorBackoffGrowsToOneSecondAndResets) {
  Script script(14, kLinkDown);
  script[10] = in(7);
  auto t = std::make_shared<FakeTransport>(std::move(script));
  Items items;
  auto sub = make_channel(t).subscribe(items.callback());
  ASSERT_TRUE(sub.ok() && items.wait_for(14) && eventually([&] { return t->receives().size() >= 15; }));
  sub->reset();
  Strings expected(14, "link down");
  expected[10] = "m7";
  EXPECT_EQ(items.get(), expected);
  const double least_ms[] = {0, 10, 20, 40, 80, 160, 320, 640, 1000, 1000, 0, 0, 10, 20};
  const double below_ms[] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 2560, 1000, 1000, 1000, 1000};
  const auto at = t->receives();
  for (std::size_t i = 0; i < std::size(least_ms); ++i) {
    const double waited = ms_between(at[i], at[i + 1]);
    EXPECT_TRUE(waited >= least_ms[i] && waited < below_ms[i]) << "after item " << i << ": " << waited;
  }
}

// The callback drops its own subscription: the stop returns at once, the
// thread finishes the callback and ends without touching the gone handle.
TEST(Subscription, DroppedFromItsOwnCallback) {
  auto t = std::make_shared<FakeTransport>();
  std::atomic<Subscription*> slot{nullptr};
  std::atomic<int> calls{0};
  Watchdog dog("a subscription dropped from its own callback");
  auto sub = make_channel(t).subscribe([&](Result<Message>) {
    ++calls;
    delete slot.exchange(nullptr);
    return true;
  });
  ASSERT_TRUE(sub.ok());
  slot = sub->release();
  const pid_t tid = t->receiver();
  t->push(in(1)), t->push(in(2));
  EXPECT_TRUE(eventually([&] { return !task_exists(tid); }));
  EXPECT_EQ(calls.load(), 1);
}

// Stop and drop join the thread, whether it waits in a receive or in the
// longest back-off (the wait after the ninth error is 1 s).
TEST(Subscription, StopAndDropJoinPromptly) {
  for (std::size_t errors : {0, 9}) {
    for (bool drop : {false, true}) {
      auto t = std::make_shared<FakeTransport>(Script(errors, kLinkDown));
      Items items;
      auto sub = make_channel(t).subscribe(items.callback());
      ASSERT_TRUE(sub.ok() && items.wait_for(errors));
      const pid_t tid = t->receiver();
      {
        Watchdog dog("stopping a subscription");
        drop ? sub->reset() : (void)(*sub)->stop_and_join();
      }
      EXPECT_FALSE(task_exists(tid)) << "joined by the " << (drop ? "drop" : "stop");
      EXPECT_TRUE(drop || !(*sub)->is_running());
    }
  }
}

// stop_and_detach() does not wait for a thread stuck in its callback (the binding
// gives up on one blocked in Python at exit): it ends by itself later.
TEST(Subscription, StopWithoutWaitingLeavesABusyThreadToEndByItself) {
  auto t = std::make_shared<FakeTransport>(Script{in(1)});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> entered{false};
  auto sub = make_channel(t).subscribe([&entered, released](Result<Message>) {
    entered = true;
    released.wait();
    return true;
  });
  ASSERT_TRUE(sub.ok() && eventually([&] { return entered.load(); }));
  const pid_t tid = t->receiver();
  (*sub)->request_stop();
  EXPECT_FALSE((*sub)->finished());
  {
    Watchdog dog("a stop that does not wait");
    (*sub)->stop_and_detach();
  }
  release.set_value();
  EXPECT_TRUE(eventually([&] { return !task_exists(tid); }));
}

// What the receive path throws (the containers' std::bad_alloc) is an error
// of that receive, handed over as any other; the subscription goes on.
TEST(Subscription, AnExceptionInTheReceiveIsAnError) {
  struct Throwing final : Codec {
    Result<std::vector<Packet>> encode(const Message&) override { return Error::encode("unused"); }
    Status decode(Packet packet, std::vector<Message>&) override {
      if (packet.data[0] == 1) throw std::bad_alloc();
      if (packet.data[0] == 2) throw std::length_error("vector::reserve");
      throw std::runtime_error("bad state");
    }
  };
  auto t = std::make_shared<FakeTransport>(Script{in(1), in(2), in(3), FakeTransport::end()});
  Items items;
  auto sub = make_channel(t, std::make_unique<Throwing>()).subscribe(items.callback());
  ASSERT_TRUE(sub.ok() && items.wait_for(4));
  EXPECT_EQ(items.get(), (Strings{"out of memory", "out of memory", "bad state", "the channel is closed"}));
}

}  // namespace
