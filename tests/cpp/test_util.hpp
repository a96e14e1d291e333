// Fakes, a watchdog and thread helpers shared by the channel-level tests.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>

#include "core/channel.hpp"
#include "core/codec/raw.hpp"

namespace sigtap::test {

using namespace std::chrono_literals;

// Reached only when something hangs; never a measure of speed.
constexpr Duration kHang{30, 0};

using Bytes = sigtap::Bytes;

inline Packet bytes(Bytes data, std::optional<CanHeader> can = std::nullopt) { return {std::move(data), can, {}, {}}; }
inline Message raw(Bytes data, std::optional<CanHeader> can = {}) { return {{}, {}, bytes(std::move(data), can)}; }
inline Message named(std::string name) { return Message{std::move(name), {}, {}}; }
inline Channel make_channel(TransportPtr t, CodecPtr c = std::make_unique<Raw>()) { return Channel(std::make_shared<Inner>(std::move(t), std::move(c))); }

inline bool eventually(const std::function<bool()>& pred, Clock::duration limit = 20s) {
  for (const Instant end = Clock::now() + limit; !pred(); std::this_thread::sleep_for(1ms)) {
    if (Clock::now() >= end) return false;
  }
  return true;
}
// The error text of a failed result, "" for success.
template <typename R> std::string error_text(const R& r) { return r.ok() ? "" : r.error().fmt(); }
inline double ms_between(Instant a, Instant b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

// Threads as the kernel lists them, so a thread that was never joined shows.
inline bool task_exists(pid_t tid) { return std::filesystem::exists("/proc/self/task/" + std::to_string(tid)); }
inline std::string comm_of(pid_t tid) {
  std::string name;
  std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/comm"), name);
  return name;
}
inline int threads_named(const std::string& name) {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) n += comm_of(std::stoi(task.path().filename())) == name;
  return n;
}

// Aborts when a step that must not block does, so a deadlock fails loudly.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : thread_([what, done = done_.get_future()] {
    if (done.wait_for(30s) != std::future_status::ready) { std::fprintf(stderr, "hung: %s\n", what); std::abort(); }
  }) {}
  ~Watchdog() { done_.set_value(); thread_.join(); }

 private:
  std::promise<void> done_;
  std::thread thread_;
};

// Hands out scripted receive results, then waits (up to the timeout) for
// more; records successful sends, receive times and closes. Every other
// receive sleeps after taking its item, so that overlapping receives would
// hand their items on out of order. The send hook runs on the sender's
// thread and may delay, fail or act from there.
class FakeTransport final : public Transport {
  // Runs f under the lock and wakes every waiter.
  template <typename F> auto locked(F f) {
    std::lock_guard lock(mutex_);
    cv_.notify_all();
    return f();
  }
  // Waits (generously) until f() holds, and returns it.
  template <typename F> auto wait(F f) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 20s, f);
    return f();
  }

 public:
  // A scripted receive: a packet, an Io error with this text, or (neither) the end of input.
  struct Item { std::optional<Packet> packet; const char* error = nullptr; };
  struct Sent { Packet packet; Instant at; pid_t tid; };
  using Hook = std::function<Status(const Packet&)>;
  static Item error(const char* text) { return {std::nullopt, text}; }
  static Item end() { return {}; }

  explicit FakeTransport(std::vector<Item> script = {}, Hook on_send = nullptr)
      : on_send_(std::move(on_send)), script_(script.begin(), script.end()) {}

  void push(Item item) { locked([&] { script_.push_back(std::move(item)); }); }

  Status send(const Packet& packet) override {
    const Instant at = Clock::now();
    Status st = on_send_ ? on_send_(packet) : Status{};
    if (st.ok()) locked([&] { sent_.push_back({packet, at, gettid()}); });
    return st;
  }
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override {
    std::unique_lock lock(mutex_);
    receives_.push_back(Clock::now());
    receiver_ = gettid();
    cv_.notify_all();
    auto ready = [&] { return closed_ || !script_.empty(); };
    if (timeout) cv_.wait_for(lock, timeout->to_clock(), ready);
    else cv_.wait(lock, ready);
    if (!script_.empty()) {
      Item item = std::move(script_.front());
      script_.pop_front();
      if (item.error) return Error::io(IoKind::Other, item.error);
      if (!item.packet) {
        closed_ = true;  // the end of input lasts
        return Error::closed();
      }
      if (receives_.size() % 2 == 1) { lock.unlock(); std::this_thread::sleep_for(200us); }
      return std::move(item.packet);
    }
    if (closed_) return Error::closed();
    return std::optional<Packet>{};
  }
  void close() override { locked([&] { closed_ = true; ++closes_; }); }

  std::vector<Sent> sent() { return locked([&] { return sent_; }); }
  std::vector<Instant> receives() { return locked([&] { return receives_; }); }
  int closes() { return locked([&] { return closes_; }); }
  bool wait_sent(std::size_t n) { return wait([&] { return sent_.size() >= n; }); }
  // The receiving thread, once it has asked for something.
  pid_t receiver() { return wait([&] { return receiver_; }); }

 private:
  Hook on_send_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> script_;
  std::vector<Sent> sent_;
  std::vector<Instant> receives_;
  pid_t receiver_ = 0;
  int closes_ = 0;
  bool closed_ = false;
};

// Encodes "three" into the packets {0}, {1}, {2} and "none" into none,
// refuses "bad", and encodes any other name as one packet holding the name.
// Decodes a packet into as many messages as its first byte says (0xFF: a
// decode error), named "<rest>.<i>" and carrying the packet. The hook runs
// inside every encode, with the codec lock held; `decoded` (if given) logs
// every packet decoded.
class FakeCodec final : public Codec {
 public:
  explicit FakeCodec(std::function<void()> on_encode = nullptr, std::vector<Packet>* decoded = nullptr)
      : on_encode_(std::move(on_encode)), decoded_(decoded) {}
  Result<std::vector<Packet>> encode(const Message& m) override {
    if (on_encode_) on_encode_();
    if (m.name == "three") return std::vector<Packet>{bytes({0}), bytes({1}), bytes({2})};
    if (m.name == "none") return std::vector<Packet>{};
    if (m.name == "bad") return Error::encode("no such message");
    return std::vector<Packet>{bytes(Bytes(m.name->begin(), m.name->end()))};
  }
  Status decode(Packet packet, std::vector<Message>& out) override {
    if (decoded_) decoded_->push_back(packet);
    if (packet.data.empty() || packet.data[0] == 0xFF) return Error::decode("bad packet");
    const std::string tag(packet.data.begin() + 1, packet.data.end());
    for (int i = 0; i < packet.data[0]; ++i) out.push_back(Message{tag + "." + std::to_string(i), {}, packet});
    return {};
  }

 private:
  std::function<void()> on_encode_;
  std::vector<Packet>* decoded_;
};

}  // namespace sigtap::test
