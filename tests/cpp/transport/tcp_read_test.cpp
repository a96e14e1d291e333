// tcp:// readers against plain loopback peers: urgent bytes, half-closed streams, descriptors they hold.
#include <sys/resource.h>
#include <sys/wait.h>

#include <ctime>
#include <fstream>
#include <set>

#include "core/transport/tcp.hpp"
#include "tests/cpp/transport/net_util.hpp"

namespace sigtap::nettest {
namespace {

using transport::Tcp;

// Threads of this process that are tcp:// readers.
std::ptrdiff_t readers() {
  std::ptrdiff_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    n += name == "sigtap-tcp-read";
  }
  return n;
}

// A transport, client or listener, connected to a plain socket that has
// been heard (so a listener has accepted it and sends reach it).
struct Connected {
  std::shared_ptr<Tcp> tcp;
  Fd peer;
};
Connected connected(bool listener) {
  Connected c;
  if (listener) {
    c.tcp = open_as<Tcp>("tcp://127.0.0.1:0?listen");
    if (!c.tcp) return c;
    c.peer = plain_connect(c.tcp->local_addr().port());
    write_all(c.peer.get(), "hi");
    EXPECT_EQ(next_text(*c.tcp), "hi");
  } else {
    Fd server = plain_bound(SOCK_STREAM);
    c.tcp = open_as<Tcp>("tcp://127.0.0.1:" + std::to_string(port_of(server)));
    c.peer = Fd(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  return c;
}

// Up to n bytes from the transport, fewer if it stays quiet for 10 s.
std::string received(Transport& t, std::size_t n) {
  std::string got;
  while (got.size() < n) {
    auto r = t.recv(kLong);
    if (!r.ok() || !r->has_value()) break;
    got += text(**r);
  }
  return got;
}

// An urgent byte (MSG_OOB) is not part of the stream, as a plain recv has
// it: what follows it arrives, the reader sleeps while nothing comes, and it
// ends with its peer's close or with the transport's.
TEST(TcpRead, UrgentByteIsLeftOutAndTheReaderSleeps) {
  for (bool listener : {false, true}) {
    for (bool peer_closes : {false, true}) {
      SCOPED_TRACE(std::string(listener ? "listener" : "client") + (peer_closes ? ", peer closes" : ", close"));
      const std::ptrdiff_t before = readers();
      Connected c = connected(listener);
      ASSERT_TRUE(c.tcp);
      write_all(c.peer.get(), "A");
      std::this_thread::sleep_for(100ms);  // read: the reader waits at the urgent mark to come
      ASSERT_EQ(::send(c.peer.get(), "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
      std::this_thread::sleep_for(100ms);
      write_all(c.peer.get(), "BCD");
      EXPECT_EQ(received(*c.tcp, 4), "ABCD");
      const std::clock_t start = std::clock();  // the whole process's processor time
      std::this_thread::sleep_for(1s);
      EXPECT_LT(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC, 0.5) << "seconds of processor time";
      if (peer_closes) {
        c.peer.reset();
      } else {
        c.tcp->close();
      }
      EXPECT_TRUE(test::eventually([&] { return readers() <= before; }, 30s)) << "the reader did not end";
      c.tcp->close();
    }
  }
}

// A peer that half-closes (shutdown(SHUT_WR)) still gets what is sent to
// it, from a listener as from a client: its stream ends, its reader thread
// with it, and the connection stays a send target until the transport closes.
TEST(TcpRead, HalfClosedPeersStillGetReplies) {
  for (bool listener : {false, true}) {
    SCOPED_TRACE(listener ? "listener" : "client");
    const std::ptrdiff_t before = readers();
    Connected c = connected(listener);
    ASSERT_TRUE(c.tcp);
    write_all(c.peer.get(), "request");
    ASSERT_EQ(::shutdown(c.peer.get(), SHUT_WR), 0);
    EXPECT_EQ(received(*c.tcp, 7), "request");
    if (!listener) {
      EXPECT_EQ(next_text(*c.tcp), "<the channel is closed>");
    }
    EXPECT_TRUE(test::eventually([&] { return readers() <= before; }, 30s)) << "the reader did not end";
    for (const char* reply : {"reply", "again"}) {
      EXPECT_TRUE(c.tcp->send(packet(reply)).ok());
      EXPECT_EQ(read_n(c.peer.get(), 5), reply);
    }
    c.tcp->close();
    EXPECT_TRUE(at_end(c.peer.get()));
  }
}

// A half-closed connection whose peer then goes away (here by a reset) is
// released without a send, like any failed connection.
TEST(TcpRead, HalfClosedConnectionGoesWithItsPeer) {
  Connected c = connected(true);
  ASSERT_TRUE(c.tcp);
  ASSERT_EQ(::shutdown(c.peer.get(), SHUT_WR), 0);
  const std::uint16_t peer_port = port_of(c.peer);
  std::this_thread::sleep_for(200ms);  // the reader has seen the end
  EXPECT_NE(socket_to(peer_port), -1) << "released at the half-close";
  const linger now{1, 0};
  setsockopt(c.peer.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
  c.peer.reset();
  EXPECT_TRUE(test::eventually([&] { return socket_to(peer_port) == -1; }, 30s)) << "kept after the reset";
}

// Half-closed connections cost the listener a descriptor each, but never
// its descriptor reserve: the oldest go first to make room for new clients.
// The clients are another process's; they half-close and never go away.
TEST(TcpRead, HalfClosedConnectionsMakeRoomForNewClients) {
  auto listener = open_as<Tcp>("tcp://127.0.0.1:0?listen");
  ASSERT_TRUE(listener);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const auto limit = static_cast<std::ptrdiff_t>(usage().first + 128);  // room for about 64 clients
  constexpr int kClients = 160;
  const transport::SocketAddress to = listener->local_addr();
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int i = 0; i < kClients; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (fd < 0 || ::connect(fd, to.get(), to.len) != 0 || ::send(fd, "x", 1, MSG_NOSIGNAL) != 1) ::_exit(1);
      ::shutdown(fd, SHUT_WR);
    }
    for (;;) ::pause();
  }
  const std::shared_ptr<void> clients(nullptr, [pid](void*) { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); });
  std::set<std::uint64_t> heard;
  std::ptrdiff_t most = 0;
  {
    const rlimit tight{static_cast<rlim_t>(limit), old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { setrlimit(RLIMIT_NOFILE, &old); });
    while (heard.size() < kClients) {
      auto r = listener->recv(kLong);
      if (!r.ok() || !r->has_value()) break;
      heard.insert((*r)->source.value_or(0));
      most = std::max(most, usage().first);
    }
  }
  EXPECT_EQ(heard.size(), std::size_t{kClients}) << "clients heard";
  EXPECT_LE(most + 48, limit) << "descriptors open (the reserve is 64)";
}

}  // namespace
}  // namespace sigtap::nettest
