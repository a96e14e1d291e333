// Subscriptions: delivery order, the closed item, the error back-off, and stopping from any thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>

#include "core/codec/raw.hpp"
#include "core/subscription.hpp"

using namespace sigtap;
using namespace std::chrono_literals;

namespace {

// Hands out scripted receive results (packets, errors, the end of input), then
// waits for more; records when each receive was asked for and on which thread.
class ScriptedTransport final : public Transport {
 public:
  struct Item {
    std::optional<Packet> packet;
    const char* error = nullptr;  // an Io error with this text; neither: the end of input
  };
  static Item packet(std::uint8_t byte) { return {Packet{{byte}, {}, {}, {}}}; }
  static Item error(const char* text) { return {std::nullopt, text}; }
  static Item end() { return {}; }

  void push(Item item) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(item));
    cv_.notify_all();
  }
  // With nothing scripted, fail every receive at once.
  void fail_when_idle() {
    std::lock_guard lock(mutex_);
    failing_ = true;
    cv_.notify_all();
  }
  Status send(const Packet&) override { return {}; }
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override {
    std::unique_lock lock(mutex_);
    receives_.push_back(Clock::now());
    tid_ = gettid();
    cv_.notify_all();
    auto ready = [&] { return closed_ || failing_ || !script_.empty(); };
    if (timeout) cv_.wait_for(lock, timeout->to_clock(), ready);
    else cv_.wait(lock, ready);
    if (!script_.empty()) {
      Item item = std::move(script_.front());
      script_.pop_front();
      if (item.packet) return std::move(item.packet);
      if (item.error) return Error::io(IoKind::Other, item.error);
      return Error::closed();
    }
    if (closed_) return Error::closed();
    if (failing_) return Error::io(IoKind::Other, "link down");
    return std::optional<Packet>{};
  }
  void close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

  std::vector<Instant> receives() {
    std::lock_guard lock(mutex_);
    return receives_;
  }
  // The receiving thread, once it has asked for something.
  pid_t receiver() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 5s, [&] { return tid_ != 0; });
    return tid_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> script_;
  std::vector<Instant> receives_;
  pid_t tid_ = 0;
  bool failing_ = false;
  bool closed_ = false;
};

// Decodes like the raw codec; lets a test act from inside an encode.
class HookCodec final : public Codec {
 public:
  explicit HookCodec(std::function<void()> on_encode) : on_encode_(std::move(on_encode)) {}
  Result<std::vector<Packet>> encode(const Message&) override {
    on_encode_();
    return std::vector<Packet>{};
  }
  Status decode(Packet packet, std::vector<Message>& out) override {
    out.emplace_back().packet = std::move(packet);
    return {};
  }

 private:
  std::function<void()> on_encode_;
};

// What the callback was handed, as text: "m<first byte>" or the error's display text.
class Items {
 public:
  SubscriptionCallback callback(bool answer = true) {
    return [this, answer](Result<Message> item) {
      std::lock_guard lock(mutex_);
      std::string text = item.ok() ? std::to_string(item->packet->data.at(0)) : item.error().fmt();
      if (item.ok()) text.insert(text.begin(), 'm');
      items_.push_back(std::move(text));
      cv_.notify_all();
      return answer;
    };
  }
  bool wait_for(std::size_t n, Clock::duration limit = 5s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return items_.size() >= n; });
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> items_;
};

