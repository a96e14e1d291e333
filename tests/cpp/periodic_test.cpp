// Periodic senders: the schedule, send errors, updates, and stopping from any thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "core/codec/raw.hpp"
#include "core/periodic.hpp"

using namespace sigtap;
using namespace std::chrono_literals;

namespace {

// Records every send attempt; a hook may delay, fail or act from the sender's thread.
class RecordingTransport final : public Transport {
 public:
  struct Sent {
    Packet packet;
    Instant at;
    pid_t tid;
  };
  using Hook = std::function<Status(const Packet&)>;

  explicit RecordingTransport(Hook hook = nullptr) : hook_(std::move(hook)) {}
  Status send(const Packet& packet) override {
    Instant at = Clock::now();
    Status st = hook_ ? hook_(packet) : Status{};
    std::lock_guard lock(mutex_);
    sent_.push_back({packet, at, gettid()});
    cv_.notify_all();
    return st;
  }
  Result<std::optional<Packet>> recv(std::optional<Duration>) override { return std::optional<Packet>{}; }
  void close() override {}

  bool wait_for(std::size_t n, Clock::duration limit = 5s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return sent_.size() >= n; });
  }
  std::vector<Sent> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  Hook hook_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Sent> sent_;
};

// Encodes a named message into one packet holding its name; refuses "bad"
// and lets a test act from inside the encode (with the codec lock held).
class HookCodec final : public Codec {
 public:
  explicit HookCodec(std::function<void()> on_encode = nullptr) : on_encode_(std::move(on_encode)) {}
  Result<std::vector<Packet>> encode(const Message& m) override {
    if (on_encode_) on_encode_();
    if (*m.name == "bad") return Error::encode("no message \"bad\"");
    return std::vector<Packet>{Packet{std::vector<std::uint8_t>(m.name->begin(), m.name->end()), {}, {}, {}}};
  }
  Status decode(Packet packet, std::vector<Message>& out) override {
    out.emplace_back().packet = std::move(packet);
    return {};
  }

 private:
  std::function<void()> on_encode_;
};

Channel make_channel(TransportPtr t, CodecPtr codec = std::make_unique<Raw>()) {
  return Channel(std::make_shared<Inner>(std::move(t), std::move(codec)));
}
Message data(std::size_t size, std::uint8_t byte) { return Message{{}, {}, Packet{std::vector<std::uint8_t>(size, byte), {}, {}, {}}}; }
Message named(std::string name) { return Message{std::move(name), {}, {}}; }

bool eventually(const std::function<bool()>& pred, Clock::duration limit = 5s) {
  for (Instant end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(1ms)) {
    if (pred()) return true;
  }
  return pred();
}
std::string comm_of(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}
bool thread_gone(pid_t tid) {
  return eventually([&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(tid)); });
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

struct Refusal {
  const char* label;
  Duration period;
  Message message;
  const char* text;
};

TEST(Periodic, EveryRefusesAndStartsNothing) {
  const Refusal cases[] = {
      {"zero period", Duration{}, data(1, 1), "the period must be positive"},
      {"codec refuses", Duration::from_millis(10), named("bad"), "encode error: no message \"bad\""},
  };
  for (const Refusal& c : cases) {
    auto t = std::make_shared<RecordingTransport>();
    int before = threads_named("sigtap-periodic");
    auto p = make_channel(t, std::make_unique<HookCodec>()).every(c.period, c.message, std::nullopt);
    ASSERT_FALSE(p.ok()) << c.label;
    EXPECT_EQ(p.error().fmt(), c.text) << c.label;
    EXPECT_EQ(threads_named("sigtap-periodic"), before) << c.label;
    EXPECT_TRUE(t->sent().empty()) << c.label;
  }
  auto raw = make_channel(std::make_shared<RecordingTransport>()).every(Duration::from_millis(10), named("x"), {});
  ASSERT_FALSE(raw.ok());
  EXPECT_EQ(raw.error().kind(), ErrorKind::Encode);
}

TEST(Periodic, SendsAtOnceOnANamedThreadAndDropJoins) {
  auto t = std::make_shared<RecordingTransport>();
  auto p = make_channel(t).every(Duration{3600, 0}, data(3, 7), std::nullopt);
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE(t->wait_for(1)) << "the first send is due at once, not one period later";
  pid_t tid = t->sent()[0].tid;
  EXPECT_EQ(comm_of(tid), "sigtap-periodic");
  EXPECT_EQ(t->sent()[0].packet.data, std::vector<std::uint8_t>(3, 7));
  EXPECT_TRUE(eventually([&] { return (*p)->sent_count() == 1; }));
  EXPECT_TRUE((*p)->is_running());
  {
    Watchdog dog("dropping a sender that waits for an hour-long period");
    p->reset();
  }
  EXPECT_FALSE(std::filesystem::exists("/proc/self/task/" + std::to_string(tid))) << "the drop joined the thread";
}

