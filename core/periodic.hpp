// Periodic senders: one message repeated at a fixed rate from a background thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/channel.hpp"
#include "core/worker.hpp"

namespace sigtap {

namespace channel {

/// The state a sender thread shares with its handle.
struct State {
  Message message;
  // Replaced whole, never changed in place: a forked child reads it without
  // the lock (see Periodic::state_lock), and one pointer store leaves it
  // either the old text or the new one.
  std::unique_ptr<const std::string> last_error;
  Duration period;
  std::uint64_t sent_count = 0;
  bool stopped = false;
};

struct Shared {
  std::mutex mutex;
  std::condition_variable cv;
  State state;
};

}  // namespace channel

/// The handle of a running periodic sender. Dropping it stops the sender.
class Periodic {
 public:
  Periodic(const Periodic&) = delete;
  Periodic& operator=(const Periodic&) = delete;
  ~Periodic();

  /// Fails with "the period must be positive" for zero; applies from the
  /// reschedule after the next send.
  Status set_period(Duration period);
  /// Sends this message from the next send on.
  void update(Message message);
  /// Stops the sender and waits for its thread, except on the sender's own
  /// thread or while the caller holds the channel's codec lock (the thread
  /// then ends by itself). A send the stop cuts short leaves last_error as
  /// it was. Idempotent; the caller's interrupt check may end the wait (see
  /// Worker::stop_and_join).
  Status stop_and_join();
  /// Stops it without waiting for a thread that has not finished (see
  /// Worker::stop_and_detach).
  void stop_and_detach();
  /// Tells the sender to stop, without waiting for its thread.
  void request_stop();
  /// Whether the thread has finished (or was never there): stop_and_join() would not wait.
  bool finished() const { return !worker_.running(); }
  bool is_running() const;
  std::optional<std::string> last_error() const;
  std::uint64_t sent_count() const;
  Duration period() const;

 private:
  friend class Channel;
  Periodic(std::shared_ptr<channel::Shared> shared, std::weak_ptr<Inner> inner);
  // The state lock, except in a process forked after the start: the sender
  // is not there, but it may have held the lock at the fork, and then the
  // lock stays held for good; the child's only thread touching the state
  // goes without it.
  std::unique_lock<std::mutex> state_lock() const;

  std::shared_ptr<channel::Shared> shared_;
  Worker worker_;
};

}  // namespace sigtap
