// Channels: receive order and surplus, errors, send rules, close, and concurrent receivers.
#include "core/channel.hpp"

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "core/interrupt.hpp"

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using namespace sigtap::test;
using Strings = std::vector<std::string>;

// A packet the fake codec decodes into `count` messages named "<tag>.<i>".
Packet counted(std::uint8_t count, const std::string& tag) {
  Packet p = bytes({count});
  for (char c : tag) p.data.make_owned().push_back(static_cast<std::uint8_t>(c));
  return p;
}
FakeTransport::Item in(std::uint8_t count, const std::string& tag) { return {counted(count, tag)}; }

// The name of the message received, "" for nothing, or the error text.
std::string recv_name(Channel& ch, std::optional<Duration> timeout) {
  auto r = ch.recv(timeout);
  if (!r.ok()) return "error: " + r.error().fmt();
  return r->has_value() ? (*r)->name.value_or("<nameless>") : "";
}

// Each step receives and shows "<what it got>@<receives the transport has seen>"; a step "close" closes.
TEST(ChannelRecv, Scripts) {
  const std::tuple<const char*, std::vector<FakeTransport::Item>, std::optional<Duration>, Strings> cases[] = {
      {"the surplus comes without asking the transport", {in(3, "a")}, Duration{}, {"a.0@1", "a.1@1", "a.2@1", "@2"}},
      {"a poll ends after an empty decode", {in(0, "x"), in(1, "b"), in(0, "y")}, Duration{}, {"@1", "b.0@2", "@3"}},
      {"empty decodes are passed over until a message or the end",
       {in(0, "x"), in(1, "b"), in(0, "y"), FakeTransport::end()}, kHang,
       {"b.0@2", "error: the channel is closed@4"}},
      {"a decode error, then the next packet", {in(2, "a"), in(0xFF, ""), in(1, "b")}, Duration{},
       {"a.0@1", "a.1@1", "error: decode error: bad packet@2", "b.0@3"}},
      {"a closed channel fails even with pending messages", {in(3, "a"), in(1, "b")}, std::nullopt,
       {"a.0@1", "close", "error: the channel is closed@1", "error: the channel is closed@1"}},
  };
  for (const auto& [label, incoming, timeout, steps] : cases) {
    auto t = std::make_shared<FakeTransport>(incoming);
    Channel ch = make_channel(t, std::make_unique<FakeCodec>());
    Strings got;
    for (const auto& step : steps) {
      if (step == "close") ch.close();
      const std::string name = step == "close" ? "" : recv_name(ch, timeout);
      got.push_back(step == "close" ? step : name + "@" + std::to_string(t->receives().size()));
    }
    EXPECT_EQ(got, steps) << label;
    std::thread other([c = ch]() mutable { c.close(); });  // closes from any threads close the transport once
    ch.close();
    other.join();
    EXPECT_EQ(t->closes(), 1) << label;
  }
}

TEST(ChannelSend, Table) {
  // The message, the send attempt the transport fails (-1: none), closed first, the error, packets sent.
  const std::tuple<Message, int, bool, std::string, std::size_t> cases[] = {
      {Message{}, -1, false, "encode error: a message needs a name or data", 0},
      {Message{{}, {}, Packet{{7, 7}, CanHeader{0x12}, 3.5, 9}}, -1, false, "", 1},  // as is, not through the codec
      {named("none"), -1, false, "", 0},
      {named("bad"), -1, false, "encode error: no such message", 0},
      {named("three"), 1, false, "the wire broke", 1},  // the third is not sent
      {raw({1}), -1, true, "the channel is closed", 0},
  };
  for (const auto& [message, fail_at, closed, error, count] : cases) {
    int attempts = 0;
    auto t = std::make_shared<FakeTransport>(std::vector<FakeTransport::Item>{}, [&](const Packet&) {
      return attempts++ == fail_at ? Status(Error::io(IoKind::BrokenPipe, "the wire broke")) : Status{};
    });
    Channel ch = make_channel(t, std::make_unique<FakeCodec>());
    if (closed) ch.close();
    EXPECT_EQ(error_text(ch.send(message)), error);
    const auto sent = t->sent();
    ASSERT_EQ(sent.size(), count) << error;
    EXPECT_TRUE(sent.empty() || sent[0].packet == message.packet.value_or(bytes({0}))) << error;
    EXPECT_EQ(ch.closed(), closed) << "errors leave the channel usable";
  }
}

