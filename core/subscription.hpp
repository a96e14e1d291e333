// Subscriptions: receive on a background thread and hand every item to a callback.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "core/channel.hpp"
#include "core/worker.hpp"

namespace sigtap {

/// Waits up to `d`, returning early (within 50 ms) once `stopped` is set.
void sleep_unless_stopped(const std::atomic<bool>& stopped, Duration d);

/// The handle of a running subscription. Dropping it stops the subscription.
class Subscription {
 public:
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription();

  /// Sets the stop flag and waits for the receive thread, except on that
  /// thread itself or while the caller holds the channel's codec lock.
  /// Idempotent. With `wait` false, a thread that has not finished is not
  /// waited for (see Worker::end).
  void stop(bool wait = true);
  /// Sets the stop flag, without waiting for the thread.
  void request_stop();
  /// Whether the thread has finished (or was never there): stop() would not wait.
  bool finished() const { return !worker_.running(); }
  bool is_running() const;

 private:
  friend class Channel;
  explicit Subscription(std::weak_ptr<Inner> inner) : worker_(std::move(inner)) {}

  // Its stop flag is the one the receive thread looks at.
  Worker worker_;
};

}  // namespace sigtap
