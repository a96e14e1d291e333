// tcp:// against plain loopback sockets: streams, sources, close, stalls, leaks.
#include "core/transport/tcp.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/transport/fd.hpp"

using namespace sigtap;
using namespace sigtap::transport;
using namespace std::chrono_literals;

namespace {

template <class F>
auto run_async(F f) {
  using R = decltype(f());
  auto promise = std::make_shared<std::promise<R>>();
  auto future = promise->get_future();
  std::thread([promise, f = std::move(f)]() mutable { promise->set_value(f()); }).detach();
  return future;
}

Packet packet(const std::string& s) {
  Packet p;
  p.data.assign(s.begin(), s.end());
  return p;
}
std::string text(const Packet& p) { return {p.data.begin(), p.data.end()}; }

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// A blocking client socket connected to 127.0.0.1:port. A small receive
// buffer (set before connecting, so the window stays small) makes a client
// that never reads stall its sender quickly.
Fd plain_connect(std::uint16_t port, int rcvbuf = 0) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (rcvbuf > 0) setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa = loopback(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << strerror(errno);
  return fd;
}

// A plain listening socket on 127.0.0.1 with a system-chosen port.
struct PlainServer {
  PlainServer() : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa = loopback(0);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(fd.get(), 16), 0);
    port = SocketAddress::local_of(fd.get())->port();
  }
  Fd accept(int rcvbuf = 0) const {
    Fd c(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (rcvbuf > 0) setsockopt(c.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    return c;
  }
  std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port); }
  Fd fd;
  std::uint16_t port;
};

void write_all(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << strerror(errno);
    off += static_cast<std::size_t>(n);
  }
}

// Reads exactly n bytes (or less when the stream ends or 10 s pass quietly).
std::string read_n(int fd, std::size_t n) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

// Collects at least n bytes from the transport, per source.
std::map<std::uint64_t, std::string> receive_bytes(Transport& t, std::size_t n) {
  std::map<std::uint64_t, std::string> out;
  std::size_t total = 0;
  while (total < n) {
    auto r = t.recv(Duration::from_millis(10000));
    if (!r.ok() || !r->has_value()) break;
    out[(*r)->source.value_or(0)] += text(**r);
    total += (*r)->data.size();
  }
  return out;
}

std::shared_ptr<Tcp> open_tcp(const std::string& url) {
  auto t = transport::open(url);
  EXPECT_TRUE(t.ok()) << url << ": " << (t.ok() ? "" : t.error().fmt());
  return t.ok() ? std::dynamic_pointer_cast<Tcp>(*t) : nullptr;
}

std::size_t count_entries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}
std::size_t open_fds() { return count_entries("/proc/self/fd"); }
std::size_t threads() { return count_entries("/proc/self/task"); }

// Detached reader threads end a little after their connection: wait for
// the counts to settle (generously, sanitizers are slow).
bool settles_to(std::size_t fds, std::size_t tasks, std::chrono::seconds limit = 60s) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (open_fds() <= fds && threads() <= tasks) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST(Tcp, ClientAgainstAPlainServer) {
  PlainServer server;
  auto client = open_tcp(server.url());
  ASSERT_TRUE(client);
  Fd peer = server.accept();
  EXPECT_EQ(client->local_addr().to_string().rfind("127.0.0.1:", 0), 0u);

  ASSERT_TRUE(client->send(packet("hello")).ok());
  ASSERT_TRUE(client->send(packet("")).ok());
  EXPECT_EQ(read_n(peer.get(), 5), "hello");

  write_all(peer.get(), "world");
  auto got = client->recv(Duration::from_millis(10000));
  ASSERT_TRUE(got.ok() && got->has_value());
  EXPECT_EQ(text(**got), "world");
  ASSERT_TRUE((*got)->source.has_value());
  EXPECT_GE(*(*got)->source, 1u);
  EXPECT_TRUE((*got)->timestamp.has_value());

  // The server goes away: what it sent before comes first, then the end.
  write_all(peer.get(), "bye");
  peer.reset();
  auto rest = receive_bytes(*client, 3);
  EXPECT_EQ(rest[*(*got)->source], "bye");
  auto end = client->recv(Duration::from_millis(10000));
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(end.error().fmt(), "the channel is closed");
  // Sends go to the dead connection until the system reports it gone.
  Result<void> sent;
  auto until = std::chrono::steady_clock::now() + 10s;
  while ((sent = client->send(packet("x"))).ok() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind(), ErrorKind::Io) << sent.error().fmt();
  client->close();
  EXPECT_TRUE(client->send(packet("x")).error().is_closed());
}

