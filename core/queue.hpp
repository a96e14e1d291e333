// A bounded blocking FIFO of packets between the threads that deliver packets
// and the thread that receives them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "core/duration.hpp"
#include "core/message.hpp"
#include "core/result.hpp"

namespace sigtap {

/// Holds at most kCapacity packets and drops the oldest when full, so a
/// producer that outruns its receiver never blocks and never makes memory
/// grow without limit. Packets queued before close are still handed out.
class Queue {
 public:
  static constexpr std::size_t kCapacity = 65536;

  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  /// Never blocks, never fails; ignored after close.
  void push(Packet packet);
  /// The oldest packet; nothing when `timeout` passes first (no limit when
  /// absent; zero polls); Error::Closed once closed and empty.
  Result<std::optional<Packet>> pop(std::optional<Duration> timeout);
  /// The oldest packet if one is queued, else nothing (also once closed):
  /// never waits and never reads the clock.
  std::optional<Packet> try_pop();
  /// Wakes every waiter; idempotent.
  void close();
  /// Drops every queued packet; the closed flag is unchanged.
  void clear();
  /// Number of queued packets.
  std::size_t size() const;

 private:
  // A ring buffer that grows by doubling up to kCapacity: packets are moved
  // in and out, never copied, and a steady stream allocates nothing.
  Packet take_front();

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Packet> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  // Receivers blocked in pop(): a push wakes one only when there is one, so
  // a busy stream costs no wake-up per packet.
  std::size_t waiters_ = 0;
  bool closed_ = false;
};

}  // namespace sigtap
