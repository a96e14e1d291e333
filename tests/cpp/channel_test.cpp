// Channels: receive order and surplus, errors, send rules, close, and
// concurrent receivers (over scripted fakes and over the mem:// bus).
#include "core/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using sigtap::Channel;
using sigtap::Codec;
using sigtap::Duration;
using sigtap::Error;
using sigtap::Inner;
using sigtap::Message;
using sigtap::Packet;
using sigtap::Result;
using sigtap::Status;
using sigtap::Transport;

constexpr Duration kHang{30, 0};
constexpr Duration kPoll{};

Packet bytes(std::vector<std::uint8_t> data);

// Hands out the packets it was given, one per receive, and nothing when it
// has none left (without waiting); records sends and closes.
class ScriptedTransport final : public Transport {
 public:
  explicit ScriptedTransport(std::vector<Packet> incoming = {}) : incoming_(incoming.begin(), incoming.end()) {}

  Status send(const Packet& packet) override {
    std::lock_guard lock(mutex_);
    if (fail_at_ && sends_ == *fail_at_) {
      ++sends_;
      return Error::io(sigtap::IoKind::BrokenPipe, "the wire broke");
    }
    ++sends_;
    sent_.push_back(packet);
    return {};
  }
  Result<std::optional<Packet>> recv(std::optional<Duration>) override {
    std::lock_guard lock(mutex_);
    ++recvs_;
    if (incoming_.empty()) return std::optional<Packet>{};
    Packet p = std::move(incoming_.front());
    incoming_.pop_front();
    return std::optional<Packet>(std::move(p));
  }
  void close() override { closes_.fetch_add(1); }

  void fail_send_at(std::size_t attempt) { fail_at_ = attempt; }
  std::vector<Packet> sent() { std::lock_guard lock(mutex_); return sent_; }
  int recvs() { std::lock_guard lock(mutex_); return recvs_; }
  int closes() const { return closes_.load(); }

 private:
  std::mutex mutex_;
  std::deque<Packet> incoming_;
  std::vector<Packet> sent_;
  std::optional<std::size_t> fail_at_;
  std::size_t sends_ = 0;
  int recvs_ = 0;
  std::atomic<int> closes_{0};
};

// Packet layout: byte 0 = how many messages it decodes into (0xFF: a decode
// error), the rest = a tag. Message i of a packet is named "<tag>.<i>".
// Encodes "three" into three packets, "none" into none, refuses the rest.
class CountingCodec final : public Codec {
 public:
  Result<std::vector<Packet>> encode(const Message& m) override {
    if (m.name == "three") return std::vector<Packet>{bytes({0}), bytes({1}), bytes({2})};
    if (m.name == "none") return std::vector<Packet>{};
    return Error::encode("no such message");
  }
  Status decode(Packet packet, std::vector<Message>& out) override {
    if (packet.data.empty() || packet.data[0] == 0xFF) return Error::decode("bad packet");
    const std::string tag(packet.data.begin() + 1, packet.data.end());
    for (int i = 0; i < packet.data[0]; ++i) out.emplace_back().name = tag + "." + std::to_string(i);
    return {};
  }
};

Packet bytes(std::vector<std::uint8_t> data) {
  Packet p;
  p.data = std::move(data);
  return p;
}

Packet counted(std::uint8_t count, const std::string& tag) {
  Packet p;
  p.data.push_back(count);
  for (char c : tag) p.data.push_back(static_cast<std::uint8_t>(c));
  return p;
}

struct Fixture {
  std::shared_ptr<ScriptedTransport> transport;
  Channel channel;
};

Fixture scripted(std::vector<Packet> incoming = {}) {
  auto t = std::make_shared<ScriptedTransport>(std::move(incoming));
  return {t, Channel(std::make_shared<Inner>(t, std::make_unique<CountingCodec>()))};
}

// The name of the message received, "" for nothing, or the error text.
std::string recv_name(Channel& ch, std::optional<Duration> timeout = kPoll) {
  auto r = ch.recv(timeout);
  if (!r.ok()) return "error: " + r.error().fmt();
  if (!r->has_value()) return "";
  return (*r)->name.value_or("<nameless>");
}

TEST(ChannelRecv, SurplusIsReturnedWithoutAskingTheTransport) {
  auto [t, ch] = scripted({counted(3, "a")});
  EXPECT_EQ(recv_name(ch), "a.0");
  EXPECT_EQ(t->recvs(), 1);
  EXPECT_EQ(recv_name(ch), "a.1");
  EXPECT_EQ(recv_name(ch), "a.2");
  EXPECT_EQ(t->recvs(), 1);
  EXPECT_EQ(recv_name(ch), "");
  EXPECT_EQ(t->recvs(), 2);
}