// A codec that sends a named message on its own channel, or receives on it,
// would wait for its own lock: refused at once, and the packet waiting stays
// first in line; a packet needs no codec and goes out.
TEST(ChannelSend, FromInsideItsOwnCodec) {
  auto t = std::make_shared<FakeTransport>(std::vector<FakeTransport::Item>{in(1, "waiting")});
  std::optional<Channel> ch;
  Strings inner;
  ch = make_channel(t, std::make_unique<FakeCodec>([&] {
    if (inner.empty()) {
      inner = {error_text(ch->send(named("again"))), error_text(ch->send(raw({9}))), error_text(ch->recv(kHang)),
               error_text(ch->try_recv())};
    }
  }));
  Watchdog dog("a send or receive from inside the codec");
  EXPECT_EQ(error_text(ch->send(named("outer"))), "");
  const std::string in_use = "the codec of this channel is in use by this thread";
  EXPECT_EQ(inner, Strings({in_use, "", in_use, in_use}));
  EXPECT_EQ(t->sent().size(), 2u);
  EXPECT_EQ(recv_name(*ch, kHang), "waiting.0");
}

// While another thread is inside the codec, a send gives up when the
// thread's interrupt check asks it to, and a timed receive when its time is
// up; neither sends nor loses anything.
TEST(ChannelConcurrency, WaitsForABusyCodecGiveUp) {
  auto t = std::make_shared<FakeTransport>(std::vector<FakeTransport::Item>{in(1, "queued")});
  std::promise<void> inside, release;
  std::shared_future<void> released = release.get_future().share();
  bool first = true;
  Channel ch = make_channel(t, std::make_unique<FakeCodec>([&] {
    if (std::exchange(first, false)) {
      inside.set_value();
      released.wait();
    }
  }));
  Watchdog dog("waits for a busy codec");
  auto busy = std::async(std::launch::async, [&] { return error_text(ch.send(named("slow"))); });
  inside.get_future().wait();
  static std::atomic<int> checks{0};
  auto interrupted = std::async(std::launch::async, [&] {
    InterruptScope scope([] { return ++checks >= 2; });
    return error_text(ch.send(named("held")));
  });
  EXPECT_EQ(interrupted.get(), "Interrupted system call (os error 4)");
  EXPECT_EQ(recv_name(ch, Duration::from_millis(150)), "");
  release.set_value();
  EXPECT_EQ(busy.get(), "");
  EXPECT_EQ(recv_name(ch, kHang), "queued.0");
  ASSERT_EQ(t->sent().size(), 1u);
  EXPECT_EQ(t->sent()[0].packet, bytes({'s', 'l', 'o', 'w'}));
}

// Receivers blocked without a timeout (one inside the transport, one waiting
// for its turn) do not hold up a timed receive, and all return Closed as
// soon as another thread closes.
TEST(ChannelConcurrency, BlockedReceiversReturnClosedOnClose) {
  auto t = std::make_shared<FakeTransport>();
  Channel ch = make_channel(t);
  Watchdog dog("receivers blocked on a channel being closed");
  std::vector<std::future<std::string>> waiters;
  for (int i = 0; i < 2; ++i) waiters.push_back(std::async(std::launch::async, [&] { return recv_name(ch, std::nullopt); }));
  t->receiver();  // one is in the transport
  EXPECT_EQ(recv_name(ch, Duration::from_millis(20)), "");
  ch.close();
  for (auto& w : waiters) EXPECT_EQ(w.get(), "error: the channel is closed");
}

// Four receivers on a stream whose receives dawdle (without the receive lock
// a later chunk would often reach the codec first): chunks are decoded in
// transport order, and every message is received exactly once, also when a
// chunk decodes into several (the surplus is shared).
TEST(ChannelConcurrency, ReceiversDecodeInOrderAndGetEveryMessageOnce) {
  constexpr std::size_t kChunks = 2000;
  for (std::uint8_t per_chunk : {1, 3}) {
    std::vector<FakeTransport::Item> script;
    for (std::size_t n = 0; n < kChunks; ++n) script.push_back(in(per_chunk, std::to_string(n)));
    script.push_back(FakeTransport::end());
    auto t = std::make_shared<FakeTransport>(std::move(script));
    std::vector<Packet> decoded;  // appended under the codec lock
    Channel ch = make_channel(t, std::make_unique<FakeCodec>(nullptr, &decoded));
    std::mutex mutex;
    std::multiset<std::string> got;
    std::vector<std::thread> receivers;
    for (int i = 0; i < 4; ++i) {
      receivers.emplace_back([&] {
        for (auto r = ch.recv(kHang); r.ok() && r->has_value(); r = ch.recv(kHang)) {
          std::lock_guard lock(mutex);
          got.insert(*(*r)->name);
        }
      });
    }
    for (auto& r : receivers) r.join();
    ASSERT_EQ(decoded.size(), kChunks);
    std::size_t in_order = 0, once = 0;
    for (std::size_t n = 0; n < kChunks; ++n) {
      in_order += decoded[n] == counted(per_chunk, std::to_string(n));
      for (int i = 0; i < per_chunk; ++i) once += got.count(std::to_string(n) + "." + std::to_string(i)) == 1;
    }
    EXPECT_EQ(in_order, kChunks) << "chunks decoded out of order";
    EXPECT_EQ(once, kChunks * per_chunk);
    EXPECT_EQ(got.size(), kChunks * per_chunk);
  }
}

}  // namespace
