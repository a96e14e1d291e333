// Worker: the thread behind a periodic sender or a subscription, started once, ended once, forgotten in a forked child.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "core/result.hpp"

namespace sigtap {

class Inner;

/// The handle of one worker thread of a channel. Every member may be called
/// from any thread, the worker's own included.
class Worker {
 public:
  /// `inner` is the channel the worker serves, kept only to ask who holds
  /// its codec lock.
  explicit Worker(std::weak_ptr<Inner> inner) : inner_(std::move(inner)) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  /// Ends the thread as end() does.
  ~Worker() { end(); }

  /// Starts `body` on a thread named `name` (see spawn_thread). Call once,
  /// before sharing the handle. Io error when the system refuses the thread.
  Status start(std::string_view name, std::function<void()> body);
  /// Sets the stop flag (see interrupt()) and waits for the thread to end,
  /// once (later calls return at once); the body must end on its stop. Does
  /// not wait on the thread itself, nor while the caller holds the channel's
  /// codec lock (the thread may be waiting for it): the thread then ends by
  /// itself, detached. With
  /// `wait` false a thread whose body has not returned is not waited for
  /// either (the binding gives up on one stuck in a Python call at exit).
  void end(bool wait = true);
  /// Sets the stop flag: the waits of the body that run the interrupt check
  /// (interrupt.hpp: a blocked send) give up, for good.
  void interrupt() { stopping_->store(true, std::memory_order_release); }
  /// The flag interrupt() and end() set, for a body that looks at it itself.
  std::shared_ptr<const std::atomic<bool>> stop_flag() const { return stopping_; }
  /// Started, not ended through the handle, and the body has not returned.
  bool running() const;
  /// False in a process forked after the start: the thread does not exist
  /// there, and neither it nor the state it shares may be touched (a lock it
  /// held at the fork stays held for good). end() then only forgets it.
  bool in_this_process() const { return pid_ == ::getpid(); }

 private:
  std::weak_ptr<Inner> inner_;
  pid_t pid_ = 0;
  mutable std::mutex mutex_;
  std::optional<std::thread> thread_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
  // Set by interrupt() and end(): the interrupt of the thread's waits.
  std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace sigtap
