// The mem:// transport: hubs by name, one port per endpoint, fan-out without the hub lock.
#include "core/transport/mem.hpp"

#include <atomic>
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
  ForkSafeMutex mutex{ForkLocks::Rank::kHub};
  // Weak: the endpoint owns its port. An endpoint removes its own entry
  // when it goes away; entries whose port died otherwise are pruned when a
  // sender rebuilds its list.
  std::vector<std::weak_ptr<Port>> ports;
  // Bumped under the mutex whenever a port joins or leaves. Each sending
  // endpoint keeps its own list of target ports and rebuilds it only when
  // this changed, so senders sharing a hub never contend for its lock.
  std::atomic<std::uint64_t> version{0};
};

namespace {

struct HubTable {
  ForkSafeMutex mutex{ForkLocks::Rank::kHubTable};
  std::map<std::string, std::weak_ptr<Hub>, std::less<>> hubs;
};

// Allocated once and never destroyed: channels may still be opened and
// dropped by other threads while static destructors run.
HubTable& hub_table() {
  static auto* table = new HubTable;
  return *table;
}

std::shared_ptr<Hub> hub(const std::string& name) {
  // Made before the table lock and dropped after it when unused: a hub
  // enrols with the fork handlers, which take the table lock after their own.
  auto fresh = std::make_shared<Hub>();
  HubTable& table = hub_table();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.hubs, [](const auto& entry) { return entry.second.expired(); });
  auto [it, inserted] = table.hubs.try_emplace(name);
  if (!inserted) {
    if (auto live = it->second.lock()) return live;
  }
  it->second = fresh;
  return fresh;
}

}  // namespace
}  // namespace mem

Mem::Mem(std::shared_ptr<mem::Hub> hub, std::shared_ptr<mem::Port> port, bool echo)
    : hub_(std::move(hub)), port_(std::move(port)), echo_(echo) {}

Mem::~Mem() {
  // Other endpoints' target lists may keep the port a little longer (until
  // their next send): closed and empty, it holds no packets meanwhile.
  close();
  std::lock_guard lock(hub_->mutex);
  // Compared without taking a reference: the last one dropped here would
  // destroy a port under the hub lock (see refresh_targets).
  std::erase_if(hub_->ports, [this](const std::weak_ptr<mem::Port>& p) {
    return p.expired() || (!p.owner_before(port_) && !port_.owner_before(p));
  });
  hub_->version.fetch_add(1, std::memory_order_release);
}

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
    hub->version.fetch_add(1, std::memory_order_release);
  }
  return TransportPtr(new Mem(std::move(hub), std::move(port), echo));
}

void Mem::refresh_targets(std::vector<std::shared_ptr<mem::Port>>& stale) {
  std::lock_guard lock(hub_->mutex);
  stale.swap(targets_);
  targets_.clear();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < hub_->ports.size(); ++i) {
    std::shared_ptr<mem::Port> live = hub_->ports[i].lock();
    if (!live) continue;
    if (kept != i) hub_->ports[kept] = std::move(hub_->ports[i]);
    ++kept;
    if (live != port_ || echo_) targets_.push_back(std::move(live));
  }
  hub_->ports.resize(kept);
  // Read under the lock that every bump takes: no change can slip between.
  targets_version_ = hub_->version.load(std::memory_order_relaxed);
}

Status Mem::send(const Packet& packet) {
  if (packet.can) SIGTAP_TRY(can_frame::check_frame(*packet.can, packet.data.size()));
  const double timestamp = wall_clock_timestamp();

  // A steady stream takes no hub lock and allocates only the copies of the
  // data; concurrent sends on this one endpoint take turns here.
  std::vector<std::shared_ptr<mem::Port>> stale;  // dropped after the lock
  std::lock_guard lock(targets_mutex_);
  if (hub_->version.load(std::memory_order_acquire) != targets_version_) refresh_targets(stale);
  for (const std::shared_ptr<mem::Port>& port : targets_) {
    if (!port->accepts(packet)) continue;
    port->queue.push(Packet{packet.data, packet.can, timestamp, packet.source});
  }
  return {};
}

Result<std::optional<Packet>> Mem::recv(std::optional<Duration> timeout) { return port_->queue.pop(timeout); }

std::optional<Packet> Mem::try_recv() { return port_->queue.try_pop(); }

std::optional<Packet> Mem::try_recv_many(std::vector<Packet>& rest, std::size_t more) {
  return port_->queue.try_pop_many(rest, more);
}

void Mem::close() {
  port_->queue.close();
  port_->queue.clear();
}

namespace transport::builtin {
Result<TransportPtr> mem(Endpoint endpoint) { return Mem::open(std::move(endpoint)); }
}  // namespace transport::builtin

}  // namespace sigtap