TEST(ChannelRecv, EmptyDecodesArePassedOverUntilTheDeadline) {
  auto [t, ch] = scripted({counted(0, "x"), counted(1, "b"), counted(0, "y")});
  EXPECT_EQ(recv_name(ch, kHang), "b.0");
  // The deadline of a poll has passed once the empty decode is done.
  EXPECT_EQ(recv_name(ch), "");
  EXPECT_EQ(t->recvs(), 3);
}

TEST(ChannelRecv, DecodeErrorThenNextPacket) {
  auto [t, ch] = scripted({counted(2, "a"), counted(0xFF, ""), counted(1, "b")});
  EXPECT_EQ(recv_name(ch), "a.0");
  EXPECT_EQ(recv_name(ch), "a.1");
  EXPECT_EQ(recv_name(ch), "error: decode error: bad packet");
  EXPECT_EQ(recv_name(ch), "b.0");
}

TEST(ChannelRecv, ClosedChannelFailsEvenWithPending) {
  auto [t, ch] = scripted({counted(3, "a"), counted(1, "b")});
  EXPECT_EQ(recv_name(ch), "a.0");
  ch.close();
  EXPECT_EQ(recv_name(ch), "error: the channel is closed");
  EXPECT_EQ(recv_name(ch, std::nullopt), "error: the channel is closed");
  EXPECT_EQ(t->recvs(), 1);
  Message m;
  m.packet = bytes({1});
  auto st = ch.send(m);
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_closed());
  EXPECT_TRUE(t->sent().empty());
}

TEST(ChannelSend, Rules) {
  auto [t, ch] = scripted();
  auto nameless = ch.send(Message{});
  ASSERT_FALSE(nameless.ok());
  EXPECT_EQ(nameless.error().fmt(), "encode error: a message needs a name or data");

  Message data;
  data.packet = Packet{{7, 7}, sigtap::CanHeader{0x12}, 3.5, 9};
  ASSERT_TRUE(ch.send(data).ok());  // the codec, which refuses most names, is not asked
  ASSERT_EQ(t->sent().size(), 1u);
  EXPECT_EQ(t->sent()[0], *data.packet);

  Message none;
  none.name = "none";
  ASSERT_TRUE(ch.send(none).ok());
  EXPECT_EQ(t->sent().size(), 1u);

  Message unknown;
  unknown.name = "other";
  auto refused = ch.send(unknown);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().fmt(), "encode error: no such message");
}

TEST(ChannelSend, SecondOfThreeFailingStopsTheThird) {
  auto [t, ch] = scripted();
  t->fail_send_at(1);
  Message three;
  three.name = "three";
  auto st = ch.send(three);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().fmt(), "the wire broke");
  ASSERT_EQ(t->sent().size(), 1u);
  EXPECT_EQ(t->sent()[0].data, std::vector<std::uint8_t>{0});
  EXPECT_FALSE(ch.closed());  // errors leave the channel usable
  ASSERT_TRUE(ch.send(three).ok());
  EXPECT_EQ(t->sent().size(), 4u);
}

TEST(ChannelClose, ClosesTheTransportOnceWhateverTheThreads) {
  auto [t, ch] = scripted();
  std::vector<std::thread> closers;
  for (int i = 0; i < 8; ++i) closers.emplace_back([c = ch]() mutable { c.close(); });
  for (auto& c : closers) c.join();
  ch.close();
  EXPECT_TRUE(ch.closed());
  EXPECT_EQ(t->closes(), 1);
}

TEST(ChannelOpen, UnknownCodecIsReportedBeforeUnknownScheme) {
  auto ch = Channel::open("nosuchscheme://x", "nosuchcodec", {});
  ASSERT_FALSE(ch.ok());
  EXPECT_EQ(ch.error().fmt().rfind(R"(unknown codec "nosuchcodec" (known: )", 0), 0u) << ch.error().fmt();
}

