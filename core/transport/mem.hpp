// The mem:// transport: named in-process buses that connect the channels of one process.
#pragma once

#include <memory>
#include <optional>

#include "core/transport/transport.hpp"

namespace sigtap {

namespace mem {
struct Hub;
struct Port;
}  // namespace mem

/// One endpoint on the hub named by the URL's address (exact, case-sensitive;
/// "" is a name too). A packet sent here reaches every other port of the hub,
/// and this one with `echo`, if the receiving port's CAN filters let it pass.
/// The hub lives as long as one of its endpoints does.
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
  /// Wakes blocked receivers and discards what is queued; later deliveries
  /// to this port are dropped. Idempotent.
  void close() override;

 private:
  Mem(std::shared_ptr<mem::Hub> hub, std::shared_ptr<mem::Port> port, bool echo);

  std::shared_ptr<mem::Hub> hub_;
  std::shared_ptr<mem::Port> port_;
  bool echo_;
};

}  // namespace sigtap
