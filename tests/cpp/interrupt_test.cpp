// Interruptible waits: how they end, a worker's stop waking them at once, a join the caller ends, and a stop that is no error.
#include "core/interrupt.hpp"

#include <gtest/gtest.h>

#include "core/periodic.hpp"
#include "core/queue.hpp"
#include "core/subscription.hpp"
#include "core/worker.hpp"
#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace sigtap::test;

std::atomic<int> checks{0};
bool counting_check() { return ++checks, false; }
bool asking_check() { return ++checks, true; }
// Set on the thread whose encode holds the codec.
thread_local bool holds_the_codec = false;

// Each row: the wait's deadline, which interrupts count, whether the thread
// is stopped and which check is installed; how the wait ends when the step
// never finds what it waits for.
TEST(InterruptibleWait, EndsAtItsDeadlineOrOnTheInterruptsItCountsOnly) {
  struct Row {
    const char* name;
    bool deadline;
    Interrupts interrupts;
    bool stopped;
    InterruptCheck check;
    WaitEnd end;
  };
  const Row rows[] = {
      {"deadline", true, Interrupts::kAll, false, counting_check, WaitEnd::kTimedOut},
      {"caller's check", false, Interrupts::kAll, false, asking_check, WaitEnd::kInterrupted},
      {"thread's stop", false, Interrupts::kAll, true, nullptr, WaitEnd::kInterrupted},
      {"stop ignored by a join", true, Interrupts::kCallerOnly, true, counting_check, WaitEnd::kTimedOut},
      {"check heard by a join", false, Interrupts::kCallerOnly, true, asking_check, WaitEnd::kInterrupted},
  };
  for (const Row& row : rows) {
    std::stop_source stop;
    if (row.stopped) stop.request_stop();
    const std::stop_token token = stop.get_token();
    StopScope stop_scope(token);
    InterruptScope check_scope(row.check);
    checks = 0;
    Watchdog dog(row.name);
    const Instant start = Clock::now();
    int steps = 0;
    // A step that wakes at once, as a poll on a socket that a slow peer
    // drains does: the check still runs at most once a slice.
    const WaitEnd end = wait_interruptibly(row.deadline ? std::optional(start + 120ms) : std::nullopt, row.interrupts,
                                           [&](Clock::duration slice) {
                                             EXPECT_LE(slice, kInterruptSlice);
                                             ++steps;
                                             return false;
                                           });
    const auto slices = (Clock::now() - start) / kInterruptSlice;
    EXPECT_EQ(end, row.end) << row.name;
    EXPECT_LE(checks.load(), slices + 1) << row.name << ": the check ran " << checks << " times in " << steps << " steps";
  }
  // Ready at the third step.
  int steps = 0;
  EXPECT_EQ(wait_interruptibly(std::nullopt, Interrupts::kAll, [&](Clock::duration) { return ++steps == 3; }),
            WaitEnd::kReady);
}

// A worker's stop wakes the waits of its body that have no deadline at once:
// without it they would wait for good.
TEST(Worker, StopWakesItsBodysWaits) {
  const std::pair<const char*, std::function<void()>> waits[] = {
      {"queue pop", [] { Queue q; EXPECT_FALSE(q.pop(std::nullopt).value().has_value()); }},
      {"queue pop with an hour's timeout", [] { Queue q; EXPECT_FALSE(q.pop(Duration{3600, 0}).value().has_value()); }},
      {"sleep", [] { EXPECT_FALSE(sleep_interruptibly(std::nullopt)); }},
  };
  for (const auto& [name, wait] : waits) {
    Worker worker{std::weak_ptr<Inner>()};
    std::atomic<bool> started{false};
    ASSERT_TRUE(worker.start("sigtap-test", [&, wait = wait](std::stop_token) {
                        started = true;
                        wait();
                      }).ok());
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    std::this_thread::sleep_for(20ms);  // inside the wait, most likely
    Watchdog dog(name);
    EXPECT_TRUE(worker.stop_and_join().ok()) << name;
    EXPECT_FALSE(worker.running()) << name;
  }
}

// The caller's check ends a join (the thread stays asked to stop, and a
// later stop waits for it); without a check, and in the handle's end, the
// join waits.
TEST(Worker, TheCallersCheckEndsAJoinAndALaterStopWaitsAgain) {
  Worker worker{std::weak_ptr<Inner>()};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> saw_stop{false};
  ASSERT_TRUE(worker.start("sigtap-test", [&, released](std::stop_token token) {
                      released.wait();
                      saw_stop = token.stop_requested();
                    }).ok());
  {
    Watchdog dog("a join the caller's check ends");
    InterruptScope scope(asking_check);
    const Status stopped = worker.stop_and_join();
    EXPECT_EQ(error_text(stopped), "Interrupted system call (os error 4)");
  }
  EXPECT_TRUE(worker.running());
  release.set_value();
  Watchdog dog("a later join");
  EXPECT_TRUE(worker.stop_and_join().ok());
  EXPECT_TRUE(saw_stop.load());
  EXPECT_FALSE(worker.running());
}

// A stop is not an error: a subscription or a sender stopped while it waits
// for a codec that another thread's encode holds reports nothing.
TEST(Worker, AStopWhileWaitingForABusyCodecIsNoError) {
  for (const bool subscription : {true, false}) {
    auto t = std::make_shared<FakeTransport>();
    std::promise<void> inside, release;
    std::shared_future<void> released = release.get_future().share();
    Channel ch = make_channel(t, std::make_unique<FakeCodec>([&] {
      if (holds_the_codec) {
        inside.set_value();
        released.wait();
      }
    }));
    std::mutex mutex;
    std::vector<std::string> items;
    std::unique_ptr<Subscription> sub;
    std::unique_ptr<Periodic> sender;
    if (subscription) {
      sub = std::move(ch.subscribe([&](Result<Message> item) {
                          std::lock_guard lock(mutex);
                          items.push_back(item.ok() ? *item->name : item.error().fmt());
                          return true;
                        }).value());
    } else {
      sender = std::move(ch.every(Duration::from_millis(1), named("tick"), std::nullopt).value());
      ASSERT_TRUE(t->wait_sent(1));
    }
    auto busy = std::async(std::launch::async, [&] {
      holds_the_codec = true;
      return error_text(ch.send(named("slow")));
    });
    inside.get_future().wait();
    if (subscription) t->push({bytes({1, 'x'})});  // decoded only once the codec is free
    std::this_thread::sleep_for(120ms);            // the worker now waits for the codec
    {
      Watchdog dog("a stop while waiting for a busy codec");
      EXPECT_TRUE(subscription ? sub->stop_and_join().ok() : sender->stop_and_join().ok());
    }
    release.set_value();
    EXPECT_EQ(busy.get(), "");
    if (subscription) {
      std::lock_guard lock(mutex);
      EXPECT_EQ(items, std::vector<std::string>{}) << "a stopped subscription is handed nothing";
    } else {
      EXPECT_EQ(sender->last_error(), std::nullopt);
    }
  }
}

}  // namespace
