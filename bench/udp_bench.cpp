// udp:// datagram rate: a sender channel blasting 64-byte packets at a
// listener channel over loopback; reports datagrams/s received and the loss.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/channel.hpp"
#include "core/codec/codec.hpp"
#include "core/endpoint.hpp"
#include "core/transport/udp.hpp"

namespace {

// Args: datagrams per burst, and a pause (µs) every 64 datagrams (0 = flat out).
void BM_UdpDatagrams64(benchmark::State& state) {
  const auto burst = static_cast<std::size_t>(state.range(0));
  const auto pause = std::chrono::microseconds(state.range(1));
  auto transport = sigtap::transport::Udp::open(*sigtap::Endpoint::parse("udp://127.0.0.1:0?listen"));
  auto codec = sigtap::codec::open("raw", {});
  if (!transport.ok() || !codec.ok()) {
    state.SkipWithError("cannot open the listener");
    return;
  }
  const std::string url = "udp://127.0.0.1:" + std::to_string((*transport)->local_addr()->port());
  sigtap::Channel listener(std::make_shared<sigtap::Inner>(std::move(*transport), std::move(*codec)));
  auto sender = sigtap::Channel::open(url, "raw", {});
  if (!sender.ok()) {
    state.SkipWithError(sender.error().fmt().c_str());
    return;
  }
  sigtap::Message m;
  m.packet.emplace();
  m.packet->data = sigtap::Bytes(64, 0x42);

  std::size_t sent_total = 0, received_total = 0;
  for (auto _ : state) {
    std::atomic<std::size_t> sent{0};
    std::thread blaster([&] {
      for (std::size_t i = 0; i < burst; ++i) {
        if (sender->send(m).ok()) ++sent;
        if (pause.count() > 0 && i % 64 == 63) std::this_thread::sleep_for(pause);
      }
    });
    std::size_t received = 0;
    // The burst is over once the listener hears nothing for 100 ms.
    for (;;) {
      auto got = listener.recv(sigtap::Duration::from_millis(100));
      if (!got.ok() || !got->has_value()) break;
      ++received;
    }
    blaster.join();
    sent_total += sent;
    received_total += received;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(received_total));
  state.counters["sent"] = static_cast<double>(sent_total);
  state.counters["loss_%"] =
      sent_total ? 100.0 * static_cast<double>(sent_total - received_total) / static_cast<double>(sent_total) : 0.0;
  state.counters["received_per_s"] =
      benchmark::Counter(static_cast<double>(received_total), benchmark::Counter::kIsRate);
  sender->close();
  listener.close();
}
BENCHMARK(BM_UdpDatagrams64)->Args({200000, 0})->Args({200000, 50})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
