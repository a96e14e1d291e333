// udp:// against plain loopback sockets, and the host:port resolution it shares with tcp://.
#include "core/transport/udp.hpp"

#include "tests/cpp/transport/net_util.hpp"

namespace sigtap::nettest {
namespace {

using transport::Udp;

void send_to(const Fd& from, std::uint16_t port, const std::string& s) {
  const auto to = loopback(port);
  EXPECT_EQ(::sendto(from.get(), s.data(), s.size(), 0, to.get(), to.len), static_cast<ssize_t>(s.size()));
}
// The next datagram on a plain socket and the port it came from; nothing after `wait_ms`.
std::optional<std::pair<std::string, std::uint16_t>> receive(const Fd& fd, int wait_ms = 10000) {
  pollfd p{fd.get(), POLLIN, 0};
  if (::poll(&p, 1, wait_ms) <= 0) return std::nullopt;
  std::string buf(70000, '\0');
  transport::SocketAddress from{{}, sizeof(sockaddr_storage)};
  buf.resize(static_cast<std::size_t>(::recvfrom(fd.get(), buf.data(), buf.size(), 0, from.get(), &from.len)));
  return std::make_pair(buf, from.port());
}

// Sends leave from the local address to the peer. Receives take whole
// datagrams from any sender, and a signal on the receiving thread (the
// interpreter's main thread, say) only ends a slice early.
TEST(Udp, AgainstPlainSockets) {
  Fd a = plain_bound(SOCK_DGRAM), b = plain_bound(SOCK_DGRAM);
  const std::string pa = std::to_string(port_of(a));
  const std::pair<std::string, const char*> cases[] = {
      {"udp://127.0.0.1:0?listen&bind=127.0.0.1:1&peer=127.0.0.1:" + pa, "127.0.0.1:"},  // bind means nothing here
      {"udp://127.0.0.1:" + pa + "?bind=127.0.0.1:0&peer=127.0.0.1:1", "127.0.0.1:"},  // nor peer here
      {"udp://127.0.0.1:" + pa, "0.0.0.0:"},  // any interface of the target's family
  };
  std::shared_ptr<Udp> udp;
  for (const auto& [url, local_prefix] : cases) {
    udp = open_as<Udp>(url);
    ASSERT_TRUE(udp);
    EXPECT_TRUE(udp->local_addr()->to_string().starts_with(local_prefix)) << udp->local_addr()->to_string();
    ASSERT_TRUE(udp->send(packet("hello")).ok());
    EXPECT_EQ(receive(a), std::make_pair(std::string("hello"), udp->local_addr()->port())) << url;
  }
  const std::uint16_t port = udp->local_addr()->port();
  std::string first;
  std::thread receiver([&] { first = next_text(*udp, Duration{20, 0}); });
  interrupt(receiver);
  send_to(b, port, "one");
  receiver.join();
  EXPECT_EQ(first, "one");
  const std::string big(65507, 'z');  // the largest IPv4 datagram
  send_to(a, port, "");
  send_to(a, port, big);
  for (const std::string& expected : {std::string(), big}) {
    auto r = udp->recv(kLong);
    ASSERT_TRUE(r.ok() && r->has_value() && (*r)->timestamp) << test::error_text(r);
    EXPECT_TRUE(text(**r) == expected) << (*r)->data.size();
  }
  EXPECT_EQ(next_text(*udp, Duration{}), "<nothing>");
  // Too large for one datagram: the system's error, and the transport stays usable.
  EXPECT_EQ(test::error_text(udp->send(packet(std::string(70000, 'x')))), "Message too long (os error 90)");
  ASSERT_TRUE(udp->send(packet("still")).ok());
  EXPECT_EQ(receive(a), std::make_pair(std::string("still"), port));
}

TEST(Udp, ListenerRepliesToTheLastSender) {
  auto udp = open_as<Udp>("udp://127.0.0.1:0?listen");
  ASSERT_TRUE(udp);
  const std::uint16_t port = udp->local_addr()->port();
  EXPECT_EQ(test::error_text(udp->send(packet("nobody"))),
            "invalid packet: no peer to send to yet: a udp listener replies to the last sender (or pass ?peer=)");
  Fd a = plain_bound(SOCK_DGRAM), b = plain_bound(SOCK_DGRAM);
  send_to(a, port, "from a");
  send_to(b, port, "from b");
  for (const char* from : {"from a", "from b"}) EXPECT_EQ(next_text(*udp), from);
  ASSERT_TRUE(udp->send(packet("reply")).ok());
  EXPECT_EQ(receive(b), std::make_pair(std::string("reply"), port));
  EXPECT_FALSE(receive(a, 100));
  udp->close();  // closed, it still holds its port until dropped
  EXPECT_EQ(test::error_text(transport::open("udp://127.0.0.1:" + std::to_string(port) + "?listen")),
            "Address already in use (os error 98)");
}

TEST(Udp, OpenErrors) {
  const std::string label(70, 'a');  // too long for a DNS query: fails without asking a server
  expect_open_errors({
      {"udp://127.0.0.1:9?zz=1&listen&aa", "udp:// does not take the option(s) aa, zz"},
      {"udp://127.0.0.1", "cannot resolve \"127.0.0.1\": invalid socket address"},
      {"udp://127.0.0.1:9?bind=nowhere", "cannot resolve \"nowhere\": invalid socket address"},
      {"udp://127.0.0.1:0?listen&peer=127.0.0.1:65536", "cannot resolve \"127.0.0.1:65536\": invalid port value"},
      {"udp://host:70000", "cannot resolve \"host:70000\": invalid port value"},
      {"udp://host:+", "cannot resolve \"host:+\": invalid port value"},
      {"udp://" + std::string("a\0b:80", 6),
       "cannot resolve \"a\\0b:80\": file name contained an unexpected NUL byte"},
      {"udp://" + label + ":80", "cannot resolve \"" + label + ":80\": failed to lookup address information: "},
  });
}

// Numeric forms need no lookup; reachable() turns "any" into the loopback host.
TEST(UdpResolve, NumericForms) {
  for (const auto& [address, reachable] : std::vector<std::pair<std::string, std::string>>{
           {"[::1]:9", "[::1]:9"},           {"[fe80::1%3]:65535", "[fe80::1%3]:65535"}, {"0.0.0.0:5", "127.0.0.1:5"},
           {"127.0.0.1:+80", "127.0.0.1:80"}, {"[::ffff:1.2.3.4]:7", "[::ffff:1.2.3.4]:7"}, {"[::]:5", "[::1]:5"}}) {
    auto r = transport::resolve(address);
    EXPECT_EQ(r.ok() ? r->reachable().to_string() : test::error_text(r), reachable);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Udp, CloseWhileBlocked,
    ::testing::Values(BlockedCase{"listener", [] { return Blocked{open_as("udp://127.0.0.1:0?listen")}; }}), case_name);

}  // namespace
}  // namespace sigtap::nettest
