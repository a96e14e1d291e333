// Loopback TCP: one tcp:// client streaming 1 GB to a tcp:// listener through
// raw channels, against two plain sockets doing the same; and a listener
// under many clients (held in a child process, so that only the listener's
// own costs are counted): processor time per packet of its reader threads,
// how long one client's data waits behind another's, memory per connection.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
      m.packet->data = sigtap::Bytes(kChunk, 0x5a);
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

using sigtap::transport::Tcp;
using Micros = std::chrono::duration<double, std::micro>;

std::shared_ptr<Tcp> open_listener() {
  auto t = Tcp::open(*sigtap::Endpoint::parse("tcp://127.0.0.1:0?listen"));
  return t.ok() ? *t : nullptr;
}

int connect_to(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A child process with `n` connections to the listener. Flooding: each sends
// 16 KiB writes as fast as the listener takes them; otherwise each sends
// 64 KiB once and then sits idle. The constructor returns once every
// connection is made (and, idle, has sent); the child runs until destroyed.
class Clients {
 public:
  Clients(std::uint16_t port, int n, bool flood) {
    std::vector<pollfd> polls;  // allocated before the fork
    polls.reserve(static_cast<std::size_t>(n));
    static char data[65536];
    int ready[2];
    if (::pipe(ready) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ != 0) {
      char c;
      ::close(ready[1]);
      (void)::read(ready[0], &c, 1);
      ::close(ready[0]);
      return;
    }
    for (int i = 0; i < n; ++i) polls.push_back({connect_to(port), POLLOUT, 0});
    for (auto& p : polls) {
      if (!flood) (void)::send(p.fd, data, sizeof data, MSG_NOSIGNAL);
    }
    (void)::write(ready[1], "r", 1);
    while (!flood) ::pause();
    for (;;) {
      if (::poll(polls.data(), polls.size(), -1) <= 0) continue;
      for (auto& p : polls) {
        if (p.revents != 0 && ::send(p.fd, data, 16384, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) p.fd = -1;
      }
    }
  }
  ~Clients() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

// Processor time and context switches of the whole process, or of the
// calling thread.
struct Cpu {
  static Cpu of(int who) {
    rusage u{};
    getrusage(who, &u);
    auto secs = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return {secs(u.ru_utime) + secs(u.ru_stime), static_cast<double>(u.ru_nvcsw + u.ru_nivcsw)};
  }
  double seconds, switches;
};

void spin(Micros d) {
  for (const auto end = sigtap::Clock::now() + std::chrono::duration_cast<sigtap::Clock::duration>(d);
       sigtap::Clock::now() < end;) {
  }
}

// N flooding clients and an application that spends 50 us on every packet,
// so that the queue stays full: the listener's threads other than the
// receiving one (its readers), in processor time and context switches per
// packet received.
void BM_TcpReadersPerPacket(benchmark::State& state) {
  constexpr int kPackets = 20000;
  for (auto _ : state) {
    auto listener = open_listener();
    Clients clients(listener->local_addr().port(), static_cast<int>(state.range(0)), true);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the queue fills
    const Cpu process = Cpu::of(RUSAGE_SELF), own = Cpu::of(RUSAGE_THREAD);
    for (int i = 0; i < kPackets; ++i) {
      (void)listener->recv(sigtap::Duration::from_millis(10000));
      spin(Micros(50));
    }
    const Cpu process_after = Cpu::of(RUSAGE_SELF), own_after = Cpu::of(RUSAGE_THREAD);
    const double readers = (process_after.seconds - process.seconds) - (own_after.seconds - own.seconds);
    const double switches = (process_after.switches - process.switches) - (own_after.switches - own.switches);
    state.counters["readers_cpu_us_per_packet"] = readers * 1e6 / kPackets;
    state.counters["switches_per_packet"] = switches / kPackets;
    listener->close();
  }
}
BENCHMARK(BM_TcpReadersPerPacket)->Arg(1)->Arg(400)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One client floods while the application does not receive for a second;
// then a second client sends one byte. What the application receives of the
// first client before that byte, and how long it takes at 1 us per packet.
void BM_TcpOneClientAhead(benchmark::State& state) {
  for (auto _ : state) {
    auto listener = open_listener();
    Clients flood(listener->local_addr().port(), 1, true);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int other = connect_to(listener->local_addr().port());
    (void)::send(other, "x", 1, MSG_NOSIGNAL);
    const auto start = sigtap::Clock::now();
    double bytes = 0, packets = 0;
    for (;;) {
      auto got = listener->recv(sigtap::Duration::from_millis(10000));
      if (!got.ok() || !got->has_value() || (*got)->data.size() == 1) break;
      bytes += static_cast<double>((*got)->data.size());
      ++packets;
      spin(Micros(1));
    }
    state.counters["MiB_ahead"] = bytes / (1 << 20);
    state.counters["packets_ahead"] = packets;
    state.counters["ms_until_heard"] = std::chrono::duration<double, std::milli>(sigtap::Clock::now() - start).count();
    ::close(other);
    listener->close();
  }
}
BENCHMARK(BM_TcpOneClientAhead)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A field of /proc/self/status, in KiB.
double status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field)));
  }
  return 0;
}
double heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

// N clients each send 64 KiB once and sit idle, twice the queue's byte
// budget in all: the listener's memory beyond what its queue holds, per
// connection, while the readers wait for room, and once the application
// took everything (heap in use; resident and virtual size after giving
// free heap back to the system).
void BM_TcpMemoryPerConnection(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto listener = open_listener();
    malloc_trim(0);
    const double heap = heap_in_use(), rss = status_kib("VmRSS:"), vm = status_kib("VmSize:");
    Clients clients(listener->local_addr().port(), n, false);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // every reader has read or waits for room
    // Twice the budget was sent: the queue holds about its budget.
    const double held = heap_in_use() - heap - static_cast<double>(sigtap::Queue::kByteBudget);
    std::size_t received = 0;
    for (auto got = listener->recv(sigtap::Duration::from_millis(500)); got.ok() && got->has_value();
         got = listener->recv(sigtap::Duration::from_millis(500))) {
      received += (*got)->data.size();
    }
    malloc_trim(0);
    state.counters["waiting_heap_KiB_per_conn"] = held / 1024 / n;
    state.counters["idle_heap_KiB_per_conn"] = (heap_in_use() - heap) / 1024 / n;
    state.counters["idle_rss_KiB_per_conn"] = (status_kib("VmRSS:") - rss) / n;
    state.counters["idle_vm_KiB_per_conn"] = (status_kib("VmSize:") - vm) / n;
    state.counters["MiB_received"] = static_cast<double>(received) / (1 << 20);
    listener->close();
  }
}
BENCHMARK(BM_TcpMemoryPerConnection)->Arg(2048)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
