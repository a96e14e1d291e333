// Helpers of the transport tests: plain loopback peers, descriptor and thread counts, signals, blocked calls.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cstring>

#include "core/fd.hpp"
#include "core/transport/resolve.hpp"
#include "tests/cpp/test_util.hpp"

namespace sigtap::nettest {

using namespace std::chrono_literals;
using sigtap::Fd;

inline Packet packet(const std::string& s) { return Packet{{s.begin(), s.end()}, {}, {}, {}}; }
inline std::string text(const Packet& p) { return {p.data.begin(), p.data.end()}; }
constexpr Duration kLong{10, 0};  // a receive that only times out when something is broken

// The next packet's text; "<nothing>" when the time passed, "<TEXT>" for an error.
inline std::string next_text(Transport& t, std::optional<Duration> timeout = kLong) {
  auto r = t.recv(timeout);
  if (!r.ok()) return "<" + r.error().fmt() + ">";
  return r->has_value() ? text(**r) : "<nothing>";
}

// Opens a transport that must open; null (and a failure) otherwise.
template <class T = Transport> std::shared_ptr<T> open_as(const std::string& url) {
  auto t = transport::open(url);
  EXPECT_TRUE(t.ok()) << url << ": " << test::error_text(t);
  return t.ok() ? std::dynamic_pointer_cast<T>(*t) : nullptr;
}

// Runs f on a detached thread, so a call that hangs fails the test instead of freezing it.
template <class F> auto run_async(F f) {
  auto promise = std::make_shared<std::promise<decltype(f())>>();
  auto future = promise->get_future();
  std::thread([promise, f = std::move(f)]() mutable { promise->set_value(f()); }).detach();
  return future;
}

inline transport::SocketAddress loopback(std::uint16_t port) {
  return *transport::resolve("127.0.0.1:" + std::to_string(port));
}
inline std::uint16_t port_of(const Fd& fd) { return transport::SocketAddress::local_of(fd.get())->port(); }
// A plain socket on 127.0.0.1 with a system-chosen port; a stream one listens.
inline Fd plain_bound(int type) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::bind(fd.get(), loopback(0).get(), loopback(0).len), 0);
  EXPECT_TRUE(type != SOCK_STREAM || ::listen(fd.get(), 16) == 0);
  return fd;
}
// A small receive buffer (set before connecting, so the window stays small)
// makes a peer that never reads stall its sender quickly.
inline Fd plain_connect(std::uint16_t port, int rcvbuf = 0) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (rcvbuf > 0) setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  EXPECT_EQ(::connect(fd.get(), loopback(port).get(), loopback(port).len), 0) << std::strerror(errno);
  return fd;
}
// A blocking send takes everything unless a signal interrupts it.
inline void write_all(int fd, const std::string& s) {
  EXPECT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())) << std::strerror(errno);
}
// A descriptor of this process whose socket is connected to this port on
// 127.0.0.1 (a transport's own socket, say); -1 if there is none.
inline int socket_to(std::uint16_t port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}
// Up to n bytes: fewer when the stream ends or stays quiet for 10 s.
inline std::string read_n(int fd, std::size_t n) {
  std::string out, buf(65536, '\0');
  for (pollfd p{fd, POLLIN, 0}; out.size() < n && ::poll(&p, 1, 10000) > 0;) {
    ssize_t got = ::recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, 0, static_cast<std::size_t>(got));
  }
  return out;
}
// True once the other end ended the stream or reset it (within 10 s).
inline bool at_end(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return ::poll(&p, 1, 10000) == 1 && ::recv(fd, &c, 1, 0) <= 0;
}

using Usage = std::pair<std::ptrdiff_t, std::ptrdiff_t>;  // open descriptors, threads
inline Usage usage() {
  using It = std::filesystem::directory_iterator;
  return {std::distance(It("/proc/self/fd"), {}), std::distance(It("/proc/self/task"), {})};
}
// The counts to come back to: the first thread the process starts may bring a
// sanitizer's helper thread along, so one is started before counting.
inline Usage baseline() { return std::thread([] {}).join(), usage(); }
// Detached threads end a little after their work: waits (generously) for
// the process's descriptors and threads to come back down to `u`.
inline bool settles_to(Usage u) {
  return test::eventually([&] { return usage().first <= u.first && usage().second <= u.second; }, 60s);
}

// Interrupts the thread's blocking calls twenty times: the handler is
// installed without SA_RESTART, so they fail with EINTR.
inline void interrupt(std::thread& t) {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigaction(SIGUSR1, &sa, nullptr);
  for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(5ms)) pthread_kill(t.native_handle(), SIGUSR1);
}

// The URL fails to open with exactly this text (a text ending in ": " is
// followed by the system's own reason), as an Io error of this kind or, for
// IoKind::Other, as a Config error.
struct OpenError {
  std::string url, message;
  IoKind io_kind = IoKind::Other;
};
inline void expect_open_errors(const std::vector<OpenError>& cases) {
  for (const auto& [url, message, io_kind] : cases) {
    auto opening = run_async([url] { return transport::open(url); });
    ASSERT_EQ(opening.wait_for(30s), std::future_status::ready) << url << ": open hung";
    auto t = opening.get();
    ASSERT_FALSE(t.ok()) << url;
    const auto kind = io_kind == IoKind::Other ? ErrorKind::Config : ErrorKind::Io;
    EXPECT_TRUE(t.error().kind() == kind && t.error().io_kind() == io_kind) << url;
    const std::string got = t.error().fmt();
    EXPECT_TRUE(got == message || (message.ends_with(": ") && got.starts_with(message) && got != message)) << got;
  }
}

// A transport, what keeps its peer alive, and whether it blocks in send (a
// peer that never reads) rather than in recv. Every transport instantiates
// CloseWhileBlocked with its cases; the test itself is in tcp_test.cpp.
struct Blocked {
  TransportPtr transport;
  std::shared_ptr<void> keep = nullptr;
  bool sends = false;
};
using BlockedCase = std::pair<const char*, std::function<Blocked()>>;
class CloseWhileBlocked : public ::testing::TestWithParam<BlockedCase> {};
inline std::string case_name(const ::testing::TestParamInfo<BlockedCase>& info) { return info.param.first; }

}  // namespace sigtap::nettest