TEST(Tcp, ListenerServesEveryClient) {
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  EXPECT_NE(listener->local_addr().port(), 0);
  // Nobody connected: sends go nowhere and succeed.
  EXPECT_TRUE(listener->send(packet("void")).ok());

  Fd a = plain_connect(listener->local_addr().port());
  write_all(a.get(), "from a");
  auto first = receive_bytes(*listener, 6);
  ASSERT_EQ(first.size(), 1u);
  std::uint64_t source_a = first.begin()->first;
  EXPECT_EQ(first.begin()->second, "from a");

  Fd b = plain_connect(listener->local_addr().port());
  write_all(b.get(), "from b");
  write_all(a.get(), "again a");
  auto second = receive_bytes(*listener, 13);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[source_a], "again a");
  // Numbers keep increasing across connections (and transports) of the process.
  EXPECT_GT(second.rbegin()->first, source_a);
  EXPECT_EQ(second.rbegin()->second, "from b");

  ASSERT_TRUE(listener->send(packet("to all")).ok());
  ASSERT_TRUE(listener->send(packet("")).ok());
  EXPECT_EQ(read_n(a.get(), 6), "to all");
  EXPECT_EQ(read_n(b.get(), 6), "to all");

  // A client that left is dropped; the others keep getting every packet.
  a.reset();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(listener->send(packet("tick")).ok());
    std::this_thread::sleep_for(2ms);
  }
  std::string ticks;
  for (int i = 0; i < 20; ++i) ticks += "tick";
  EXPECT_EQ(read_n(b.get(), ticks.size()), ticks);

  listener->close();
  EXPECT_EQ(read_n(b.get(), 1), "");  // the listener ended the stream
  EXPECT_TRUE(listener->recv(Duration{}).error().is_closed());
  EXPECT_TRUE(listener->send(packet("x")).error().is_closed());
}

// Every receiver blocked without a timeout is released by close.
TEST(Tcp, CloseReleasesBlockedReceivers) {
  PlainServer server;
  auto client = open_tcp(server.url());
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(client && listener);
  Fd peer = server.accept();
  Fd listener_peer = plain_connect(listener->local_addr().port());
  for (const auto& t : {client, listener}) {
    auto blocked = run_async([t] { return t->recv(std::nullopt); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
    auto closing = run_async([t] {
      t->close();
      return true;
    });
    ASSERT_EQ(closing.wait_for(10s), std::future_status::ready) << "close hung";
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready) << "receiver not released";
    EXPECT_TRUE(blocked.get().error().is_closed());
  }
  // The peers see the end of their streams.
  EXPECT_EQ(read_n(peer.get(), 1), "");
  EXPECT_EQ(read_n(listener_peer.get(), 1), "");
}

// One client that never reads must cost the others at most one stall limit,
// and must never keep close waiting.
TEST(Tcp, StalledClientIsDroppedWithoutHoldingUpOthers) {
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  std::uint16_t port = listener->local_addr().port();
  Fd stalled = plain_connect(port, 4096);
  Fd healthy = plain_connect(port);
  write_all(stalled.get(), "s");
  write_all(healthy.get(), "h");
  ASSERT_EQ(receive_bytes(*listener, 2).size(), 2u);  // both are in the list now

  constexpr int kPackets = 256;
  constexpr std::size_t kSize = 65536;
  auto reader = std::async(std::launch::async, [&] { return read_n(healthy.get(), kPackets * kSize); });
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kPackets; ++i) {
    Packet p;
    p.data.assign(kSize, static_cast<std::uint8_t>(i));
    ASSERT_TRUE(listener->send(p).ok());
  }
  // Roughly one stall limit, not one per packet.
  EXPECT_LT(std::chrono::steady_clock::now() - started, Tcp::kStallLimit * 4);
  std::string got = reader.get();
  ASSERT_EQ(got.size(), kPackets * kSize);
  for (int i = 0; i < kPackets; ++i) ASSERT_EQ(static_cast<std::uint8_t>(got[i * kSize]), i) << i;
  // The stalled client was dropped: after what was buffered, its stream ends.
  std::string rest;
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(stalled.get(), buf, sizeof buf, 0)) > 0) rest.append(buf, static_cast<std::size_t>(n));
  EXPECT_LT(rest.size(), kPackets * kSize);
}

