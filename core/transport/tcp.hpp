// Tcp: tcp:// carries packets over byte streams, as one client or as a listener for many.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/duration.hpp"
#include "core/queue.hpp"
#include "core/transport/resolve.hpp"
#include "core/transport/transport.hpp"

namespace sigtap::transport {
namespace tcp {

/// The number the next connection of any TCP transport of the process takes
/// as the `source` of its packets; starts at 1, never reused.
extern std::atomic<std::uint64_t> NEXT_SOURCE;

/// One connected stream as the senders see it; defined where it is used.
struct Connection;

/// The state a Tcp shares with its accept thread and its reader threads; it
/// lives until the last of them lets go.
struct Shared {
  /// Every connection's reader pushes here, waiting while it is full, or
  /// while a listener's connection fills its share (flow control then slows
  /// the peer down; nothing is lost); Tcp::recv pops.
  Queue queue;
  /// Guards `conns`; held only to copy, add or remove entries, never across
  /// a socket call that may block.
  std::mutex conns_mutex;
  /// The client's one connection, or the listener's live connections in
  /// order of acceptance (with those whose peer half-closed: they have no
  /// reader any more, but still take what is sent).
  std::vector<std::shared_ptr<Connection>> conns;
  std::atomic<bool> closed{false};
};

}  // namespace tcp

/// No framing: a received packet is whatever one read of a stream returned,
/// tagged with the number of its connection, so a codec can rebuild each
/// stream. Threads: one "sigtap-tcp-read" per connection (with a small
/// stack) and one "sigtap-tcp-accept" per listener, detached; each ends by
/// itself after close (or, for a reader, when its peer goes away).
class Tcp final : public Transport {
 public:
  /// How long a client waits for its connection to be accepted.
  static constexpr auto kConnectTimeout = std::chrono::seconds(10);
  /// How long close tries to reach its own listener to wake the accept thread.
  static constexpr auto kWakeTimeout = std::chrono::milliseconds(200);
  /// How long a listener waits for a client that takes no byte of a packet
  /// before it drops that client: one stalled reader must not hold up the
  /// others, while a slow one keeps its place as long as it makes progress
  /// at kSlowestClient at least.
  static constexpr Clock::duration kStallLimit = std::chrono::seconds(5);
  /// The rate (bytes per second) at which a listener's client must take a
  /// packet, beyond the stall limit: one that has not taken the whole packet
  /// kStallLimit plus a second per MiB after the send began is dropped.
  static constexpr std::size_t kSlowestClient = std::size_t{1} << 20;
  /// Keepalive probes of every connection: the first after this long
  /// without a segment from the peer, then one every interval; the peer is
  /// taken for gone (and its connection dropped) once all go unanswered,
  /// 30 s after it fell silent.
  static constexpr auto kKeepAliveIdle = std::chrono::seconds(10);
  static constexpr auto kKeepAliveInterval = std::chrono::seconds(5);
  static constexpr int kKeepAliveProbes = 4;

  /// The "tcp" factory. Without `listen`: connects (blocking, at most 10 s).
  /// With `listen`: binds and accepts any number of clients. Config errors
  /// for options and addresses, Io errors for the sockets.
  static Result<std::shared_ptr<Tcp>> open(Endpoint endpoint);

  Tcp(SocketAddress local_addr, std::shared_ptr<tcp::Shared> shared, bool listen);
  /// Closes the transport: a dropped Tcp ends its threads and connections.
  ~Tcp() override;

  /// Client: writes the whole data, blocking while the peer does not read
  /// (close interrupts it); Io error on failure; Error::Closed once the
  /// connection is gone from the transport. Listener: writes to every client
  /// and drops those that fail, stall or take the packet too slowly (see
  /// kSlowestClient), so one send waits at most kStallLimit plus a second per
  /// MiB; never fails for a client's sake.
  /// The thread's interrupt check (interrupt.hpp) also ends the wait, with
  /// an Interrupted Io error, and no connection loses a byte for it: what a
  /// connection still lacks of the packet (the rest of it, or all of it when
  /// it had not begun it) stays with the connection and goes out first on
  /// its next send, so every peer gets every packet whole and in order. A
  /// listener's client keeps its stall clock across that (a client that took
  /// no byte for kStallLimit is dropped at the next send), and its time
  /// budget covers all it lacks. Close, or a drop, discards the rest. A
  /// connection that already lacks 64 MiB from earlier interrupted sends is
  /// dropped instead (a caller sending on through interrupts to a peer that
  /// takes nothing).
  Status send(const Packet& packet) override;
  /// The oldest chunk of any connection; Error::Closed after close, or for a
  /// client once its connection ended and the queued chunks are handed out.
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override;
  /// A chunk the readers already queued, if any.
  std::optional<Packet> try_recv() override;
  std::optional<Packet> try_recv_many(std::vector<Packet>& rest, std::size_t more) override;
  /// Shuts every connection down (interrupting blocked sends and ending the
  /// readers), wakes the accept thread and closes the queue. Does not wait
  /// for other threads; idempotent.
  void close() override;

  /// Shorter limits for tests: the stall limit of listener sends (also the
  /// fixed part of a packet's time budget) and the receive queue's byte
  /// budget (see Queue). Call before sending.
  void set_limits(Clock::duration stall_limit, std::size_t receive_budget);

  /// The client connection's local end, or the address the listener is bound
  /// to (with the real port when port 0 was asked for).
  const SocketAddress& local_addr() const { return local_addr_; }

 private:
  Status send_to_client(std::span<const std::uint8_t> data);
  Status send_to_listeners_clients(std::span<const std::uint8_t> data);

  const SocketAddress local_addr_;
  const std::shared_ptr<tcp::Shared> shared_;
  const bool listen_;
  Clock::duration stall_limit_ = kStallLimit;
  // One send writes at a time, so the bytes of two packets never interleave
  // on a stream. Close never takes it.
  std::mutex send_mutex_;
};

}  // namespace sigtap::transport
