// The mem:// transport: hubs by name, one port per endpoint, fan-out outside the hub lock.
#include "core/transport/mem.hpp"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/queue.hpp"
#include "core/transport/builtin.hpp"
#include "core/transport/can_frame.hpp"

namespace sigtap {
namespace mem {

struct Port {
  explicit Port(std::vector<can_frame::Filter> f) : filters(std::move(f)) {}

  // Empty: every frame passes.
  const std::vector<can_frame::Filter> filters;
  Queue queue;

  bool accepts(const Packet& packet) const {
    if (!packet.can || filters.empty()) return true;
    for (const can_frame::Filter& f : filters) {
      if (f.matches(*packet.can)) return true;
    }
    return false;
  }
};

struct Hub {
  std::mutex mutex;
  // Weak so that a port lives exactly as long as its endpoint; dead entries
  // are pruned by the next send.
  std::vector<std::weak_ptr<Port>> ports;
};

namespace {

struct HubTable {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Hub>, std::less<>> hubs;
};

// Allocated once and never destroyed: channels may still be opened and
// dropped by other threads while static destructors run.
HubTable& hub_table() {
  static auto* table = new HubTable;
  return *table;
}

std::shared_ptr<Hub> hub(const std::string& name) {
  HubTable& table = hub_table();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.hubs, [](const auto& entry) { return entry.second.expired(); });
  auto [it, inserted] = table.hubs.try_emplace(name);
  if (!inserted) {
    if (auto live = it->second.lock()) return live;
  }
  auto fresh = std::make_shared<Hub>();
  it->second = fresh;
  return fresh;
}

}  // namespace
}  // namespace mem

Mem::Mem(std::shared_ptr<mem::Hub> hub, std::shared_ptr<mem::Port> port, bool echo)
    : hub_(std::move(hub)), port_(std::move(port)), echo_(echo) {}

Result<TransportPtr> Mem::open(Endpoint endpoint) {
  Options& options = endpoint.options;
  SIGTAP_ASSIGN_OR_RETURN(bool echo, options.take_bool("echo", false));
  SIGTAP_ASSIGN_OR_RETURN(std::optional<std::string> filter_text, options.take_str("filter"));
  std::vector<can_frame::Filter> filters;
  if (filter_text) {
    SIGTAP_ASSIGN_OR_RETURN(filters, can_frame::Filter::parse_list(*filter_text));
  }
  SIGTAP_TRY(options.finish("mem://"));

  std::shared_ptr<mem::Hub> hub = mem::hub(endpoint.address);  // releases the table lock first
  auto port = std::make_shared<mem::Port>(std::move(filters));
  {
    std::lock_guard lock(hub->mutex);
    hub->ports.push_back(port);
  }
  return TransportPtr(new Mem(std::move(hub), std::move(port), echo));
}

Status Mem::send(const Packet& packet) {
  if (packet.can) SIGTAP_TRY(can_frame::check_frame(*packet.can, packet.data.size()));
  const double timestamp = wall_clock_timestamp();

  // The snapshot vector is reused by every send of this thread, so a steady
  // stream allocates only the copies of the data. It is taken out of the
  // thread-local slot while in use, which keeps a nested send correct.
  static thread_local std::vector<std::shared_ptr<mem::Port>> spare;
  std::vector<std::shared_ptr<mem::Port>> ports = std::exchange(spare, {});
  {
    std::lock_guard lock(hub_->mutex);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < hub_->ports.size(); ++i) {
      std::shared_ptr<mem::Port> live = hub_->ports[i].lock();
      if (!live) continue;
      if (kept != i) hub_->ports[kept] = std::move(hub_->ports[i]);
      ++kept;
      ports.push_back(std::move(live));
    }
    hub_->ports.resize(kept);
  }

  // Delivered outside the hub lock: a receiver never holds up another sender.
  for (const std::shared_ptr<mem::Port>& port : ports) {
    if (port == port_ && !echo_) continue;
    if (!port->accepts(packet)) continue;
    port->queue.push(Packet{packet.data, packet.can, timestamp, packet.source});
  }
  // Dropping the references here (not at the next send) lets a port whose
  // endpoint went away meanwhile be freed now.
  ports.clear();
  spare = std::move(ports);
  return {};
}

Result<std::optional<Packet>> Mem::recv(std::optional<Duration> timeout) { return port_->queue.pop(timeout); }

void Mem::close() {
  port_->queue.close();
  port_->queue.clear();
}

namespace transport::builtin {
Result<TransportPtr> mem(Endpoint endpoint) { return Mem::open(std::move(endpoint)); }
}  // namespace transport::builtin

}  // namespace sigtap
