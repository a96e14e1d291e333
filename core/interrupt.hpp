// Interrupts: how a long wait of the core learns that its caller, or the stop of its worker, wants it to give up.
//
// Two sources end a wait early. The stop of a worker thread (a std::stop_token
// installed by StopScope for the thread's life) ends every wait of its body:
// waits on a condition variable wake at once (WakeOnStop), the others within
// a slice. The caller's check (InterruptScope; the binding installs one that
// looks for a pending Ctrl-C) is run between slices. Neither runs foreign
// code: a check only looks, so a wait may run it while it holds its own
// locks, and whatever the caller wants to do about the interrupt (run a
// signal handler) happens once the core call has returned.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "core/duration.hpp"

namespace sigtap {

/// The longest a wait blocks before it looks at its interrupts again.
inline constexpr Clock::duration kInterruptSlice = std::chrono::milliseconds(50);

/// The caller's check, run between slices on the waiting thread; true asks
/// the wait to give up. It must only look (at a flag, at a pending signal),
/// never run foreign code such as a signal handler: waits run it while they
/// hold locks of their own.
using InterruptCheck = bool (*)();

namespace detail {
inline thread_local InterruptCheck interrupt_check = nullptr;
inline thread_local const std::stop_token* stop_token = nullptr;
}  // namespace detail

/// Installs `check` on the calling thread for the lifetime of the scope (the
/// binding, around the blocking calls it makes for a script); nullptr makes
/// the waits inside deaf to the caller (a deallocator must wait whatever
/// happens). Nestable.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck check) : previous_(std::exchange(detail::interrupt_check, check)) {}
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
  ~InterruptScope() { detail::interrupt_check = previous_; }

 private:
  InterruptCheck previous_;
};

/// Makes `token` the stop of the calling thread for the lifetime of the
/// scope, whatever check is installed in between: a worker thread's stop
/// ends the waits of its body, a send to a peer that stopped reading
/// included. `token` must outlive the scope.
class StopScope {
 public:
  explicit StopScope(const std::stop_token& token) : previous_(std::exchange(detail::stop_token, &token)) {}
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;
  ~StopScope() { detail::stop_token = previous_; }

 private:
  const std::stop_token* previous_;
};

/// True once the calling thread's worker was asked to stop (see StopScope).
inline bool stop_requested() { return detail::stop_token && detail::stop_token->stop_requested(); }

/// True when the caller's check asks to give up (false when none is
/// installed: the core's own threads). Not the thread's stop: a wait for
/// another thread (a join) is ended by the caller only.
inline bool caller_interrupt_requested() { return detail::interrupt_check && detail::interrupt_check(); }

/// The thread's stop, or else the caller's check. A wait that gives up
/// returns an Io error of kind Interrupted.
inline bool interrupt_requested() { return stop_requested() || caller_interrupt_requested(); }

/// Runs `wake` (on the stopping thread) when the calling thread's worker is
/// asked to stop while the scope lasts, or at once in the constructor if it
/// was asked already; nothing on a thread without a stop. For a wait on a
/// condition variable: `wake` takes the wait's mutex and notifies, so the
/// stop is seen at once. Construct it before taking that mutex and let it go
/// after releasing it (its destructor waits for a `wake` that is running).
template <class Wake>
class WakeOnStop {
 public:
  explicit WakeOnStop(Wake wake)
      : callback_(detail::stop_token ? *detail::stop_token : std::stop_token{}, std::move(wake)) {}
  WakeOnStop(const WakeOnStop&) = delete;
  WakeOnStop& operator=(const WakeOnStop&) = delete;

 private:
  // Registers nothing with the empty token of a thread without a stop.
  std::stop_callback<Wake> callback_;
};

/// How an interruptible wait ended.
enum class WaitEnd { kReady, kTimedOut, kInterrupted };

/// Which interrupts end a wait: the thread's stop and the caller's check, or
/// the caller's check only (a wait for another thread).
enum class Interrupts { kAll, kCallerOnly };

/// The slicing of one long wait and its interrupt check: the waiter blocks
/// for at most slice() at a time, and after each step that did not finish
/// the wait asks next() whether to go on. The check runs at most once a
/// slice, however often the steps wake (a peer that reads slowly wakes a
/// send often).
class InterruptibleWait {
 public:
  /// No deadline: until ready or interrupted.
  explicit InterruptibleWait(std::optional<Instant> deadline = std::nullopt, Interrupts interrupts = Interrupts::kAll)
      : deadline_(deadline), interrupts_(interrupts), next_check_(Clock::now() + kInterruptSlice) {}

  /// How long the next step may block: one slice, less near the deadline
  /// (zero once it passed).
  Clock::duration slice() const {
    if (!deadline_) return kInterruptSlice;
    const Instant now = Clock::now();
    return now >= *deadline_ ? Clock::duration::zero() : std::min<Clock::duration>(kInterruptSlice, *deadline_ - now);
  }
  /// After a step that did not finish the wait: kTimedOut once the deadline
  /// passed, kInterrupted when asked to give up, nothing to go on.
  std::optional<WaitEnd> next() {
    if (interrupts_ == Interrupts::kAll && stop_requested()) return WaitEnd::kInterrupted;
    const Instant now = Clock::now();
    if (deadline_ && now >= *deadline_) return WaitEnd::kTimedOut;
    if (now >= next_check_) {
      next_check_ = now + kInterruptSlice;
      if (caller_interrupt_requested()) return WaitEnd::kInterrupted;
    }
    return std::nullopt;
  }

 private:
  std::optional<Instant> deadline_;
  Interrupts interrupts_;
  Instant next_check_;
};

/// Runs `step(slice)`, which waits at most `slice` for what the caller waits
/// for and returns true once it is there, until it is, the deadline passes
/// or an interrupt asks to give up.
template <class Step>
WaitEnd wait_interruptibly(std::optional<Instant> deadline, Interrupts interrupts, Step&& step) {
  InterruptibleWait wait(deadline, interrupts);
  for (;;) {
    if (step(wait.slice())) return WaitEnd::kReady;
    if (std::optional<WaitEnd> end = wait.next()) return *end;
  }
}

/// Sleeps until `deadline` (none: for good) unless the thread's stop or the
/// caller's check comes first; a stop wakes it at once. True when it slept
/// the whole time.
inline bool sleep_interruptibly(std::optional<Instant> deadline) {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopped = false;
  WakeOnStop wake([&] {
    {
      std::lock_guard lock(mutex);
      stopped = true;
    }
    cv.notify_all();
  });
  const WaitEnd end = wait_interruptibly(deadline, Interrupts::kAll, [&](Clock::duration slice) {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, slice, [&] { return stopped; });
    return false;
  });
  return end == WaitEnd::kTimedOut;
}

}  // namespace sigtap
