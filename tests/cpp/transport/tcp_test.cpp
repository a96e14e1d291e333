// tcp:// against plain loopback sockets: streams, sources, close, stalls, leaks; and close on every transport.
#include "core/transport/tcp.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <ctime>
#include <map>
#include <vector>

#include "core/interrupt.hpp"
#include "core/periodic.hpp"
#include "core/subscription.hpp"
#include "core/thread.hpp"
#include "tests/cpp/transport/net_util.hpp"

// Allocation failures on demand, for the whole test program: while set,
// operator new throws std::bad_alloc on the threads of tcp:// ("sigtap-tcp-…")
// or on the thread that set `t_fail_here`; otherwise it is the usual one
// (a sanitizer's, when there is one).
namespace sigtap::nettest {
std::atomic<bool> g_fail_tcp_threads{false};
thread_local bool t_fail_here = false;
bool allocation_fails() {
  if (t_fail_here) return true;
  if (!g_fail_tcp_threads.load(std::memory_order_relaxed)) return false;
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return std::strncmp(name, "sigtap-tcp", 10) == 0;
}
template <const char* kSymbol> void* allocate(std::size_t size) {
  static auto* const next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, kSymbol));
  if (allocation_fails()) throw std::bad_alloc();
  return next(size);
}
constexpr char kNew[] = "_Znwm", kNewArray[] = "_Znam";
}  // namespace sigtap::nettest
void* operator new(std::size_t size) { return sigtap::nettest::allocate<sigtap::nettest::kNew>(size); }
void* operator new[](std::size_t size) { return sigtap::nettest::allocate<sigtap::nettest::kNewArray>(size); }

