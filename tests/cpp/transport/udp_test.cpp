// udp:// against plain loopback sockets, and the host:port resolution it shares with tcp://.
#include "core/transport/udp.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "core/transport/fd.hpp"
#include "core/transport/resolve.hpp"

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

// A plain UDP socket on 127.0.0.1 with a system-chosen port.
class Peer {
 public:
  Peer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    timeval tv{5, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  std::uint16_t port() const { return SocketAddress::local_of(fd_.get())->port(); }
  void send_to(std::uint16_t port, const std::string& s) const {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    EXPECT_EQ(::sendto(fd_.get(), s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa),
              static_cast<ssize_t>(s.size()));
  }
  // The next datagram and the port it came from; nothing after `wait`.
  std::optional<std::pair<std::string, std::uint16_t>> receive(std::chrono::milliseconds wait = 5000ms) const {
    timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[70000];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    return std::make_pair(std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port));
  }

 private:
  Fd fd_;
};

std::shared_ptr<Udp> open_udp(const std::string& url) {
  auto t = transport::open(url);
  EXPECT_TRUE(t.ok()) << url << ": " << (t.ok() ? "" : t.error().fmt());
  return t.ok() ? std::dynamic_pointer_cast<Udp>(*t) : nullptr;
}

TEST(Udp, SenderTalksToItsTargetAndHearsReplies) {
  Peer peer;
  auto udp = open_udp("udp://127.0.0.1:" + std::to_string(peer.port()));
  ASSERT_TRUE(udp);
  std::uint16_t local = udp->local_addr()->port();
  ASSERT_TRUE(udp->send(packet("hello")).ok());
  auto got = peer.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->first, "hello");
  EXPECT_EQ(got->second, local);

  // Any sender reaches the sender's port; boundaries and empty datagrams survive.
  Peer other;
  other.send_to(local, "one");
  peer.send_to(local, "");
  peer.send_to(local, std::string(65507, 'z'));
  std::string expected[] = {"one", "", std::string(65507, 'z')};
  for (const auto& e : expected) {
    auto r = udp->recv(Duration::from_millis(5000));
    ASSERT_TRUE(r.ok() && r->has_value());
    EXPECT_EQ(text(**r), e);
    EXPECT_TRUE((*r)->timestamp.has_value());
    EXPECT_FALSE((*r)->source.has_value());
  }
  // A zero timeout still polls briefly, then reports nothing.
  auto none = udp->recv(Duration{});
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());

  // Too large for one datagram: the system's error, and the transport stays usable.
  auto big = udp->send(packet(std::string(70000, 'x')));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().fmt(), "Message too long (os error 90)");
  EXPECT_TRUE(udp->send(packet("still")).ok());
  EXPECT_EQ(peer.receive()->first, "still");
}

TEST(Udp, ListenerRepliesToTheLastSender) {
  auto udp = open_udp("udp://127.0.0.1:0?listen");
  ASSERT_TRUE(udp);
  std::uint16_t port = udp->local_addr()->port();
  auto early = udp->send(packet("nobody"));
  ASSERT_FALSE(early.ok());
  EXPECT_EQ(early.error().kind(), ErrorKind::InvalidPacket);
  EXPECT_EQ(early.error().fmt(),
            "invalid packet: no peer to send to yet: a udp listener replies to the last sender (or pass ?peer=)");

  Peer a, b;
  a.send_to(port, "from a");
  b.send_to(port, "from b");
  EXPECT_EQ(text(**udp->recv(Duration::from_millis(5000))), "from a");
  EXPECT_EQ(text(**udp->recv(Duration::from_millis(5000))), "from b");
  ASSERT_TRUE(udp->send(packet("reply")).ok());
  EXPECT_EQ(b.receive()->first, "reply");
  EXPECT_FALSE(a.receive(100ms));

  // Reopening the port while the closed transport still exists: in use.
  udp->close();
  auto again = transport::open("udp://127.0.0.1:" + std::to_string(port) + "?listen");
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().io_kind(), IoKind::AddrInUse);
}

TEST(Udp, PeerAndBindOptions) {
  Peer a, b;
  // A listener's `peer` holds until the first datagram; `bind` means nothing to it.
  auto listener = open_udp("udp://127.0.0.1:0?listen&bind=127.0.0.1:1&peer=127.0.0.1:" + std::to_string(a.port()));
  ASSERT_TRUE(listener);
  std::uint16_t port = listener->local_addr()->port();
  ASSERT_TRUE(listener->send(packet("first")).ok());
  EXPECT_EQ(a.receive()->first, "first");
  b.send_to(port, "hi");
  ASSERT_TRUE(listener->recv(Duration::from_millis(5000)).ok());
  ASSERT_TRUE(listener->send(packet("second")).ok());
  EXPECT_EQ(b.receive()->first, "second");

  // A sender's `bind` fixes the local address; its `peer` means nothing.
  auto sender = open_udp("udp://127.0.0.1:" + std::to_string(a.port()) + "?bind=127.0.0.1:0&peer=127.0.0.1:1");
  ASSERT_TRUE(sender);
  EXPECT_EQ(sender->local_addr()->to_string().rfind("127.0.0.1:", 0), 0u);
  ASSERT_TRUE(sender->send(packet("x")).ok());
  EXPECT_EQ(a.receive()->first, "x");
  // Without `bind`: any interface of the target's family.
  auto any = open_udp("udp://127.0.0.1:" + std::to_string(a.port()));
  EXPECT_EQ(any->local_addr()->to_string().rfind("0.0.0.0:", 0), 0u);
}