TEST(Periodic, DurationEndsTheSender) {
  auto t = std::make_shared<RecordingTransport>();
  auto zero = make_channel(t).every(Duration::from_millis(10), data(1, 1), Duration{});
  ASSERT_TRUE(zero.ok());
  EXPECT_TRUE(eventually([&] { return !(*zero)->is_running(); }));
  EXPECT_TRUE(t->sent().empty()) << "a zero duration ends before the first send";

  auto p = make_channel(t).every(Duration::from_millis(100), data(1, 2), Duration::from_millis(350));
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(eventually([&] { return !(*p)->is_running(); }));
  auto sent = t->sent();
  // Due at 0, 100, 200 and 300 ms: never more than four, never early.
  ASSERT_GE(sent.size(), 1u);
  EXPECT_LE(sent.size(), 4u);
  for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_GE(ms_between(sent[0].at, sent[i].at), 90.0 * i) << i;
  EXPECT_EQ((*p)->sent_count(), sent.size());
}

// A first send that overruns: less than two periods late, the missed due time
// is sent at once and the grid is kept; more, the schedule restarts from now.
TEST(Periodic, LateSenderCatchesUpOrRestartsFromNow) {
  struct Case {
    int first_send_ms;
    double min_gap_ms, max_gap_ms;  // between the second and the third send
  };
  for (Case c : {Case{450, 0, 270}, Case{700, 200, 1e9}}) {
    std::atomic<bool> first{true};
    auto t = std::make_shared<RecordingTransport>([&](const Packet&) {
      if (first.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(c.first_send_ms));
      return Status{};
    });
    auto p = make_channel(t).every(Duration::from_millis(300), data(1, 3), std::nullopt);
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(t->wait_for(3));
    p->reset();
    auto sent = t->sent();
    double gap = ms_between(sent[1].at, sent[2].at);
    EXPECT_GE(gap, c.min_gap_ms) << c.first_send_ms;
    EXPECT_LE(gap, c.max_gap_ms) << c.first_send_ms;
  }
}

TEST(Periodic, SendErrorsAreRecordedAndNeverStopIt) {
  // A nameless message without data fails every send.
  auto t = std::make_shared<RecordingTransport>();
  auto empty = make_channel(t).every(Duration::from_millis(5), Message{}, std::nullopt);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(eventually([&] { return (*empty)->last_error().has_value(); }));
  EXPECT_EQ((*empty)->last_error(), "encode error: a message needs a name or data");
  EXPECT_EQ((*empty)->sent_count(), 0u);
  EXPECT_TRUE((*empty)->is_running());
  EXPECT_TRUE(t->sent().empty());

  // A failure (here one raised by foreign code) stays the last error after later successes.
  std::atomic<int> attempts{0};
  auto flaky = std::make_shared<RecordingTransport>([&](const Packet&) -> Status {
    if (attempts++ == 0) return Error::external(std::make_unique<ExternalError>("RuntimeError: link down"));
    return {};
  });
  auto p = make_channel(flaky).every(Duration::from_millis(5), data(1, 4), std::nullopt);
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(eventually([&] { return (*p)->sent_count() >= 3; }));
  EXPECT_EQ((*p)->last_error(), "RuntimeError: link down");
}

TEST(Periodic, ClosedChannelEndsTheSenderWithoutSending) {
  for (bool close_first : {true, false}) {
    auto t = std::make_shared<RecordingTransport>();
    Channel ch = make_channel(t);
    if (close_first) ch.close();
    auto p = ch.every(Duration::from_millis(500), data(1, 5), std::nullopt);
    ASSERT_TRUE(p.ok()) << "every does not look at the closed flag";
    if (!close_first) {
      ASSERT_TRUE(eventually([&] { return (*p)->sent_count() == 1; }));
      ch.close();
    }
    EXPECT_TRUE(eventually([&] { return !(*p)->is_running(); })) << close_first;
    EXPECT_EQ(t->sent().size(), close_first ? 0u : 1u);
    EXPECT_EQ((*p)->last_error(), std::nullopt) << "the close is seen before the next send";
  }
}

TEST(Periodic, SetPeriodKeepsTheScheduledSendAndStopIsIdempotent) {
  auto t = std::make_shared<RecordingTransport>();
  auto p = make_channel(t).every(Duration::from_millis(600), data(1, 6), std::nullopt);
  ASSERT_TRUE(p.ok());
  Periodic& s = **p;
  // Counted in the same step as the reschedule: the second send is now due at 600 ms.
  ASSERT_TRUE(eventually([&] { return s.sent_count() == 1; }));
  auto zero = s.set_period(Duration{});
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().fmt(), "the period must be positive");
  EXPECT_EQ(s.period(), Duration::from_millis(600));
  ASSERT_TRUE(s.set_period(Duration::from_millis(50)).ok());
  EXPECT_EQ(s.period(), Duration::from_millis(50));
  ASSERT_TRUE(t->wait_for(3));
  auto sent = t->sent();
  EXPECT_GE(ms_between(sent[0].at, sent[1].at), 550.0) << "the scheduled send is not brought forward";
  EXPECT_LT(ms_between(sent[1].at, sent[2].at), 500.0) << "the send after it follows the new period";

  s.stop();
  EXPECT_FALSE(s.is_running());
  std::uint64_t count = s.sent_count();
  s.stop();
  EXPECT_TRUE(s.set_period(Duration::from_millis(1)).ok());
  s.update(data(1, 9));
  EXPECT_EQ(s.sent_count(), count);
}

