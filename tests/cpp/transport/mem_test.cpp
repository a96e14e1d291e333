// The mem:// bus through channels with the raw codec: delivery, echo, filters,
// frame checks, hub lifetime, close and many producers.
#include "core/transport/mem.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace sigtap::test;

Channel open(const std::string& url) {
  auto ch = Channel::open(url, "raw", {});
  EXPECT_EQ(error_text(ch), "") << url;
  return std::move(ch).value();
}

// The packet received within the timeout; nothing on timeout, fails the test on error.
std::optional<Packet> recv(Channel& ch, Duration timeout = {}) {
  auto r = ch.recv(timeout);
  EXPECT_EQ(error_text(r), "");
  return r.ok() && r->has_value() ? (*r)->packet : std::nullopt;
}
Bytes data_of(const std::optional<Packet>& p) { return p ? p->data.owned_copy() : Bytes{0xEE, 0xEE}; }  // no packet: a marker

// The CAN identifiers (~0 for no header) of the packets a channel has waiting, in order.
std::vector<std::uint32_t> drain_ids(Channel& ch) {
  std::vector<std::uint32_t> ids;
  while (auto p = recv(ch)) ids.push_back(p->can ? p->can->id : ~0u);
  return ids;
}

TEST(MemOpen, OptionErrorsInOrder) {
  const std::pair<const char*, const char*> cases[] = {
      {"mem://o?echo=maybe&filter=x&extra=1", R"(option echo: "maybe" is not a boolean)"},
      {"mem://o?filter=0x1,nope&extra=1", R"(filter: "nope" is not a number)"},
      {"mem://o?echo=1&zeta=1&alpha=2", "mem:// does not take the option(s) alpha, zeta"}};
  for (const auto& [url, text] : cases) EXPECT_EQ(error_text(Channel::open(url, "raw", {})), text);
}

// Hub names are exact; a port never sees its own packets unless it asks for
// echo, which stamps the send time and keeps the rest of the packet.
TEST(MemBus, ChannelsExchangeOnTheirHubOnly) {
  Channel a = open("mem://Bus"), b = open("mem://Bus"), lower = open("mem://bus"), empty1 = open("mem://"),
          empty2 = open("mem://?echo=0"), echo = open("mem://echo?echo=true");
  ASSERT_TRUE(a.send(raw({1})).ok() && b.send(raw({2})).ok() && empty1.send(raw({3})).ok());
  EXPECT_EQ(data_of(recv(b, kHang)), Bytes{1});
  EXPECT_EQ(data_of(recv(a, kHang)), Bytes{2});
  EXPECT_EQ(data_of(recv(empty2, kHang)), Bytes{3});
  EXPECT_TRUE(!recv(a, Duration::from_millis(10)) && !recv(b) && !recv(lower));

  const Packet sent{{9, 8}, CanHeader{0x7FF}, 1.0, 17};
  const double before = wall_clock_timestamp();
  ASSERT_TRUE(echo.send(Message{{}, {}, sent}).ok());
  auto got = recv(echo);
  ASSERT_TRUE(got && got->timestamp);
  EXPECT_TRUE(*got->timestamp >= before && *got->timestamp <= wall_clock_timestamp()) << *got->timestamp;
  got->timestamp = sent.timestamp;
  EXPECT_EQ(*got, sent);
}

TEST(MemBus, FiltersSelectFramesAndPassPacketsWithoutHeader) {
  Channel tx = open("mem://filters"), range = open("mem://filters?filter=0x100:0x700"),
          ext = open("mem://filters?filter=0x18FF0000,0x7"), all = open("mem://filters?filter=,,");
  for (CanHeader h : std::vector<CanHeader>{{0x0FF, false}, {0x100, false}, {0x1FF, false}, {0x200, false},
                                           {0x7, false}, {0x7, true}, {0x18FF0000, true}, {0x18FF0001, true}}) {
    ASSERT_TRUE(tx.send(raw({1, 2, 3}, h)).ok());
  }
  ASSERT_TRUE(tx.send(raw({0})).ok());  // no CAN header: passes every filter
  EXPECT_EQ(drain_ids(range), (std::vector<std::uint32_t>{0x100, 0x1FF, ~0u}));
  // The format must agree: an extended 0x7 passes only the unfiltered port.
  EXPECT_EQ(drain_ids(ext), (std::vector<std::uint32_t>{0x7, 0x18FF0000, ~0u}));
  EXPECT_EQ(drain_ids(all).size(), 9u);
}

