// The mem:// bus through channels with the raw codec: delivery, echo, filters,
// frame checks, hub lifetime, close and concurrent use.
#include "core/transport/mem.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.hpp"

namespace {

using sigtap::CanHeader;
using sigtap::Channel;
using sigtap::Duration;
using sigtap::Message;
using sigtap::Packet;

// Long enough to be reached only when something hangs.
constexpr Duration kHang{30, 0};
constexpr Duration kPoll{};

Channel open(const std::string& url) {
  auto ch = Channel::open(url, "raw", {});
  EXPECT_TRUE(ch.ok()) << url << ": " << ch.error().fmt();
  return std::move(ch).value();
}

Message raw(std::vector<std::uint8_t> data, std::optional<CanHeader> can = std::nullopt) {
  Message m;
  m.packet.emplace();
  m.packet->data = std::move(data);
  m.packet->can = can;
  return m;
}

Message frame(std::uint32_t id, bool extended = false) { return raw({1, 2, 3}, CanHeader{id, extended}); }

Message numbered(std::uint32_t producer, std::uint32_t n) {
  std::vector<std::uint8_t> data(8);
  std::memcpy(data.data(), &producer, 4);
  std::memcpy(data.data() + 4, &n, 4);
  return raw(std::move(data));
}

std::pair<std::uint32_t, std::uint32_t> number_of(const Message& m) {
  std::uint32_t producer = 0, n = 0;
  std::memcpy(&producer, m.packet->data.data(), 4);
  std::memcpy(&n, m.packet->data.data() + 4, 4);
  return {producer, n};
}

// Receives with the given timeout; nothing on timeout, fails the test on error.
std::optional<Message> recv(Channel& ch, Duration timeout = kPoll) {
  auto r = ch.recv(timeout);
  EXPECT_TRUE(r.ok()) << r.error().fmt();
  return r.ok() ? std::move(*r) : std::nullopt;
}

// The CAN identifiers a channel has waiting, in order.
std::vector<std::uint32_t> drain_ids(Channel& ch) {
  std::vector<std::uint32_t> ids;
  while (auto m = recv(ch)) ids.push_back(m->packet->can ? m->packet->can->id : ~0u);
  return ids;
}

TEST(MemOpen, OptionErrorsInOrder) {
  const std::pair<const char*, const char*> cases[] = {
      {"mem://o?echo=maybe&filter=x&extra=1", R"(option echo: "maybe" is not a boolean)"},
      {"mem://o?filter=0x1,nope&extra=1", R"(filter: "nope" is not a number)"},
      {"mem://o?filter=0x1:0x2:0x3", R"(filter: "0x2:0x3" is not a number)"},
      {"mem://o?echo=1&zeta=1&alpha=2", "mem:// does not take the option(s) alpha, zeta"},
  };
  for (const auto& [url, text] : cases) {
    auto ch = Channel::open(url, "raw", {});
    ASSERT_FALSE(ch.ok()) << url;
    EXPECT_EQ(ch.error().kind(), sigtap::ErrorKind::Config);
    EXPECT_EQ(ch.error().fmt(), text);
  }
  auto ok = Channel::open("mem://o?echo=YES&filter=", "raw", {});
  EXPECT_TRUE(ok.ok());
}

TEST(MemBus, TwoChannelsExchangeAndNeverSeeTheirOwn) {
  Channel a = open("mem://exchange");
  Channel b = open("mem://exchange");
  ASSERT_TRUE(a.send(raw({1})).ok());
  ASSERT_TRUE(b.send(raw({2})).ok());
  auto at_b = recv(b, kHang);
  auto at_a = recv(a, kHang);
  ASSERT_TRUE(at_a && at_b);
  EXPECT_EQ(at_a->packet->data, std::vector<std::uint8_t>{2});
  EXPECT_EQ(at_b->packet->data, std::vector<std::uint8_t>{1});
  EXPECT_FALSE(recv(a, Duration::from_millis(10)));
  EXPECT_FALSE(recv(b));
}

TEST(MemBus, EchoStampsTheSendTimeAndKeepsSource) {
  Channel alone = open("mem://alone");
  ASSERT_TRUE(alone.send(raw({1})).ok());
  EXPECT_FALSE(recv(alone));

  Channel echo = open("mem://echo?echo=true");
  Message m = raw({9, 8}, CanHeader{0x7FF});
  m.packet->timestamp = 1.0;
  m.packet->source = 17;
  const double before = sigtap::wall_clock_timestamp();
  ASSERT_TRUE(echo.send(m).ok());
  const double after = sigtap::wall_clock_timestamp();
  auto got = recv(echo);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->name);
  EXPECT_EQ(got->packet->data, m.packet->data);
  EXPECT_EQ(got->packet->can, m.packet->can);
  EXPECT_EQ(got->packet->source, 17u);
  ASSERT_TRUE(got->packet->timestamp);
  EXPECT_GE(*got->packet->timestamp, before);
  EXPECT_LE(*got->packet->timestamp, after);
}

