// Interrupt checks: how a long wait of the core learns, between its slices, that its caller wants it to give up.
#pragma once

#include <atomic>
#include <utility>

namespace sigtap {

/// A check that a long wait runs between its slices on the waiting thread;
/// true asks the wait to give up. It may run foreign code (a Python signal
/// handler), so waits call it without holding a lock of their own that such
/// code could need, wherever they can.
using InterruptCheck = bool (*)();

namespace detail {
inline thread_local InterruptCheck interrupt_check = nullptr;
inline thread_local const std::atomic<bool>* stop_flag = nullptr;
}  // namespace detail

/// Installs `check` on the calling thread for the lifetime of the scope (the
/// binding, around the blocking calls it makes for a script). Nestable.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck check) : previous_(std::exchange(detail::interrupt_check, check)) {}
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
  ~InterruptScope() { detail::interrupt_check = previous_; }

 private:
  InterruptCheck previous_;
};

/// Makes `stop` an interrupt of the calling thread for the lifetime of the
/// scope, whatever check is installed in between: a worker thread's stop
/// ends the waits of its body, a send to a peer that stopped reading
/// included. `stop` must outlive the scope.
class StopScope {
 public:
  explicit StopScope(const std::atomic<bool>& stop) : previous_(std::exchange(detail::stop_flag, &stop)) {}
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;
  ~StopScope() { detail::stop_flag = previous_; }

 private:
  const std::atomic<bool>* previous_;
};

/// True once the calling thread's stop flag is set (see StopScope); else
/// runs the thread's check: false when none is installed (the core's own
/// threads). A wait that gives up returns an Io error of kind Interrupted.
inline bool interrupt_requested() {
  if (detail::stop_flag && detail::stop_flag->load(std::memory_order_acquire)) return true;
  return detail::interrupt_check && detail::interrupt_check();
}

}  // namespace sigtap