TEST(MemBus, InvalidFramesAreRefusedAndNothingIsDelivered) {
  Channel tx = open("mem://frames"), rx = open("mem://frames");
  EXPECT_EQ(error_text(tx.send(raw(Bytes(9), CanHeader{0x1}))),
            "invalid packet: 9 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)");
  // The transport stays usable; a 12-byte frame is FD by its length, and a packet without header is not checked.
  ASSERT_TRUE(tx.send(raw(Bytes(12, 5), CanHeader{0x7FF})).ok() && tx.send(raw(Bytes(70, 5))).ok());
  EXPECT_EQ(data_of(recv(rx)), Bytes(12, 5));
  EXPECT_EQ(data_of(recv(rx)), Bytes(70, 5));
}

TEST(MemBus, ClosingAPortDiscardsItsQueueAndTheLastOneFreesTheHub) {
  std::weak_ptr<Transport> gone;
  {
    auto a = transport::open("mem://fresh?echo=1"), b = transport::open("mem://fresh");
    ASSERT_TRUE(a.ok() && b.ok());
    Channel other = open("mem://fresh");
    ASSERT_TRUE((*a)->send(bytes({1})).ok());  // queued at every port
    (*b)->close();
    ASSERT_TRUE((*a)->send(bytes({2})).ok());
    EXPECT_EQ(error_text((*b)->recv(Duration{})), "the channel is closed") << "queued packets are discarded";
    EXPECT_EQ(drain_ids(other).size(), 2u) << "a closed port does not disturb the others";
    gone = *a;
  }
  EXPECT_TRUE(gone.expired());  // nothing on the hub keeps an endpoint alive
  Channel c = open("mem://fresh?echo=1");
  EXPECT_FALSE(recv(c)) << "a new hub starts empty";
  ASSERT_TRUE(c.send(raw({2})).ok());
  EXPECT_EQ(data_of(recv(c)), Bytes{2});
}

// Four producers on their own channels, one consumer that keeps up (the
// producers hold back while it is far behind, so the queue never reaches
// its bound): every packet arrives, each producer's in the order sent.
TEST(MemConcurrency, FourProducersOneConsumerLoseNothing) {
  constexpr std::uint32_t kProducers = 4, kEach = 25000, kMaxInFlight = 16384;
  Channel rx = open("mem://many");
  std::atomic<std::uint32_t> received{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, &received, &stop] {
      Channel tx = open("mem://many");
      for (std::uint32_t n = 0; n < kEach && !stop; ++n) {
        while (kProducers * n > received + kMaxInFlight && !stop) std::this_thread::yield();
        const auto byte = [](std::uint32_t v) { return static_cast<std::uint8_t>(v); };
        EXPECT_TRUE(tx.send(raw({byte(p), byte(n), byte(n >> 8), byte(n >> 16)})).ok());
      }
    });
  }
  std::vector<std::uint32_t> next(kProducers, 0);
  bool in_order = true;
  for (; received < kProducers * kEach; ++received) {
    const Bytes data = data_of(recv(rx, kHang));
    if (data.size() != 4 || data[0] >= kProducers) break;
    const std::uint32_t p = data[0], n = data[1] | data[2] << 8 | data[3] << 16;
    in_order = in_order && n == next[p];
    next[p] = n + 1;
  }
  stop = true;
  for (auto& t : producers) t.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(next, std::vector<std::uint32_t>(kProducers, kEach)) << "stalled or garbled";
  EXPECT_FALSE(recv(rx));
}

}  // namespace