TEST(Tcp, CloseInterruptsABlockedSend) {
  // A listener writing to a client that never reads...
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  Fd stalled = plain_connect(listener->local_addr().port(), 4096);
  write_all(stalled.get(), "s");
  ASSERT_EQ(receive_bytes(*listener, 1).size(), 1u);
  // ...and a client writing to a server that never reads.
  PlainServer server;
  auto client = open_tcp(server.url());
  ASSERT_TRUE(client);
  Fd silent = server.accept(4096);

  for (const auto& t : {listener, client}) {
    auto sending = run_async([t] {
      Packet p;
      p.data.assign(65536, 7);
      for (int i = 0; i < 100000; ++i) {
        if (auto s = t->send(p); !s.ok()) return std::move(s).error().fmt();
      }
      return std::string("never blocked");
    });
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(sending.wait_for(0s), std::future_status::timeout);
    auto started = std::chrono::steady_clock::now();
    t->close();
    // Well below the listener's stall limit: close does not wait for the send.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    ASSERT_EQ(sending.wait_for(10s), std::future_status::ready) << "send not interrupted";
    EXPECT_NE(sending.get(), "never blocked");
  }
}

void on_signal(int) {}

// Signals on the sending thread (the interpreter's main thread, say) must not
// break a send that is waiting for the peer.
TEST(Tcp, SignalsDoNotFailABlockedSend) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;  // no SA_RESTART
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  PlainServer server;
  auto client = open_tcp(server.url());
  ASSERT_TRUE(client);
  Fd peer = server.accept();

  constexpr int kPackets = 200;
  std::promise<std::string> result;
  auto future = result.get_future();
  std::thread sender([&] {
    Packet p;
    p.data.assign(65536, 1);
    for (int i = 0; i < kPackets; ++i) {
      if (auto s = client->send(p); !s.ok()) return result.set_value(s.error().fmt());
    }
    result.set_value("ok");
  });
  std::this_thread::sleep_for(200ms);
  for (int i = 0; i < 20; ++i) {
    pthread_kill(sender.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(read_n(peer.get(), kPackets * 65536u).size(), kPackets * 65536u);
  sender.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(future.get(), "ok");
}

// Clients come and go (cleanly, mid-packet, by reset, silently) while the
// listener never sends: their sockets and reader threads must all go away.
TEST(Tcp, ListenerOutlivesAThousandClientsWithoutLeaks) {
  std::size_t fds_before = open_fds(), threads_before = threads();
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  std::uint16_t port = listener->local_addr().port();
  std::atomic<std::size_t> received{0};
  auto drain = std::async(std::launch::async, [&] {
    for (;;) {
      auto r = listener->recv(std::nullopt);
      if (!r.ok()) return r.error().is_closed();
      if (r->has_value()) received += (*r)->data.size();
    }
  });
  std::this_thread::sleep_for(50ms);  // the drain thread is up
  std::size_t fds_open = open_fds(), threads_open = threads();

  constexpr int kClients = 1000;
  constexpr int kWorkers = 8;
  std::atomic<std::size_t> reliable{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = w; i < kClients; i += kWorkers) {
        Fd c = plain_connect(port);
        std::string msg = "client " + std::to_string(i) + " says hello";
        switch (i % 4) {
          case 0:  // a whole message, then a clean close
            write_all(c.get(), msg);
            reliable += msg.size();
            break;
          case 1:  // half a message, then gone
            write_all(c.get(), msg.substr(0, msg.size() / 2));
            reliable += msg.size() / 2;
            break;
          case 2: {  // reset: the data may or may not arrive
            linger l{1, 0};
            setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            write_all(c.get(), msg);
            break;
          }
          default:  // connects and leaves without a word
            break;
        }
      }
    });
  }
  for (auto& w : workers) w.join();

  auto until = std::chrono::steady_clock::now() + 60s;
  while (received.load() < reliable.load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(received.load(), reliable.load());
  EXPECT_TRUE(settles_to(fds_open, threads_open))
      << "fds " << open_fds() << " (expected " << fds_open << "), threads " << threads() << " (expected "
      << threads_open << ")";
  // The listener still serves new clients.
  Fd late = plain_connect(port);
  write_all(late.get(), "late");
  late.reset();

  listener->close();
  ASSERT_EQ(drain.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(drain.get());
  listener.reset();
  EXPECT_TRUE(settles_to(fds_before, threads_before))
      << "fds " << open_fds() << " (expected " << fds_before << "), threads " << threads() << " (expected "
      << threads_before << ")";
}

// Clients connecting while the listener closes: none may be left behind.
TEST(Tcp, CloseDuringConnectsLeavesNothingBehind) {
  std::size_t fds_before = open_fds(), threads_before = threads();
  for (int round = 0; round < 20; ++round) {
    auto listener = open_tcp("tcp://127.0.0.1:0?listen");
    ASSERT_TRUE(listener);
    std::uint16_t port = listener->local_addr().port();
    std::atomic<bool> stop{false};
    std::thread connector([&] {
      while (!stop) {
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa = loopback(port);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) break;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    listener->close();
    stop = true;
    connector.join();
  }
  EXPECT_TRUE(settles_to(fds_before, threads_before))
      << "fds " << open_fds() << " (expected " << fds_before << "), threads " << threads() << " (expected "
      << threads_before << ")";
}

TEST(Tcp, DroppingAListenerClosesIt) {
  std::size_t threads_before = threads();
  std::uint16_t port;
  {
    auto listener = open_tcp("tcp://127.0.0.1:0?listen");
    ASSERT_TRUE(listener);
    port = listener->local_addr().port();
  }
  EXPECT_TRUE(settles_to(open_fds(), threads_before));
  // The accept thread closed the listening socket: nobody answers any more.
  auto refused = transport::open("tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().io_kind(), IoKind::ConnectionRefused);
}

// Read through a descriptor opened beforehand: with descriptors exhausted,
// the file could not be opened when it matters.
std::uint64_t cpu_ticks(int stat_fd) {
  char buf[1024];
  ssize_t n = ::pread(stat_fd, buf, sizeof buf - 1, 0);
  std::string stat(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  // Fields 14 and 15 (user and system time) follow the name in parentheses.
  std::size_t pos = stat.rfind(')');
  if (pos == std::string::npos) return 0;
  unsigned long long utime = 0, stime = 0;
  std::sscanf(stat.c_str() + pos + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
  return utime + stime;
}

// Out of descriptors, accept fails while the connection stays pending: the
// accept thread must pause between attempts, not spin, and recover after.
TEST(Tcp, AcceptFailuresDoNotSpin) {
  auto listener = open_tcp("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  // The thread names itself once it runs.
  std::string accept_tid;
  for (int attempt = 0; attempt < 500 && accept_tid.empty(); ++attempt) {
    if (DIR* d = opendir("/proc/self/task")) {
      while (dirent* e = readdir(d)) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "sigtap-tcp-acce") accept_tid = e->d_name;
      }
      closedir(d);
    }
    if (accept_tid.empty()) std::this_thread::sleep_for(10ms);
  }
  ASSERT_FALSE(accept_tid.empty());
  Fd stat(::open(("/proc/self/task/" + accept_tid + "/stat").c_str(), O_RDONLY | O_CLOEXEC));

  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // The lowest free descriptor number becomes the limit: every new one fails.
  Fd probe(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(probe.valid());
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(probe.get());
  probe.reset();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in sa = loopback(listener->local_addr().port());
  int rc = ::connect(client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  std::uint64_t before = cpu_ticks(stat.get());
  std::this_thread::sleep_for(1s);
  std::uint64_t spent = cpu_ticks(stat.get()) - before;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_EQ(rc, 0);
  EXPECT_LT(spent, 30u) << "accept thread used " << spent << " ticks of 100";

  write_all(client.get(), "finally");
  auto got = receive_bytes(*listener, 7);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got.begin()->second, "finally");
}

TEST(Tcp, OpenErrors) {
  // A port nobody listens on: bound once, then released.
  std::uint16_t closed_port;
  {
    PlainServer gone;
    closed_port = gone.port;
  }
  PlainServer busy;
  struct Case {
    std::string url;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {"tcp://127.0.0.1:" + std::to_string(closed_port), ErrorKind::Io, "Connection refused (os error 111)"},
      {"tcp://127.0.0.1:" + std::to_string(busy.port) + "?listen", ErrorKind::Io,
       "Address already in use (os error 98)"},
      {"tcp://127.0.0.1:9?listen=sometimes", ErrorKind::Config, "option listen: \"sometimes\" is not a boolean"},
      {"tcp://127.0.0.1:9?listen&peer=x", ErrorKind::Config, "tcp:// does not take the option(s) peer"},
      {"tcp://127.0.0.1", ErrorKind::Config, "cannot resolve \"127.0.0.1\": invalid socket address"},
      {"tcp://127.0.0.1:123456", ErrorKind::Config, "cannot resolve \"127.0.0.1:123456\": invalid port value"},
      // The SocketCAN scheme is known but not built: always the same pointer to mem://.
      {"can://vcan0", ErrorKind::Config, "can:// (SocketCAN) is only available on Linux; mem:// works everywhere"},
      {"can://", ErrorKind::Config, "can:// (SocketCAN) is only available on Linux; mem:// works everywhere"},
      {"Can://x?filter=0x100:0x700&echo&nonsense=1", ErrorKind::Config,
       "can:// (SocketCAN) is only available on Linux; mem:// works everywhere"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto t = run_async([url = c.url] { return transport::open(url); });
    ASSERT_EQ(t.wait_for(30s), std::future_status::ready) << "open hung";
    auto r = t.get();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().fmt(), c.text);
  }
}

}  // namespace