TEST(Udp, CloseReleasesABlockedReceiver) {
  auto udp = open_udp("udp://127.0.0.1:0?listen");
  ASSERT_TRUE(udp);
  auto blocked = run_async([udp] { return udp->recv(std::nullopt); });
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
  udp->close();
  ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
  auto r = blocked.get();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_closed());
  EXPECT_TRUE(udp->send(packet("x")).error().is_closed());
  udp->close();
}

void on_signal(int) {}

// A signal landing on the receiving thread (the interpreter's main thread,
// say) ends the current slice early; it is no I/O error.
TEST(Udp, SignalsDoNotFailAReceive) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;  // no SA_RESTART: the receive sees EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  auto udp = open_udp("udp://127.0.0.1:0?listen");
  ASSERT_TRUE(udp);
  std::promise<Result<std::optional<Packet>>> result;
  auto future = result.get_future();
  std::thread receiver([&] { result.set_value(udp->recv(Duration::from_millis(20000))); });
  for (int i = 0; i < 20; ++i) {
    pthread_kill(receiver.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(5ms);
  }
  Peer().send_to(udp->local_addr()->port(), "after signals");
  receiver.join();
  sigaction(SIGUSR1, &old, nullptr);
  auto r = future.get();
  ASSERT_TRUE(r.ok()) << r.error().fmt();
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ(text(**r), "after signals");
}

TEST(Udp, OpenErrors) {
  struct Case {
    std::string url;
    std::string text;
  } cases[] = {
      {"udp://127.0.0.1:9?listen=perhaps", "option listen: \"perhaps\" is not a boolean"},
      {"udp://127.0.0.1:9?zz=1&listen&aa", "udp:// does not take the option(s) aa, zz"},
      {"udp://127.0.0.1", "cannot resolve \"127.0.0.1\": invalid socket address"},
      {"udp://127.0.0.1:9?bind=nowhere", "cannot resolve \"nowhere\": invalid socket address"},
      {"udp://127.0.0.1:0?listen&peer=127.0.0.1:65536", "cannot resolve \"127.0.0.1:65536\": invalid port value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto t = transport::open(c.url);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().kind(), ErrorKind::Config);
    EXPECT_EQ(t.error().fmt(), c.text);
  }
}

TEST(Resolve, NumericFormsNeedNoLookup) {
  struct Case {
    std::string text;
    std::string address;
  } cases[] = {
      {"127.0.0.1:8080", "127.0.0.1:8080"},
      {"10.1.2.3:0", "10.1.2.3:0"},
      {"[::1]:9", "[::1]:9"},
      {"[fe80::1%3]:65535", "[fe80::1%3]:65535"},
      {"[::ffff:1.2.3.4]:7", "[::ffff:1.2.3.4]:7"},
      // Not a numeric socket address, but a numeric host and a "+" port.
      {"127.0.0.1:+80", "127.0.0.1:80"},
  };
  for (const auto& c : cases) {
    auto r = resolve(c.text);
    ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().fmt();
    EXPECT_EQ(r->to_string(), c.address) << c.text;
  }
  EXPECT_EQ(resolve("0.0.0.0:5")->reachable().to_string(), "127.0.0.1:5");
  EXPECT_EQ(resolve("[::]:5")->reachable().to_string(), "[::1]:5");
  EXPECT_EQ(resolve("10.0.0.1:5")->reachable().to_string(), "10.0.0.1:5");
}

TEST(Resolve, FailuresNameTheText) {
  // A label longer than 63 bytes cannot be put into a DNS query, so the
  // resolver fails without asking any server.
  std::string long_label(70, 'a');
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"nocolon", "cannot resolve \"nocolon\": invalid socket address"},
      {"", "cannot resolve \"\": invalid socket address"},
      {"host:70000", "cannot resolve \"host:70000\": invalid port value"},
      {"host:", "cannot resolve \"host:\": invalid port value"},
      {"host:+", "cannot resolve \"host:+\": invalid port value"},
      {"host:-1", "cannot resolve \"host:-1\": invalid port value"},
      {"host:8o", "cannot resolve \"host:8o\": invalid port value"},
      {"host: 80", "cannot resolve \"host: 80\": invalid port value"},
      {"[::1]", "cannot resolve \"[::1]\": invalid port value"},
      {std::string("a\0b:80", 6), "cannot resolve \"a\\0b:80\": file name contained an unexpected NUL byte"},
      {long_label + ":80", "cannot resolve \"" + long_label + ":80\": failed to lookup address information: "},
  };
  for (const auto& c : cases) {
    auto r = resolve(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().kind(), ErrorKind::Config);
    EXPECT_EQ(r.error().fmt().substr(0, c.message.size()), c.message);
    // The resolver's own text follows the prefix; the other texts are whole.
    if (c.message.back() != ' ') {
      EXPECT_EQ(r.error().fmt(), c.message);
    } else {
      EXPECT_GT(r.error().fmt().size(), c.message.size());
    }
  }
}

}  // namespace
