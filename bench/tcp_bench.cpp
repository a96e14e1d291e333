// Loopback TCP throughput: one tcp:// client streaming 1 GB to a tcp:// listener
// through raw channels, against two plain sockets doing the same.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/channel.hpp"
#include "core/transport/tcp.hpp"

namespace {

constexpr std::size_t kTotal = 1u << 30;
constexpr std::size_t kChunk = 65536;

void BM_TcpChannelStream(benchmark::State& state) {
  for (auto _ : state) {
    // Built by hand to learn the port the system chose.
    auto transport = sigtap::transport::Tcp::open(*sigtap::Endpoint::parse("tcp://127.0.0.1:0?listen"));
    auto codec = sigtap::codec::open("raw", {});
    if (!transport.ok() || !codec.ok()) {
      state.SkipWithError("cannot open the listener");
      return;
    }
    const std::string url = "tcp://127.0.0.1:" + std::to_string((*transport)->local_addr().port());
    std::optional<sigtap::Channel> listener;
    listener.emplace(std::make_shared<sigtap::Inner>(std::move(*transport), std::move(*codec)));
    std::thread sender([&] {
      auto client = sigtap::Channel::open(url, "raw", {});
      if (!client.ok()) return;
      sigtap::Message m;
      m.packet.emplace();
      m.packet->data.assign(kChunk, 0x5a);
      for (std::size_t sent = 0; sent < kTotal; sent += kChunk) {
        if (!client->send(m).ok()) break;
      }
      client->close();
    });
    std::size_t received = 0;
    while (received < kTotal) {
      auto got = listener->recv(sigtap::Duration::from_millis(10000));
      if (!got.ok() || !got->has_value()) break;
      received += (*got)->packet->data.size();
    }
    sender.join();
    listener->close();
    if (received != kTotal) state.SkipWithError("short stream");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_TcpChannelStream)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same stream between two plain sockets: 64 KiB writes, 64 KiB reads.
void BM_TcpPlainSockets(benchmark::State& state) {
  for (auto _ : state) {
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(lfd, 1);
    socklen_t len = sizeof sa;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
    std::thread sender([sa] {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        auto buf = std::make_unique<char[]>(kChunk);
        std::memset(buf.get(), 0x5a, kChunk);
        for (std::size_t sent = 0; sent < kTotal;) {
          ssize_t n = ::send(fd, buf.get(), kChunk, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<std::size_t>(n);
        }
      }
      ::close(fd);
    });
    int cfd = ::accept(lfd, nullptr, nullptr);
    auto buf = std::make_unique<char[]>(kChunk);
    std::size_t received = 0;
    for (;;) {
      ssize_t n = ::recv(cfd, buf.get(), kChunk, 0);
      if (n <= 0) break;
      received += static_cast<std::size_t>(n);
    }
    sender.join();
    ::close(cfd);
    ::close(lfd);
    if (received != kTotal) state.SkipWithError("short stream");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_TcpPlainSockets)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
