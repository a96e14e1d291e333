// Subscriptions: receive on a background thread and hand every item to a callback.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "core/channel.hpp"
#include "core/worker.hpp"

namespace sigtap {

/// The handle of a running subscription. Dropping it stops the subscription.
class Subscription {
 public:
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription();

  /// Stops the subscription and waits for the receive thread, except on
  /// that thread itself or while the caller holds the channel's codec lock.
  /// A receive the stop cuts short hands the callback no error. Idempotent;
  /// the caller's interrupt check may end the wait (see
  /// Worker::stop_and_join).
  Status stop_and_join();
  /// Stops it without waiting for a thread that has not finished (see
  /// Worker::stop_and_detach).
  void stop_and_detach();
  /// Asks the receive thread to stop, without waiting for it.
  void request_stop();
  /// Whether the thread has finished (or was never there): stop_and_join() would not wait.
  bool finished() const { return !worker_.running(); }
  bool is_running() const;

 private:
  friend class Channel;
  explicit Subscription(std::weak_ptr<Inner> inner) : worker_(std::move(inner)) {}

  // Its stop is the one the receive thread looks at.
  Worker worker_;
};

}  // namespace sigtap
