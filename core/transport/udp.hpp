// Udp: udp:// moves one packet per datagram, as a sender or as a listener that replies.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "core/fd.hpp"
#include "core/transport/resolve.hpp"
#include "core/transport/transport.hpp"

namespace sigtap::transport {

/// Receiving polls the socket on the caller's thread in slices of at most
/// 100 ms, so a close from another thread is noticed without a thread of
/// the transport's own. The socket stays bound until the transport is dropped.
class Udp final : public Transport {
 public:
  /// Longest single wait of a receive: bounds how late close is noticed.
  static constexpr auto kMaxSlice = std::chrono::milliseconds(100);
  /// Shortest wait: to the socket layer a zero receive timeout means forever.
  static constexpr auto kMinSlice = std::chrono::milliseconds(1);

  /// The "udp" factory. Without `listen`: sends to the address from `bind`
  /// (default: any interface of the target's family, a system-chosen port).
  /// With `listen`: binds the address and replies to the last sender (or to
  /// `peer` until a datagram arrives). Config errors for options and
  /// addresses, Io errors for the socket.
  static Result<std::shared_ptr<Udp>> open(Endpoint endpoint);

  Udp(Fd socket, std::optional<SocketAddress> peer, bool listen);

  /// One datagram to the peer; InvalidPacket for a listener that has heard
  /// nobody yet; Io errors (a datagram too large among them) leave the
  /// transport usable.
  Status send(const Packet& packet) override;
  /// One datagram, stamped at its arrival; Error::Closed after close.
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override;
  /// Only marks the transport closed: a receiver notices within one slice.
  void close() override;

  /// The bound local address (the real port when port 0 was asked for).
  Result<SocketAddress> local_addr() const { return SocketAddress::local_of(socket_.get()); }

 private:
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  mutable std::mutex peer_mutex_;  // held only to read or replace peer_
  std::optional<SocketAddress> peer_;
  Fd socket_;
  std::atomic<bool> closed_{false};
  const bool listen_;
};

}  // namespace sigtap::transport
