// tcp:// sends cut short by a stop or an interrupt check: no peer loses a byte or gets a cut packet, stalled ones still go.
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "core/interrupt.hpp"
#include "core/periodic.hpp"
#include "core/transport/tcp.hpp"
#include "tests/cpp/transport/net_util.hpp"

namespace sigtap::nettest {
namespace {

using transport::Tcp;

constexpr std::size_t kPacket = 65536;

// Packet `n`: its number, then bytes that depend on the number and the
// place, so a cut packet shifts every block after it out of shape.
test::Bytes numbered(std::uint64_t n) {
  test::Bytes b(kPacket);
  std::memcpy(b.data(), &n, sizeof n);
  for (std::size_t i = sizeof n; i < kPacket; ++i) b[i] = static_cast<std::uint8_t>((n * 31 + i * 7) % 251);
  return b;
}
// The numbers of the whole packets a stream is made of; empty with `bad`
// set when it is anything else.
std::vector<std::uint64_t> packet_numbers(const std::string& stream, bool& bad) {
  std::vector<std::uint64_t> numbers;
  bad = stream.size() % kPacket != 0;
  for (std::size_t at = 0; !bad && at < stream.size(); at += kPacket) {
    std::uint64_t n;
    std::memcpy(&n, stream.data() + at, sizeof n);
    const test::Bytes expected = numbered(n);
    bad = std::memcmp(stream.data() + at, expected.data(), kPacket) != 0;
    numbers.push_back(n);
  }
  if (bad) numbers.clear();
  return numbers;
}
std::vector<std::uint64_t> first_numbers(std::uint64_t count) {
  std::vector<std::uint64_t> v(count);
  for (std::uint64_t i = 0; i < count; ++i) v[i] = i;
  return v;
}

// Reads a socket on its own thread, except while paused, until `done` says
// so, the stream ends, or nothing comes for 10 s while it reads.
class Reader {
 public:
  Reader(int fd, std::function<bool(const std::string&)> done)
      : thread_([this, fd, done = std::move(done)] {
          std::string buf(16384, '\0');
          Instant quiet_since = Clock::now();
          while (!done(got_) && Clock::now() - quiet_since < 10s) {
            pollfd p{fd, POLLIN, 0};
            if (paused_ || ::poll(&p, 1, 100) != 1) {
              if (paused_) quiet_since = Clock::now();
              std::this_thread::sleep_for(1ms);
              continue;
            }
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got_.append(buf, 0, static_cast<std::size_t>(n));
            quiet_since = Clock::now();
            std::this_thread::sleep_for(1ms);  // a steady reader, slower than the sender
          }
        }) {}
  ~Reader() { result(); }
  void pause(bool paused) { paused_ = paused; }
  std::string result() {
    if (thread_.joinable()) thread_.join();
    return got_;
  }