namespace sigtap::nettest {
namespace {

using transport::Tcp;

std::string url_of(std::uint16_t port, const char* q = "") { return "tcp://127.0.0.1:" + std::to_string(port) + q; }
Fd accept_one(const Fd& server) { return Fd(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
// Closing the socket then resets the connection instead of ending it.
void reset_on_close(const Fd& fd) {
  const linger now{1, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

// At least n more bytes from the transport, added to `out` by source.
void receive_bytes(Transport& t, std::size_t n, std::map<std::uint64_t, std::string>& out) {
  for (std::size_t got = 0; got < n;) {
    auto r = t.recv(kLong);
    if (!r.ok() || !r->has_value()) return;
    out[(*r)->source.value_or(0)] += text(**r);
    got += (*r)->data.size();
  }
}

// A test on one listener, with the stall limit and byte budget it needs.
class TcpListener : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener); }
  std::uint16_t port() const { return listener->local_addr().port(); }
  std::shared_ptr<Tcp> listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
};

TEST_P(CloseWhileBlocked, ReleasesTheCallerAtOnce) {
  const Blocked b = GetParam().second();
  auto t = b.transport;
  ASSERT_TRUE(t);
  auto call = run_async([t, sends = b.sends] {
    const Packet big{std::vector<std::uint8_t>(65536, 7), {}, {}, {}};
    while (sends) {
      if (auto s = t->send(big); !s.ok()) return s.error().fmt();
    }
    return test::error_text(t->recv(std::nullopt));
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(call.wait_for(0s), std::future_status::timeout) << "returned before close: " << call.get();
  auto closing = run_async([t] { return t->close(), true; });
  // Hang guards: a listener's stall limit is set far beyond them.
  ASSERT_EQ(closing.wait_for(30s), std::future_status::ready) << "close hung";
  ASSERT_EQ(call.wait_for(30s), std::future_status::ready) << "the blocked call was not released";
  const std::string why = call.get();
  EXPECT_TRUE(b.sends ? why != "" : why == "the channel is closed") << why;
  EXPECT_EQ(test::error_text(t->send(packet("x"))), "the channel is closed");
  EXPECT_EQ(test::error_text(t->recv(Duration{})), "the channel is closed");
}

Blocked blocked_client(bool sends) {
  auto server = std::make_shared<std::pair<Fd, Fd>>(plain_bound(SOCK_STREAM), Fd());
  auto t = open_as(url_of(port_of(server->first)));
  if (t) server->second = accept_one(server->first);  // and never read from
  return {t, server, sends};
}
Blocked blocked_listener(bool sends) {
  auto t = open_as<Tcp>("tcp://127.0.0.1:0?listen");
  if (!t) return {};
  t->set_limits(std::chrono::hours(1), Queue::kByteBudget);
  auto peer = std::make_shared<Fd>(plain_connect(t->local_addr().port(), 4096));
  write_all(peer->get(), "s");
  EXPECT_EQ(next_text(*t), "s");  // accepted: sends reach it from now on
  return {t, peer, sends};
}

INSTANTIATE_TEST_SUITE_P(Tcp, CloseWhileBlocked,
                         ::testing::Values(BlockedCase{"client_recv", [] { return blocked_client(false); }},
                                           BlockedCase{"client_send", [] { return blocked_client(true); }},
                                           BlockedCase{"listener_recv", [] { return blocked_listener(false); }},
                                           BlockedCase{"listener_send", [] { return blocked_listener(true); }}),
                         case_name);

// Signals on the sending thread (the interpreter's main thread, say) do not
// break a send that waits for the server.
TEST(Tcp, ClientAgainstAPlainServer) {
  Fd server = plain_bound(SOCK_STREAM);
  auto client = open_as<Tcp>(url_of(port_of(server)));
  ASSERT_TRUE(client);
  Fd peer = accept_one(server);
  ASSERT_TRUE(client->send(packet("")).ok());
  std::string sent, failure;
  for (int i = 0; i < 200; ++i) sent += std::string(65536, static_cast<char>('a' + i % 26));
  std::thread sender([&] {
    for (std::size_t at = 0; at < sent.size() && failure.empty(); at += 65536) {
      failure = test::error_text(client->send(packet(sent.substr(at, 65536))));
    }
  });
  std::this_thread::sleep_for(200ms);  // the sender now waits for the server to read
  interrupt(sender);
  EXPECT_TRUE(read_n(peer.get(), sent.size()) == sent);  // not EXPECT_EQ: 13 MB would be printed
  sender.join();
  EXPECT_EQ(failure, "");
  // The server sends and goes away: what it sent comes first, then the end.
  write_all(peer.get(), "world");
  peer.reset();
  std::map<std::uint64_t, std::string> got;
  receive_bytes(*client, 5, got);  // tagged with the connection's number, from 1
  EXPECT_TRUE(got.size() == 1 && got.begin()->first >= 1 && got.begin()->second == "world");
  EXPECT_EQ(next_text(*client), "<the channel is closed>");
  // Sends go to the dead connection until the system reports it gone.
  const auto io_failure = [](const Status& s) { return !s.ok() && s.error().kind() == ErrorKind::Io; };
  EXPECT_TRUE(test::eventually([&] { return io_failure(client->send(packet("x"))); }, 10s));
}

// A worker's stop ends a send of its thread that waits for a peer that
// stopped reading: a periodic sender and a subscription's callback on a
// client, and a periodic sender on a listener (whose stall limit is far
// away). The connection stays: once the peer reads, the rest of the cut
// packet comes first, then what is sent next; close then ends the stream.
TEST(Tcp, StoppingAWorkerEndsItsBlockedSend) {
  for (int c : {0, 1, 2}) {
    Fd server = plain_bound(SOCK_STREAM), peer;
    std::optional<Channel> ch;
    if (c < 2) {
      ch = Channel::open(url_of(port_of(server)), "raw", {}).value();
      peer = accept_one(server);  // never read from
    } else {
      auto t = open_as<Tcp>("tcp://127.0.0.1:0?listen");
      t->set_limits(std::chrono::hours(1), Queue::kByteBudget);
      peer = plain_connect(t->local_addr().port(), 4096);
      write_all(peer.get(), "s");
      EXPECT_EQ(next_text(*t), "s");  // accepted: sends reach it from now on
      ch = test::make_channel(t);
    }
    const Message big = test::raw(test::Bytes(1 << 20));
    std::unique_ptr<Periodic> sender;
    std::unique_ptr<Subscription> subscription;
    if (c == 1) {
      subscription = std::move(ch->subscribe([ch = *ch, &big](Result<Message>) mutable {
        while (ch.send(big).ok()) {}
        return true;
      }).value());
      write_all(peer.get(), "go");
    } else {
      sender = std::move(ch->every(Duration::from_millis(1), big, std::nullopt).value());
    }
    std::this_thread::sleep_for(300ms);  // the send now waits for the peer
    auto stopping = run_async([&] { return (void)(sender ? sender->stop_and_join() : subscription->stop_and_join()), true; });
    ASSERT_EQ(stopping.wait_for(30s), std::future_status::ready) << "stop hung: " << c;
    auto ending = run_async([ch = *ch]() mutable {
      const Status sent = ch.send(test::raw(test::Bytes{'e', 'n', 'd'}));
      ch.close();
      return sent.ok();
    });
    const std::string got = read_n(peer.get(), SIZE_MAX);
    EXPECT_TRUE(at_end(peer.get())) << c;
    ASSERT_EQ(ending.wait_for(30s), std::future_status::ready) << "the send after the stop hung: " << c;
    EXPECT_TRUE(ending.get()) << c;
    EXPECT_TRUE(got.size() % big.packet->data.size() == 3 && got.ends_with("end")) << c << ": " << got.size();
  }
}

// Every client is heard and served. One that resets and one that never reads
// (it is dropped after one stall limit, not one per packet) cost the others
// nothing.
TEST_F(TcpListener, ServesEveryClient) {
  listener->set_limits(1s, Queue::kByteBudget);
  Fd stalled = plain_connect(port(), 4096);
  write_all(stalled.get(), "from a");
  std::map<std::uint64_t, std::string> heard;
  receive_bytes(*listener, 6, heard);
  Fd healthy = plain_connect(port()), reset = plain_connect(port());
  for (auto [c, s] : {std::pair{&healthy, "from b"}, {&reset, "from c"}, {&stalled, " again"}}) write_all(c->get(), s);
  receive_bytes(*listener, 18, heard);
  // Numbers increase with every connection of the process; a keeps its own.
  std::vector<std::string> by_number;
  for (const auto& [source, bytes] : heard) by_number.push_back(bytes);
  EXPECT_EQ(by_number, (std::vector<std::string>{"from a again", "from b", "from c"}));
  ASSERT_TRUE(listener->send(packet("to all")).ok());
  for (const Fd* c : {&stalled, &healthy, &reset}) EXPECT_EQ(read_n(c->get(), 6), "to all");

  reset_on_close(reset);
  reset.reset();
  auto reader = std::async(std::launch::async, [&] { return read_n(healthy.get(), 256 * 65536); });
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all += std::string(65536, static_cast<char>(i));
    ASSERT_TRUE(listener->send(packet(all.substr(all.size() - 65536))).ok());
  }
  EXPECT_TRUE(reader.get() == all);  // not EXPECT_EQ: 16 MiB would be printed
  EXPECT_LT(read_n(stalled.get(), all.size()).size(), all.size());
  EXPECT_TRUE(at_end(stalled.get()));  // dropped
  listener->close();
  EXPECT_TRUE(at_end(healthy.get()));
}

// A client that takes a big packet slowly but steadily keeps its place,
// however much longer than the stall limit the whole packet takes.
TEST_F(TcpListener, KeepsASlowButSteadyClient) {
  listener->set_limits(250ms, Queue::kByteBudget);
  Fd slow = plain_connect(port(), 4096);
  write_all(slow.get(), "hello");
  ASSERT_EQ(next_text(*listener), "hello");  // accepted
  std::string big;
  // Well more than the loopback buffers hold: the send waits for the reader.
  for (int i = 0; i < 128; ++i) big += std::string(65536, static_cast<char>('a' + i % 26));
  auto reader = std::async(std::launch::async, [&] {
    std::string got;
    while (got.size() < big.size()) {
      std::string part = read_n(slow.get(), std::min<std::size_t>(65536, big.size() - got.size()));
      if (part.empty()) break;
      got += part;
      std::this_thread::sleep_for(10ms);
    }
    return got;
  });
  ASSERT_TRUE(listener->send(packet(big)).ok());
  EXPECT_TRUE(reader.get() == big);  // not dropped midway
}

// A client that keeps taking a few bytes cannot hold up the others' sends
// for long: one that has not taken a packet within the stall limit and a
// second per MiB of it is dropped, while one that keeps up gets it all.
TEST_F(TcpListener, DropsAClientThatTakesAPacketTooSlowly) {
  listener->set_limits(250ms, Queue::kByteBudget);
  Fd trickle = plain_connect(port(), 4096), healthy = plain_connect(port());
  write_all(trickle.get(), "t"), write_all(healthy.get(), "h");
  std::map<std::uint64_t, std::string> accepted;
  receive_bytes(*listener, 2, accepted);
  const int small = 65536;  // the system's buffer toward the slow client: the packet waits for it
  setsockopt(socket_to(port_of(trickle)), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string big(2 << 20, 'x');
  std::atomic<bool> sent{false};
  auto slow = std::async(std::launch::async, [&] {
    std::size_t taken = 0;
    for (char part[4096]; !sent; std::this_thread::sleep_for(20ms)) {
      taken += static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(trickle.get(), part, sizeof part, MSG_DONTWAIT)));
    }
    return taken + read_n(trickle.get(), SIZE_MAX).size();  // the rest, up to the end of the stream
  });
  auto fast = std::async(std::launch::async, [&] { return read_n(healthy.get(), big.size()); });
  auto sending = run_async([&] { return listener->send(packet(big)).ok(); });
  const bool returned = sending.wait_for(30s) == std::future_status::ready;
  sent = true;
  ASSERT_TRUE(returned) << "the slow client held the send up";
  EXPECT_TRUE(fast.get() == big);
  EXPECT_LT(slow.get(), big.size());
}

// A listener whose receiver falls behind stops reading once its queue holds
// the byte budget: the peer is slowed down, and nothing is lost.
TEST_F(TcpListener, ReadersPauseOverTheByteBudget) {
  listener->set_limits(Tcp::kStallLimit, 1 << 20);
  Fd client = plain_connect(port());
  std::string all;
  for (int i = 0; i < 512; ++i) all += std::string(65536, static_cast<char>(i));
  ::fcntl(client.get(), F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  for (pollfd p{client.get(), POLLOUT, 0}; sent < all.size() && ::poll(&p, 1, 1000) > 0;) {
    const ssize_t n = ::send(client.get(), all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  EXPECT_LT(sent, all.size()) << "the peer was never slowed down";
  auto rest = std::async(std::launch::async, [&] {
    ::fcntl(client.get(), F_SETFL, 0);
    return ::send(client.get(), all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
  });
  std::map<std::uint64_t, std::string> got;
  receive_bytes(*listener, all.size(), got);
  EXPECT_EQ(rest.get(), static_cast<ssize_t>(all.size() - sent));
  EXPECT_TRUE(got.size() == 1 && got.begin()->second == all);  // not EXPECT_EQ: 32 MiB would be printed
}

// Out of memory on the transport's threads: a reader drops its connection,
// the accept thread closes the one it took, and the process goes on (a
// bad_alloc let out of them would end it); a failed thread start restores
// the caller's signal mask. Later clients are served again.
TEST_F(TcpListener, FailedAllocationsEndOnlyTheirConnection) {
  Fd reading = plain_connect(port());
  write_all(reading.get(), "a");
  ASSERT_EQ(next_text(*listener), "a");
  g_fail_tcp_threads = true;
  write_all(reading.get(), std::string(1000, 'b'));
  Fd accepted = plain_connect(port());
  EXPECT_TRUE(at_end(reading.get()) && at_end(accepted.get()));
  g_fail_tcp_threads = false;
  sigset_t before{}, after{};
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  t_fail_here = true;
  try { (void)spawn_thread("sigtap-test", [] {}); } catch (const std::bad_alloc&) {}
  t_fail_here = false;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "signals left blocked";
  Fd later = plain_connect(port());
  write_all(later.get(), "c");
  EXPECT_EQ(next_text(*listener), "c");
}

// Every connection, made or accepted, probes a quiet peer, so that one gone
// without a word (power lost, link down) is dropped within about 30 s, like
// one that reset the connection.
TEST(Tcp, KeepAliveOnEveryConnection) {
  auto listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
  Fd server = plain_bound(SOCK_STREAM);
  auto client = open_as<Tcp>(url_of(port_of(server)));
  ASSERT_TRUE(listener && client);
  Fd peer = plain_connect(listener->local_addr().port());
  write_all(peer.get(), "x");
  ASSERT_EQ(next_text(*listener), "x");  // accepted
  for (std::uint16_t to : {port_of(server), port_of(peer)}) {
    const auto option = [fd = socket_to(to)](int level, int name) {
      int value = -1;
      socklen_t len = sizeof value;
      return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
    };
    const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE), interval = option(IPPROTO_TCP, TCP_KEEPINTVL);
    const int probes = option(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_TRUE(option(SOL_SOCKET, SO_KEEPALIVE) == 1 && idle > 0 && idle + interval * probes <= 30);
  }
}

// A reader waits for room in the queue before it reads: while the queue is
// full, what a client sends stays in the system's buffers (bounded by TCP
// flow control), not in memory of the reader's. It comes through after.
TEST_F(TcpListener, ReadersWaitForRoomBeforeReading) {
  listener->set_limits(Tcp::kStallLimit, 4);
  Fd first = plain_connect(port()), second = plain_connect(port());
  write_all(first.get(), "full");
  std::this_thread::sleep_for(200ms);  // queued: the queue is full (else this checks less)
  write_all(second.get(), std::string(1000, 'b'));
  std::this_thread::sleep_for(200ms);  // the second reader waits for room
  int unread = -1;
  ::ioctl(socket_to(port_of(second)), FIONREAD, &unread);
  EXPECT_EQ(unread, 1000);
  std::map<std::uint64_t, std::string> got;
  receive_bytes(*listener, 1004, got);
  EXPECT_TRUE(got.size() == 2 && got.begin()->second == "full" && got.rbegin()->second == std::string(1000, 'b'));
}

// One client cannot fill the queue ahead of the others: a connection holds
// at most an eighth of the queue, so another's data comes within about that
// much. Nothing is lost, and each stream keeps its order.
TEST_F(TcpListener, OneClientHoldsAShareOfTheQueue) {
  listener->set_limits(Tcp::kStallLimit, 1 << 20);
  Fd flood = plain_connect(port()), other = plain_connect(port());
  std::string all;
  for (int i = 0; i < 64; ++i) all += std::string(65536, static_cast<char>(i));
  auto sending = std::async(std::launch::async, [&] { write_all(flood.get(), all); });
  std::this_thread::sleep_for(300ms);  // the flood takes what it may of the queue
  write_all(other.get(), "x");
  // Its reader queues it behind at most the flood's share; a receiver that
  // started at once could drain the flood faster than that reader wakes.
  std::this_thread::sleep_for(300ms);
  std::map<std::uint64_t, std::string> got;
  while (got.size() < 2) receive_bytes(*listener, 1, got);
  const std::size_t ahead = got.begin()->second.size();
  receive_bytes(*listener, all.size() - ahead, got);
  sending.get();
  EXPECT_LE(ahead, std::size_t{1} << 18) << "bytes of the flood before the other client's";
  EXPECT_TRUE(got.begin()->second == all);  // not EXPECT_EQ: 4 MiB would be printed
}

// Clients come and go (cleanly, mid-packet, by reset, silently) while the
// listener never sends: their reader threads must all go away, and their
// sockets once the system knows the peers gone. A clean close looks like a
// half-close, which keeps the connection a send target, until a send to it
// fails: one packet to all draws the reset of every peer that went away.
TEST(Tcp, ListenerOutlivesAThousandClientsWithoutLeaks) {
  const Usage before = baseline();
  auto listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  const std::uint16_t port = listener->local_addr().port();
  std::atomic<std::size_t> received{0}, reliable{0};
  auto drain = std::async(std::launch::async, [&] {
    auto r = listener->recv(std::nullopt);
    for (; r.ok(); r = listener->recv(std::nullopt)) received += r->has_value() ? (*r)->data.size() : 0;
    return r.error().fmt();
  });
  const Usage serving = usage();
  std::vector<std::thread> workers;
  for (int w = 0; w < 8; ++w) {
    workers.emplace_back([&, w] {
      for (int i = w; i < 1000; i += 8) {
        Fd c = plain_connect(port);
        // A whole packet and a clean close, half a packet, a reset (its data may or may not arrive), not a word.
        const std::string msg = "client " + std::to_string(i) + " says hello";
        const std::size_t n = i % 4 == 1 ? msg.size() / 2 : i % 4 == 3 ? 0 : msg.size();
        if (i % 4 == 2) reset_on_close(c);
        write_all(c.get(), msg.substr(0, n));
        reliable += i % 4 == 2 ? 0 : n;
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_TRUE(test::eventually([&] { return received >= reliable; }, 60s)) << received << " of " << reliable;
  EXPECT_TRUE(test::eventually([&] { return usage().second <= serving.second; }, 60s)) << "reader threads left";
  // Connections accepted late (a client that said nothing) get a later packet.
  EXPECT_TRUE(test::eventually([&] {
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(listener->send(packet("bye")).ok());
    return usage().first <= serving.first && usage().second <= serving.second;
  }, 60s)) << testing::PrintToString(usage());
  Fd late = plain_connect(port);  // still serving
  write_all(late.get(), "late");
  EXPECT_TRUE(test::eventually([&] { return received >= reliable + 4; }, 60s));
  late.reset();
  listener->close();
  ASSERT_EQ(drain.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(drain.get(), "the channel is closed");
  listener.reset();
  EXPECT_TRUE(settles_to(before)) << testing::PrintToString(usage());
}

// Clients connecting while the listener is closed (or just dropped): no
// connection accepted meanwhile may be left behind.
TEST(Tcp, CloseDuringConnectsLeavesNothingBehind) {
  const Usage before = baseline();
  for (int round = 0; round < 20; ++round) {
    auto listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
    ASSERT_TRUE(listener);
    std::atomic<bool> stop{false};
    std::vector<Fd> peers;  // kept open: a connection the listener kept would never end
    std::thread connector([&stop, &peers, to = listener->local_addr()] {
      while (!stop && peers.size() < 100) {  // fewer than the backlog holds: no waits for it
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), to.get(), to.len) != 0) break;
        peers.push_back(std::move(fd));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    if (round % 2 == 0) listener->close();
    listener.reset();
    stop = true;
    connector.join();
    // A connection whose handshake the closing listener never finished lives
    // on this side only: a byte draws the system's reset for it, while one
    // the listener kept would take the byte and stay silent.
    for (const Fd& peer : peers) {
      ::send(peer.get(), "x", 1, MSG_NOSIGNAL);
      ASSERT_TRUE(at_end(peer.get())) << "round " << round;
    }
  }
  EXPECT_TRUE(settles_to(before)) << testing::PrintToString(usage());
}

// Out of descriptors, accept fails while the connection stays pending: the
// accept thread must pause between attempts, not spin, and recover after.
TEST_F(TcpListener, AcceptFailuresDoNotSpin) {
  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // The lowest free descriptor number becomes the limit: every new one fails.
  const auto lowest_free = static_cast<rlim_t>(Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)).get());
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const rlimit tight{lowest_free, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const int rc = ::connect(client.get(), listener->local_addr().get(), listener->local_addr().len);
  const std::clock_t before = std::clock();  // the whole process's processor time
  std::this_thread::sleep_for(1s);
  const double spent = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_EQ(rc, 0);
  EXPECT_LT(spent, 0.3) << "seconds of processor time in one second";
  write_all(client.get(), "finally");
  EXPECT_EQ(next_text(*listener), "finally");
}

// A connect to a server that never answers (its backlog is full) ends on the
// caller's interrupt check, not at the connect timeout, and leaves no
// descriptor behind.
TEST(Tcp, InterruptCheckEndsAConnect) {
  Fd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(::bind(server.get(), loopback(0).get(), loopback(0).len) == 0 && ::listen(server.get(), 0) == 0);
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    (void)::connect(fillers.back().get(), loopback(port_of(server)).get(), loopback(0).len);
  }
  static std::atomic<bool> interrupted;
  interrupted = false;
  const Usage before = usage();
  auto opening = run_async([url = url_of(port_of(server))] {
    InterruptScope scope([] { return interrupted.load(); });
    return transport::open(url);
  });
  std::this_thread::sleep_for(300ms);
  interrupted = true;
  ASSERT_EQ(opening.wait_for(30s), std::future_status::ready) << "connect hung";
  const auto t = opening.get();
  EXPECT_TRUE(!t.ok() && t.error().io_kind() == IoKind::Interrupted) << test::error_text(t);
  EXPECT_LE(usage().first, before.first);
}

// Remote clients cannot take every descriptor of the process: the listener
// leaves a reserve (a quarter of the limit, at least 64) to the rest of it,
// and accepts again once connections end. The clients are another process's.
TEST_F(TcpListener, LeavesDescriptorsToTheProcess) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const auto limit = static_cast<std::ptrdiff_t>(usage().first + 256);
  const rlimit tight{static_cast<rlim_t>(limit), old.rlim_max};
  const transport::SocketAddress to = listener->local_addr();
  std::ptrdiff_t held = -1;
  {
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { setrlimit(RLIMIT_NOFILE, &old); });
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < 300; ++i) (void)::connect(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), to.get(), to.len);
      for (;;) ::pause();
    }
    const std::shared_ptr<void> clients(nullptr, [pid](void*) { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); });
    // Counted once they stop changing (with none left to count them, usage() throws).
    for (int same = 0; same < 5; std::this_thread::sleep_for(100ms)) {
      same = usage().first == held ? same + 1 : (held = usage().first, 0);
    }
  }
  EXPECT_LE(held + 64, limit) << "descriptors open";
  Fd late = plain_connect(port());
  write_all(late.get(), "late");
  EXPECT_EQ(next_text(*listener), "late");
}

TEST(Tcp, OpenErrors) {
  const std::uint16_t closed_port = port_of(plain_bound(SOCK_STREAM));  // bound once, then released
  Fd busy = plain_bound(SOCK_STREAM);
  expect_open_errors({
      {url_of(closed_port), "Connection refused (os error 111)", IoKind::ConnectionRefused},
      {url_of(port_of(busy), "?listen"), "Address already in use (os error 98)", IoKind::AddrInUse},
      {"tcp://127.0.0.1:9?listen&peer=x", "tcp:// does not take the option(s) peer"},
  });  // Option words: Options.TakeBoolWords; addresses: Udp.OpenErrors (the same resolver).
}

}  // namespace
}  // namespace sigtap::nettest
