// The mem:// transport: named in-process buses that connect the channels of one process.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/fork_guard.hpp"
#include "core/transport/transport.hpp"

namespace sigtap {

namespace mem {
struct Hub;
struct Port;
}  // namespace mem

/// One endpoint on the hub named by the URL's address (exact, case-sensitive;
/// "" is a name too). A packet sent here reaches every other port of the hub,
/// and this one with `echo`, if the receiving port's CAN filters let it pass.
/// The hub lives as long as one of its endpoints does. In a forked child the
/// hubs and endpoints inherited work again (see ForkLocks).
class Mem final : public Transport {
 public:
  /// Reads the options `echo` (boolean) and `filter` (Filter::parse_list
  /// text) and refuses any other; fails with Error::Config without touching
  /// any hub.
  static Result<TransportPtr> open(Endpoint endpoint);

  /// Checks a CAN frame (Error::InvalidPacket, nothing delivered), then
  /// gives every receiving port its own copy stamped with the wall clock.
  /// Never blocks on a receiver: a full queue drops its oldest packet.
  Status send(const Packet& packet) override;
  /// The oldest packet delivered to this port; Error::Closed after close().
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override;
  /// The oldest packet delivered to this port, if one is waiting.
  std::optional<Packet> try_recv() override;
  std::optional<Packet> try_recv_many(std::vector<Packet>& rest, std::size_t more) override;
  /// Sending only copies into queues that never block.
  bool sends_without_waiting() const override { return true; }
  /// Wakes blocked receivers and discards what is queued; later deliveries
  /// to this port are dropped. Idempotent.
  void close() override;
  ~Mem() override;

 private:
  Mem(std::shared_ptr<mem::Hub> hub, std::shared_ptr<mem::Port> port, bool echo);
  // Rebuilds targets_ from the hub's list; the caller holds targets_mutex_.
  // The old list goes to `stale`, to be dropped once the locks are released:
  // dropping the last reference to a port destroys its queue, which leaves
  // the fork handlers' list, and that must not happen under these locks.
  void refresh_targets(std::vector<std::shared_ptr<mem::Port>>& stale);

  std::shared_ptr<mem::Hub> hub_;
  std::shared_ptr<mem::Port> port_;
  bool echo_;
  // The send lock, taken around a fork.
  ForkSafeMutex targets_mutex_{ForkLocks::Rank::kSender};
  // The ports a send delivers to (this one only with echo), as of
  // targets_version_ of the hub.
  std::vector<std::shared_ptr<mem::Port>> targets_;
  std::uint64_t targets_version_ = ~std::uint64_t{0};
};

}  // namespace sigtap