 private:
  std::atomic<bool> paused_{false};
  std::string got_;
  std::thread thread_;
};
std::function<bool(const std::string&)> at_least(std::size_t n) {
  return [n](const std::string& s) { return s.size() >= n; };
}

// A listener with a client that has been accepted, so that sends reach it,
// and whose buffers are small, so that a client that stops reading stalls
// the sender quickly.
struct ListenerAndClients {
  explicit ListenerAndClients(int clients, Clock::duration stall_limit) {
    listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
    if (!listener) return;
    listener->set_limits(stall_limit, Queue::kByteBudget);
    std::map<std::uint64_t, std::string> accepted;
    for (int i = 0; i < clients; ++i) {
      peers.push_back(plain_connect(listener->local_addr().port(), 4096));
      write_all(peers.back().get(), "s");
      EXPECT_EQ(next_text(*listener), "s");
      const int small = 65536;
      setsockopt(socket_to(port_of(peers.back())), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
  }
  std::shared_ptr<Tcp> listener;
  std::vector<Fd> peers;
};
// A client transport connected to a plain server that reads with small buffers.
struct ClientAndServer {
  ClientAndServer() {
    Fd server = plain_bound(SOCK_STREAM);
    const int small = 4096;
    setsockopt(server.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // accepted sockets inherit it
    client = open_as<Tcp>("tcp://127.0.0.1:" + std::to_string(port_of(server)));
    peer = Fd(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const int sndbuf = 65536;
    if (client) setsockopt(socket_to(port_of(server)), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  }
  std::shared_ptr<Tcp> client;
  Fd peer;
};

// A periodic sender stopped while its send waits for a listener's client
// that is behind (paused, well within the stall limit): stop() returns
// promptly, the client stays, and after later sends it has every packet
// whole and in order: at least every packet counted as sent, the one the
// stop cut short at most once more.
TEST(TcpSend, StoppingAPeriodicSenderKeepsAClientThatIsBehind) {
  ListenerAndClients setup(1, 5s);
  ASSERT_TRUE(setup.listener);
  Channel ch = test::make_channel(setup.listener);
  constexpr std::uint64_t kLast = 1'000'000;
  Reader reader(setup.peers[0].get(), [](const std::string& s) {
    std::uint64_t n = 0;
    if (s.size() >= kPacket && s.size() % kPacket == 0) std::memcpy(&n, s.data() + s.size() - kPacket, sizeof n);
    return n == kLast;
  });
  std::uint64_t counted = 0, next = 0;
  for (int round = 0; round < 3; ++round) {
    auto sender = ch.every(Duration::from_millis(1), test::raw(numbered(next)), std::nullopt).value();
    std::atomic<bool> updating{true};
    std::thread updater([&] {  // every packet differs from the one before it
      for (; updating; std::this_thread::sleep_for(2ms)) sender->update(test::raw(numbered(++next)));
    });
    std::this_thread::sleep_for(200ms);
    updating = false;
    updater.join();
    reader.pause(true);
    std::this_thread::sleep_for(400ms);  // the send now waits for the client
    auto stopping = run_async([&] { return sender->stop_and_join().ok(); });
    ASSERT_EQ(stopping.wait_for(30s), std::future_status::ready) << "stop hung";
    reader.pause(false);
    counted += sender->sent_count();
    ++next;
  }
  ASSERT_TRUE(ch.send(test::raw(numbered(kLast))).ok());
  bool bad = false;
  const std::vector<std::uint64_t> numbers = packet_numbers(reader.result(), bad);
  ASSERT_FALSE(bad) << "a packet was cut";
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), kLast) << "the client was dropped";
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  EXPECT_GE(numbers.size() - 1, counted);
  EXPECT_LE(numbers.size() - 1, counted + 3);
}

// A thread's own interrupt (its check, or its stop flag) ends sends that
// wait for a peer that is behind, twice in a row (the second time with the
// rest of the first still unsent): on a listener and on a client, the peer
// then gets exactly packets 0 to N-1, whole, in order.
struct InterruptCase {
  const char* name;
  bool listener;
  bool stop_flag;
};
class TcpInterruptedSend : public ::testing::TestWithParam<InterruptCase> {};

std::atomic<bool> g_interrupt{false};

TEST_P(TcpInterruptedSend, LosesNoByte) {
  const InterruptCase c = GetParam();
  std::optional<ListenerAndClients> listening;
  std::optional<ClientAndServer> connected;
  if (c.listener) listening.emplace(1, 30s);
  else connected.emplace();
  const std::shared_ptr<Tcp> t = c.listener ? listening->listener : connected->client;
  ASSERT_TRUE(t);
  const int peer = c.listener ? listening->peers[0].get() : connected->peer.get();
  constexpr std::uint64_t kCount = 48;
  Reader reader(peer, at_least(kCount * kPacket));
  reader.pause(true);
  g_interrupt = false;
  std::atomic<int> interrupted{0};
  std::atomic<bool> other_failure{false};
  // A stop cannot be taken back: each interrupt by stop gets a fresh source.
  std::mutex stop_mutex;
  std::stop_source stop_source;
  std::thread sender([&] {
    std::optional<InterruptScope> check;
    std::optional<StopScope> stop;
    std::stop_token token;
    const auto fresh_stop = [&] {
      const std::lock_guard lock(stop_mutex);
      stop.reset();
      stop_source = std::stop_source();
      token = stop_source.get_token();
      stop.emplace(token);
    };
    if (c.stop_flag) fresh_stop();
    else check.emplace([] { return g_interrupt.load(); });
    for (std::uint64_t n = 0; n < kCount; ++n) {
      const Status s = t->send(test::bytes(numbered(n)));
      if (s.ok()) continue;
      if (s.error().io_kind() != IoKind::Interrupted) other_failure = true;
      g_interrupt = false;
      if (c.stop_flag) fresh_stop();
      ++interrupted;
    }
  });
  for (int i = 1; i <= 2; ++i) {
    std::this_thread::sleep_for(300ms);  // the send now waits for the peer
    g_interrupt = true;
    if (c.stop_flag) {
      const std::lock_guard lock(stop_mutex);
      stop_source.request_stop();
    }
    if (!test::eventually([&] { return interrupted == i; }, 10s)) {
      ADD_FAILURE() << "send " << i << " was not interrupted";
      break;
    }
  }
  reader.pause(false);
  sender.join();
  EXPECT_FALSE(other_failure);
  bool bad = false;
  const std::vector<std::uint64_t> numbers = packet_numbers(reader.result(), bad);
  EXPECT_FALSE(bad) << "a packet was cut";
  EXPECT_EQ(numbers, first_numbers(kCount));
}

INSTANTIATE_TEST_SUITE_P(Tcp, TcpInterruptedSend,
                         ::testing::Values(InterruptCase{"listener_check", true, false},
                                           InterruptCase{"listener_stop_flag", true, true},
                                           InterruptCase{"client_check", false, false},
                                           InterruptCase{"client_stop_flag", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two clients are behind when a send is interrupted. One reads on and gets
// every packet whole; the other never takes another byte and is dropped by
// the stall rule at a later send, which an interrupt does not reset.
TEST(TcpSend, AStalledClientIsStillDropped) {
  ListenerAndClients setup(2, 1s);
  ASSERT_TRUE(setup.listener);
  constexpr std::uint64_t kCount = 32;
  Reader steady(setup.peers[0].get(), at_least(kCount * kPacket));
  steady.pause(true);
  std::atomic<int> interrupted{0};
  std::atomic<bool> other_failure{false};
  auto sending = run_async([&] {
    // Fires once, when the first send waits for the clients.
    static std::atomic<bool> interrupt;
    interrupt = true;
    InterruptScope check([] { return interrupt.exchange(false); });
    for (std::uint64_t n = 0; n < kCount; ++n) {
      const Status s = setup.listener->send(test::bytes(numbered(n)));
      if (s.ok()) continue;
      if (s.error().io_kind() != IoKind::Interrupted) other_failure = true;
      ++interrupted;
    }
    return true;
  });
  EXPECT_TRUE(test::eventually([&] { return interrupted == 1; }, 10s)) << "the send was not interrupted";
  steady.pause(false);
  ASSERT_EQ(sending.wait_for(30s), std::future_status::ready) << "the stalled client held the sends up";
  EXPECT_FALSE(other_failure);
  bool bad = false;
  EXPECT_EQ(packet_numbers(steady.result(), bad), first_numbers(kCount));
  EXPECT_FALSE(bad) << "a packet was cut";
  EXPECT_LT(read_n(setup.peers[1].get(), kCount * kPacket).size(), kCount * kPacket);
  EXPECT_TRUE(at_end(setup.peers[1].get())) << "the stalled client was kept";
}

// A thread that sends on through interrupts (its check always fires) to a
// peer that takes nothing does not pile up packets without end: once a
// connection lacks 64 MiB, the next interrupted send drops it instead.
TEST(TcpSend, SendingOnThroughInterruptsIsBounded) {
  for (const bool listener : {true, false}) {
    std::optional<ListenerAndClients> listening;
    std::optional<ClientAndServer> connected;
    if (listener) listening.emplace(1, std::chrono::hours(1));
    else connected.emplace();
    const std::shared_ptr<Tcp> t = listener ? listening->listener : connected->client;
    ASSERT_TRUE(t);
    const int peer = listener ? listening->peers[0].get() : connected->peer.get();
    InterruptScope always([] { return true; });
    const Packet big = test::bytes(test::Bytes(1 << 20));
    int interrupted = 0;
    std::string last;
    for (int i = 0; i < 200; ++i) {
      const Status s = t->send(big);
      interrupted += !s.ok() && s.error().io_kind() == IoKind::Interrupted;
      last = test::error_text(s);
    }
    EXPECT_TRUE(interrupted > 0 && interrupted < 100) << listener << ": " << interrupted;
    EXPECT_EQ(last, listener ? "" : "the channel is closed");
    read_n(peer, SIZE_MAX);
    EXPECT_TRUE(at_end(peer)) << listener;
  }
}

}  // namespace
}  // namespace sigtap::nettest