TEST(Periodic, HugePeriodAndDurationNeverOverflow) {
  constexpr Duration kHuge{std::numeric_limits<std::uint64_t>::max(), 999'999'999};
  auto t = std::make_shared<RecordingTransport>();
  auto once = make_channel(t).every(kHuge, data(1, 1), kHuge);
  ASSERT_TRUE(once.ok());
  ASSERT_TRUE(t->wait_for(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(t->sent().size(), 1u) << "the next send is never due";
  EXPECT_TRUE((*once)->is_running());

  auto endless = make_channel(t).every(Duration::from_millis(1), data(1, 2), kHuge);
  ASSERT_TRUE(endless.ok());
  EXPECT_TRUE(t->wait_for(6)) << "a huge duration is no end";
  Watchdog dog("stopping senders with huge periods");
  once->reset();
  endless->reset();
}

TEST(Periodic, UpdateNeverTearsASend) {
  const Message a = data(256, 0xAA), b = data(64, 0x55), last = data(16, 0x77);
  auto t = std::make_shared<RecordingTransport>();
  auto p = make_channel(t).every(Duration::from_nanos(200'000), a, std::nullopt);
  ASSERT_TRUE(p.ok());
  for (int i = 0; i < 2000; ++i) {
    (*p)->update(i % 2 ? a : b);
    std::this_thread::sleep_for(50us);
  }
  (*p)->update(last);
  std::size_t seen = t->sent().size();
  ASSERT_TRUE(t->wait_for(seen + 2));
  p->reset();
  auto sent = t->sent();
  for (const auto& s : sent) {
    const Packet& got = s.packet;
    EXPECT_TRUE(got == *a.packet || got == *b.packet || got == *last.packet) << "size " << got.data.size();
  }
  EXPECT_EQ(sent.back().packet, *last.packet);
}

// A plug-in transport may drop the sender from inside its send: the stop
// must not join its own thread, and the detached thread must not touch the
// destroyed handle.
TEST(Periodic, DroppedFromItsOwnSendDoesNotDeadlock) {
  std::mutex slot_mutex;
  std::unique_ptr<Periodic> slot;
  std::atomic<int> calls{0}, dropped_at{0};
  auto t = std::make_shared<RecordingTransport>([&](const Packet&) {
    int call = ++calls;
    std::unique_ptr<Periodic> mine;
    {
      std::lock_guard lock(slot_mutex);
      mine = std::move(slot);
    }
    if (mine) {
      mine.reset();
      dropped_at = call;
    }
    return Status{};
  });
  Watchdog dog("a sender dropped from its own send");
  auto p = make_channel(t).every(Duration::from_millis(5), data(1, 1), std::nullopt);
  ASSERT_TRUE(p.ok());
  {
    std::lock_guard lock(slot_mutex);
    slot = std::move(*p);
  }
  ASSERT_TRUE(eventually([&] { return dropped_at.load() != 0; }));
  EXPECT_TRUE(thread_gone(t->sent()[0].tid));
  EXPECT_EQ(calls.load(), dropped_at.load()) << "the send in progress was the last";
}

// A Python codec may stop a sender while the codec lock is held, and the
// sender may be waiting for that lock: the stop must not join it.
TEST(Periodic, StoppedUnderTheCodecLockDoesNotDeadlock) {
  std::atomic<Periodic*> target{nullptr};
  const auto main_thread = std::this_thread::get_id();
  auto t = std::make_shared<RecordingTransport>();
  Channel ch = make_channel(t, std::make_unique<HookCodec>([&] {
    Periodic* p = target.load();
    if (!p || std::this_thread::get_id() != main_thread) return;
    std::this_thread::sleep_for(100ms);  // the sender is now blocked on the codec lock
    p->stop();
  }));
  auto p = ch.every(Duration::from_millis(10), named("tick"), std::nullopt);
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE(t->wait_for(1));
  pid_t tid = t->sent()[0].tid;
  target = p->get();
  {
    Watchdog dog("a sender stopped from inside an encode");
    EXPECT_TRUE(ch.send(named("now")).ok());
  }
  EXPECT_FALSE((*p)->is_running());
  EXPECT_TRUE(thread_gone(tid));
}

TEST(Periodic, StopRacingWithCloseNeverHangs) {
  Watchdog dog("stop racing with close");
  for (int i = 0; i < 20; ++i) {
    Channel ch = make_channel(std::make_shared<RecordingTransport>());
    auto p = ch.every(Duration::from_millis(1), data(1, 1), std::nullopt);
    ASSERT_TRUE(p.ok());
    std::thread closer([&] { ch.close(); });
    (*p)->stop();
    closer.join();
    EXPECT_FALSE((*p)->is_running());
  }
}

}  // namespace