// Receivers blocked without a timeout (one inside the transport, one waiting
// for its turn) all return Closed as soon as another thread closes.
TEST(ChannelConcurrency, BlockedReceiversReturnClosedOnClose) {
  auto ch = Channel::open("mem://channel-blocked", "raw", {});
  ASSERT_TRUE(ch.ok());
  std::vector<std::string> texts(2);
  std::vector<std::thread> waiters;
  for (auto& text : texts) waiters.emplace_back([&ch, &text] { text = recv_name(*ch, std::nullopt); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ch->close();
  for (auto& w : waiters) w.join();
  for (const auto& text : texts) EXPECT_EQ(text, "error: the channel is closed");
}

// A receive with a timeout gives up at its deadline while another receiver
// is blocked without one.
TEST(ChannelConcurrency, TimedReceiveIsNotHeldUpByABlockedOne) {
  auto ch = Channel::open("mem://channel-timed", "raw", {});
  ASSERT_TRUE(ch.ok());
  std::thread blocked([&] { (void)ch->recv(std::nullopt); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(recv_name(*ch, Duration::from_millis(20)), "");
  ch->close();
  blocked.join();
}

// Four receivers on one channel: every message is received exactly once,
// also when each packet decodes into several (the surplus is shared).
class ChannelReceivers : public ::testing::TestWithParam<int> {};

TEST_P(ChannelReceivers, EveryMessageExactlyOnce) {
  const int per_packet = GetParam();
  constexpr int kPackets = 5000;
  auto tx = Channel::open("mem://channel-receivers", "raw", {});
  auto transport = sigtap::transport::open("mem://channel-receivers");
  ASSERT_TRUE(tx.ok() && transport.ok());
  Channel rx(std::make_shared<Inner>(std::move(*transport), std::make_unique<CountingCodec>()));

  std::mutex mutex;
  std::multiset<std::string> got;
  std::vector<std::thread> receivers;
  for (int i = 0; i < 4; ++i) {
    receivers.emplace_back([&] {
      for (;;) {
        auto r = rx.recv(Duration::from_millis(50));
        if (!r.ok()) return;  // closed
        if (!r->has_value()) continue;
        std::lock_guard lock(mutex);
        got.insert(*(*r)->name);
      }
    });
  }
  for (int n = 0; n < kPackets; ++n) {
    Message m;
    m.packet = counted(static_cast<std::uint8_t>(per_packet), std::to_string(n));
    ASSERT_TRUE(tx->send(m).ok());
  }
  const auto expected = static_cast<std::size_t>(kPackets * per_packet);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (got.size() >= expected) break;
    }
    if (std::chrono::steady_clock::now() > give_up) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let any duplicate show
  rx.close();
  for (auto& r : receivers) r.join();
  ASSERT_EQ(got.size(), expected);
  for (int n = 0; n < kPackets; ++n) {
    for (int i = 0; i < per_packet; ++i) {
      ASSERT_EQ(got.count(std::to_string(n) + "." + std::to_string(i)), 1u) << n << "." << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MessagesPerPacket, ChannelReceivers, ::testing::Values(1, 3));

// A stream transport whose receives overlap: it hands out numbered chunks and
// then dawdles before returning some of them, so without a receive lock a
// later chunk would often reach the codec first.
class DawdlingStream final : public Transport {
 public:
  explicit DawdlingStream(std::uint32_t chunks) : chunks_(chunks) {}
  Status send(const Packet&) override { return {}; }
  Result<std::optional<Packet>> recv(std::optional<Duration>) override {
    const std::uint32_t n = next_.fetch_add(1);
    if (n >= chunks_) return Error::closed();
    if (n % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    Packet p;
    p.data.resize(4);
    std::memcpy(p.data.data(), &n, 4);
    return std::optional<Packet>(std::move(p));
  }
  void close() override {}

 private:
  const std::uint32_t chunks_;
  std::atomic<std::uint32_t> next_{0};
};

// Records the order in which chunks reach it, as a stream decoder would
// depend on it.
class RecordingCodec final : public Codec {
 public:
  explicit RecordingCodec(std::vector<std::uint32_t>& order) : order_(order) {}
  Result<std::vector<Packet>> encode(const Message&) override { return std::vector<Packet>{}; }
  Status decode(Packet packet, std::vector<Message>& out) override {
    std::uint32_t n = 0;
    std::memcpy(&n, packet.data.data(), 4);
    order_.push_back(n);  // the codec lock serialises decodes
    out.emplace_back().packet = std::move(packet);
    return {};
  }

 private:
  std::vector<std::uint32_t>& order_;
};

TEST(ChannelConcurrency, ConcurrentReceiversDecodeChunksInTransportOrder) {
  constexpr std::uint32_t kChunks = 400;
  std::vector<std::uint32_t> order;
  Channel ch(std::make_shared<Inner>(std::make_shared<DawdlingStream>(kChunks),
                                     std::make_unique<RecordingCodec>(order)));
  std::atomic<int> received{0};
  std::vector<std::thread> receivers;
  for (int i = 0; i < 4; ++i) {
    receivers.emplace_back([&] {
      while (true) {
        auto r = ch.recv(kHang);
        if (!r.ok() || !r->has_value()) return;
        received.fetch_add(1);
      }
    });
  }
  for (auto& r : receivers) r.join();
  EXPECT_EQ(received.load(), static_cast<int>(kChunks));
  ASSERT_EQ(order.size(), kChunks);
  for (std::uint32_t i = 0; i < kChunks; ++i) ASSERT_EQ(order[i], i) << "chunk decoded out of order";
}

}  // namespace