TEST(MemBus, HubNamesAreExact) {
  Channel upper = open("mem://Bus");
  Channel lower = open("mem://bus");
  Channel empty1 = open("mem://");
  Channel empty2 = open("mem://?echo=0");
  ASSERT_TRUE(upper.send(raw({1})).ok());
  EXPECT_FALSE(recv(lower));
  ASSERT_TRUE(empty1.send(raw({2})).ok());
  auto got = recv(empty2);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->packet->data, std::vector<std::uint8_t>{2});
}

TEST(MemBus, FiltersSelectFramesAndPassPacketsWithoutHeader) {
  Channel tx = open("mem://filters");
  Channel range = open("mem://filters?filter=0x100:0x700");
  Channel ext = open("mem://filters?filter=0x18FF0000,0x7");
  Channel all = open("mem://filters?filter=,,");
  for (auto [id, extended] : std::vector<std::pair<std::uint32_t, bool>>{
           {0x0FF, false}, {0x100, false}, {0x1FF, false}, {0x200, false}, {0x7, false}, {0x7, true},
           {0x18FF0000, true}}) {
    ASSERT_TRUE(tx.send(frame(id, extended)).ok());
  }
  ASSERT_TRUE(tx.send(raw({0})).ok());  // no CAN header: passes every filter
  EXPECT_EQ(drain_ids(range), (std::vector<std::uint32_t>{0x100, 0x1FF, ~0u}));
  // An extended frame below 0x800 reaches only the unfiltered port.
  EXPECT_EQ(drain_ids(ext), (std::vector<std::uint32_t>{0x7, 0x18FF0000, ~0u}));
  EXPECT_EQ(drain_ids(all), (std::vector<std::uint32_t>{0x0FF, 0x100, 0x1FF, 0x200, 0x7, 0x7, 0x18FF0000, ~0u}));
}

TEST(MemBus, InvalidFramesAreRefusedAndNothingIsDelivered) {
  Channel tx = open("mem://frames");
  Channel rx = open("mem://frames");
  const std::pair<Message, const char*> refused[] = {
      {raw(std::vector<std::uint8_t>(9), CanHeader{0x1}),
       "invalid packet: 9 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {raw(std::vector<std::uint8_t>(8), CanHeader{0x1, false, false, true}),
       "invalid packet: bit rate switch needs a CAN FD frame"},
      {frame(0x800), "invalid packet: identifier 0x800 exceeds the 11-bit maximum 0x7FF"},
      {frame(0x20000000, true), "invalid packet: identifier 0x20000000 exceeds the 29-bit maximum 0x1FFFFFFF"},
  };
  for (const auto& [m, text] : refused) {
    auto st = tx.send(m);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().fmt(), text);
  }
  EXPECT_FALSE(recv(rx));
  // The transport stays usable, and a 12-byte frame is FD by its length.
  ASSERT_TRUE(tx.send(raw(std::vector<std::uint8_t>(12, 5), CanHeader{0x7FF})).ok());
  ASSERT_TRUE(tx.send(raw(std::vector<std::uint8_t>(70, 5))).ok());  // no header: no check
  auto got = recv(rx);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->packet->data.size(), 12u);
  got = recv(rx);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->packet->data.size(), 70u);
}