Channel make_channel(TransportPtr t, CodecPtr codec = std::make_unique<Raw>()) {
  return Channel(std::make_shared<Inner>(std::move(t), std::move(codec)));
}
bool eventually(const std::function<bool()>& pred, Clock::duration limit = 5s) {
  for (Instant end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(1ms)) {
    if (pred()) return true;
  }
  return pred();
}
bool task_exists(pid_t tid) { return std::filesystem::exists("/proc/self/task/" + std::to_string(tid)); }
std::string comm_of(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}
int threads_named(const std::string& name) {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "comm");
    std::string comm;
    if (std::getline(in, comm) && comm == name) ++n;
  }
  return n;
}
double ms_between(Instant a, Instant b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

// Aborts when a step that must not block does, so a deadlock fails loudly.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : thread_([this, what] {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, 20s, [this] { return done_; })) {
      std::fprintf(stderr, "hung: %s\n", what);
      std::abort();
    }
  }) {}
  ~Watchdog() {
    { std::lock_guard lock(mutex_); done_ = true; }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

TEST(Subscription, ClosedChannelStartsNothingAndDropsTheCallback) {
  Channel ch = make_channel(std::make_shared<ScriptedTransport>());
  ch.close();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  int before = threads_named("sigtap-subscrip");
  auto sub = ch.subscribe([token = std::move(token)](Result<Message>) {
    ++*token;
    return true;
  });
  ASSERT_FALSE(sub.ok());
  EXPECT_EQ(sub.error().fmt(), "the channel is closed");
  EXPECT_TRUE(watch.expired()) << "the callback is dropped uncalled";
  EXPECT_EQ(threads_named("sigtap-subscrip"), before);
}

// Messages in order, then the closed item once, whether the channel was
// closed or its transport reported the end of its input.
TEST(Subscription, DeliversInOrderThenTheClosedItemOnce) {
  for (bool close_channel : {true, false}) {
    auto t = std::make_shared<ScriptedTransport>();
    Channel ch = make_channel(t);
    Items items;
    auto sub = ch.subscribe(items.callback());
    ASSERT_TRUE(sub.ok());
    EXPECT_EQ(comm_of(t->receiver()), "sigtap-subscrip");
    for (std::uint8_t b : {1, 2, 3}) t->push(ScriptedTransport::packet(b));
    ASSERT_TRUE(items.wait_for(3));
    EXPECT_TRUE((*sub)->is_running());
    if (close_channel) {
      ch.close();
    } else {
      t->push(ScriptedTransport::end());
    }
    EXPECT_TRUE(eventually([&] { return !(*sub)->is_running(); }));
    EXPECT_EQ(items.get(), (std::vector<std::string>{"m1", "m2", "m3", "the channel is closed"})) << close_channel;
    EXPECT_EQ(ch.closed(), close_channel);
  }
}

TEST(Subscription, FalseAnswerEndsWithoutTheClosedItem) {
  for (auto first : {ScriptedTransport::packet(1), ScriptedTransport::error("bad frame")}) {
    auto t = std::make_shared<ScriptedTransport>();
    Items items;
    auto sub = make_channel(t).subscribe(items.callback(false));
    ASSERT_TRUE(sub.ok());
    t->push(first);
    t->push(ScriptedTransport::packet(2));
    EXPECT_TRUE(eventually([&] { return !(*sub)->is_running(); }));
    EXPECT_EQ(items.get().size(), 1u);
  }
}

// Waits between receives after errors: 0, 10, 20, ... 640 ms, then 1 s; a
// message starts the sequence again. Only lower bounds are tight (a sleep
// never ends early); upper bounds just tell a reset or the cap apart.
TEST(Subscription, ErrorBackoffGrowsToOneSecondAndResets) {
  auto t = std::make_shared<ScriptedTransport>();
  for (int i = 0; i < 10; ++i) t->push(ScriptedTransport::error("link down"));
  t->push(ScriptedTransport::packet(7));
  for (int i = 0; i < 3; ++i) t->push(ScriptedTransport::error("link down"));
  Items items;
  auto sub = make_channel(t).subscribe(items.callback());
  ASSERT_TRUE(sub.ok());
  ASSERT_TRUE(items.wait_for(14, 20s));
  ASSERT_TRUE(eventually([&] { return t->receives().size() >= 15; }));
  sub->reset();

  std::vector<std::string> expected(10, "link down");
  expected.push_back("m7");
  expected.insert(expected.end(), 3, "link down");
  EXPECT_EQ(items.get(), expected);
  const double least_ms[] = {0, 10, 20, 40, 80, 160, 320, 640, 1000, 1000, 0, 0, 10, 20};
  auto at = t->receives();
  for (std::size_t i = 0; i < std::size(least_ms); ++i) {
    double gap = ms_between(at[i], at[i + 1]);
    EXPECT_GE(gap, least_ms[i]) << "after item " << i;
    EXPECT_LT(gap, least_ms[i] + 800) << "after item " << i;
  }
  EXPECT_LT(ms_between(at[11], at[12]), 500) << "the message reset the wait";
}

TEST(Subscription, StopDuringTheLongestBackoffIsPrompt) {
  auto t = std::make_shared<ScriptedTransport>();
  t->fail_when_idle();
  Items items;
  auto sub = make_channel(t).subscribe(items.callback());
  ASSERT_TRUE(sub.ok());
  ASSERT_TRUE(items.wait_for(9, 20s));  // the wait after the ninth error is 1 s
  Instant before = Clock::now();
  (*sub)->stop();
  EXPECT_LT(ms_between(before, Clock::now()), 750);
  EXPECT_FALSE((*sub)->is_running());
}

// The callback drops its own subscription: the stop returns at once, the
// thread finishes the callback and ends without touching the gone handle.
TEST(Subscription, DroppedFromItsOwnCallback) {
  auto t = std::make_shared<ScriptedTransport>();
  std::mutex slot_mutex;
  std::unique_ptr<Subscription> slot;
  std::atomic<int> calls{0};
  Watchdog dog("a subscription dropped from its own callback");
  auto sub = make_channel(t).subscribe([&](Result<Message>) {
    ++calls;
    std::unique_ptr<Subscription> mine;
    {
      std::lock_guard lock(slot_mutex);
      mine = std::move(slot);
    }
    mine.reset();
    return true;
  });
  ASSERT_TRUE(sub.ok());
  {
    std::lock_guard lock(slot_mutex);
    slot = std::move(*sub);
  }
  pid_t tid = t->receiver();
  t->push(ScriptedTransport::packet(1));
  t->push(ScriptedTransport::packet(2));
  EXPECT_TRUE(eventually([&] { return !task_exists(tid); }));
  EXPECT_EQ(calls.load(), 1);
  std::lock_guard lock(slot_mutex);
  EXPECT_EQ(slot, nullptr);
}

// A Python codec may stop a subscription while the codec lock is held, and
// the receive thread may be waiting for that lock to decode.
TEST(Subscription, StoppedUnderTheCodecLockDoesNotDeadlock) {
  auto t = std::make_shared<ScriptedTransport>();
  std::atomic<Subscription*> target{nullptr};
  Channel ch = make_channel(t, std::make_unique<HookCodec>([&] {
    t->push(ScriptedTransport::packet(5));
    std::this_thread::sleep_for(100ms);  // the receiver now waits for the codec lock
    target.load()->stop();
  }));
  Items items;
  auto sub = ch.subscribe(items.callback());
  ASSERT_TRUE(sub.ok());
  pid_t tid = t->receiver();
  target = sub->get();
  {
    Watchdog dog("a subscription stopped from inside an encode");
    EXPECT_TRUE(ch.send(Message{"now", {}, {}}).ok());
  }
  EXPECT_FALSE((*sub)->is_running());
  EXPECT_TRUE(eventually([&] { return !task_exists(tid); }));
  EXPECT_EQ(items.get(), std::vector<std::string>{"m5"}) << "the decode waiting for the lock still delivers";
}

TEST(Subscription, DropJoinsAndStopIsIdempotent) {
  auto t = std::make_shared<ScriptedTransport>();
  Items items;
  auto sub = make_channel(t).subscribe(items.callback());
  ASSERT_TRUE(sub.ok());
  pid_t tid = t->receiver();
  EXPECT_TRUE((*sub)->is_running());
  (*sub)->stop();
  EXPECT_FALSE((*sub)->is_running());
  EXPECT_FALSE(task_exists(tid)) << "stop joined the thread";
  (*sub)->stop();
  sub->reset();

  auto t2 = std::make_shared<ScriptedTransport>();
  auto dropped = make_channel(t2).subscribe(items.callback());
  ASSERT_TRUE(dropped.ok());
  pid_t tid2 = t2->receiver();
  dropped->reset();
  EXPECT_FALSE(task_exists(tid2)) << "the drop joined the thread";
  EXPECT_TRUE(items.get().empty());
}

TEST(Subscription, StopRacingWithCloseNeverHangs) {
  Watchdog dog("stop racing with close");
  for (int i = 0; i < 20; ++i) {
    auto t = std::make_shared<ScriptedTransport>();
    Channel ch = make_channel(t);
    Items items;
    auto sub = ch.subscribe(items.callback());
    ASSERT_TRUE(sub.ok());
    t->push(ScriptedTransport::packet(1));
    std::thread closer([&] { ch.close(); });
    (*sub)->stop();
    closer.join();
    EXPECT_FALSE((*sub)->is_running());
    auto got = items.get();
    EXPECT_LE(std::count(got.begin(), got.end(), "the channel is closed"), 1);
  }
}

}  // namespace
