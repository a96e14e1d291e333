// The transport interface and the process-wide transport registry.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/duration.hpp"
#include "core/endpoint.hpp"
#include "core/message.hpp"
#include "core/result.hpp"

namespace sigtap {

/// Moves raw packets. Shared between threads (send, recv and close may run at
/// once), so every implementation synchronises itself.
class Transport {
 public:
  virtual ~Transport() = default;
  /// Sends one packet.
  virtual Status send(const Packet& packet) = 0;
  /// Waits at most `timeout` (no limit when absent) for a packet; nothing when
  /// the time passed; Error::Closed once no packet will come any more.
  virtual Result<std::optional<Packet>> recv(std::optional<Duration> timeout) = 0;
  /// A packet that is already waiting, or nothing (also when one would have
  /// to be waited for, read from the system, or after close: recv() tells
  /// those apart). Never waits, never reads the clock, never runs foreign
  /// code: the channel calls it under its codec lock, possibly while the
  /// caller holds the interpreter lock. The default has nothing waiting.
  virtual std::optional<Packet> try_recv() { return std::nullopt; }
  /// try_recv() for a run: the oldest waiting packet, with up to `more` of
  /// the next appended to `rest`, with try_recv()'s promises. A receiver
  /// that takes several at a time competes with the senders for a queue once
  /// per run instead of once per packet. The default takes one.
  virtual std::optional<Packet> try_recv_many(std::vector<Packet>& rest, std::size_t more) {
    (void)rest, (void)more;
    return try_recv();
  }
  /// True when send() never waits (no system call that may block, no
  /// foreign code): the binding then sends without releasing the
  /// interpreter lock.
  virtual bool sends_without_waiting() const { return false; }
  /// Idempotent, never fails, callable from any thread; makes blocked
  /// receivers return.
  virtual void close() = 0;
};

using TransportPtr = std::shared_ptr<Transport>;
/// Builds a transport from a parsed URL; consumes the endpoint's options.
using TransportFactory = std::function<Result<TransportPtr>(Endpoint)>;

namespace transport {

/// Parses the URL and calls the factory registered for its scheme (outside
/// the registry lock).
Result<TransportPtr> open(std::string_view url);
/// Registered schemes, sorted.
std::vector<std::string> schemes();
/// Adds or replaces the factory for a scheme (lower-cased in ASCII).
void register_factory(std::string_view scheme, TransportFactory factory);

}  // namespace transport
}  // namespace sigtap