TEST(MemBus, DroppingTheLastEndpointFreesTheHub) {
  std::weak_ptr<sigtap::Transport> gone;
  {
    auto a = sigtap::transport::open("mem://fresh?echo=1");
    ASSERT_TRUE(a.ok());
    Channel b = open("mem://fresh");
    ASSERT_TRUE((*a)->send(raw({1}).packet.value()).ok());  // queued at both ports
    gone = *a;
  }
  EXPECT_TRUE(gone.expired());  // nothing on the hub keeps an endpoint alive
  Channel c = open("mem://fresh?echo=1");
  EXPECT_FALSE(recv(c));
  ASSERT_TRUE(c.send(raw({2})).ok());
  auto got = recv(c);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->packet->data, std::vector<std::uint8_t>{2});
  EXPECT_FALSE(recv(c));
}

TEST(MemBus, ClosedPortDoesNotDisturbTheOthers) {
  Channel tx = open("mem://closing");
  Channel rx = open("mem://closing");
  Channel other = open("mem://closing");
  ASSERT_TRUE(tx.send(raw({1})).ok());
  rx.close();
  ASSERT_TRUE(tx.send(raw({2})).ok());
  EXPECT_EQ(drain_ids(other).size(), 2u);
}

TEST(MemConcurrency, BlockedReceiverReturnsClosedOnClose) {
  auto rx = sigtap::transport::open("mem://blocked");
  ASSERT_TRUE(rx.ok());
  std::optional<bool> closed;
  std::thread waiter([&] {
    auto r = (*rx)->recv(std::nullopt);
    closed = !r.ok() && r.error().is_closed();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  (*rx)->close();
  waiter.join();
  EXPECT_EQ(closed, true);
}

TEST(MemConcurrency, QueuedPacketsAreDiscardedOnClose) {
  auto tx = sigtap::transport::open("mem://discard");
  auto rx = sigtap::transport::open("mem://discard");
  ASSERT_TRUE(tx.ok() && rx.ok());
  ASSERT_TRUE((*tx)->send(raw({1}).packet.value()).ok());
  (*rx)->close();
  (*rx)->close();
  ASSERT_TRUE((*tx)->send(raw({2}).packet.value()).ok());
  auto r = (*rx)->recv(kPoll);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_closed());
}

// Four producers on their own channels, one consumer that keeps up (the
// producers hold back while it is far behind, so the queue never reaches
// its bound): every packet arrives, each producer's in the order sent.
TEST(MemConcurrency, FourProducersOneConsumerLoseNothing) {
  constexpr std::uint32_t kProducers = 4;
  constexpr std::uint32_t kEach = 25000;
  constexpr std::uint64_t kMaxInFlight = 16384;
  Channel rx = open("mem://many");
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, &received, &stop] {
      Channel tx = open("mem://many");
      for (std::uint32_t n = 0; n < kEach && !stop; ++n) {
        // Everyone together has sent at most kProducers * (n + 1) packets.
        while (std::uint64_t{kProducers} * n > received.load(std::memory_order_acquire) + kMaxInFlight && !stop) {
          std::this_thread::yield();
        }
        EXPECT_TRUE(tx.send(numbered(p, n)).ok());
      }
    });
  }
  std::vector<std::uint32_t> next(kProducers, 0);
  bool in_order = true;
  while (received.load() < std::uint64_t{kProducers} * kEach) {
    auto m = recv(rx, kHang);
    if (!m) {
      ADD_FAILURE() << "stalled after " << received.load() << " packets";
      break;
    }
    auto [p, n] = number_of(*m);
    if (p >= kProducers) {
      ADD_FAILURE() << "unknown producer " << p;
      break;
    }
    in_order = in_order && n == next[p];
    next[p] = n + 1;
    received.fetch_add(1, std::memory_order_release);
  }
  stop = true;
  for (auto& t : producers) t.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(next, std::vector<std::uint32_t>(kProducers, kEach));
  EXPECT_FALSE(recv(rx));
}

}  // namespace
