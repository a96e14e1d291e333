// References dropped on threads without the interpreter lock, kept until a thread holding it drains them.
#pragma once

#include <atomic>

#include "python/py.hpp"

namespace sigtap::py {

namespace detail {
inline std::atomic<bool> releases_pending{false};
void drain_releases_slow();
// Threads inside EnsureGil or about to ask for the lock in it: those unknown
// to the interpreter (the core's workers), and Python threads (a plug-in
// called from a script's receive or send), with this thread's own share.
// A thread counts itself before it reads finalizing(), and the exit hook sets
// the flag before it reads the counts, so the hook either waits for the
// thread or the thread sees the flag. The interpreter ends a daemon thread
// that asks for the lock once it finalizes, and with EnsureGil on its stack
// that aborts the process: the hook waits for workers without limit (as it
// joins them anyway) and for Python threads a bounded time (a plug-in call
// normally lasts one 50 ms receive slice; one that blocks for good must not
// hang the exit).
inline std::atomic<long> foreign_gil_users{0};
inline std::atomic<long> python_gil_users{0};
inline thread_local long own_foreign_gil_users = 0;
inline thread_local long own_python_gil_users = 0;
}  // namespace detail

/// True once the interpreter has begun to shut down (set by the atexit hook
/// that install_finalize_hook() registers). From then on the binding never
/// takes the interpreter lock from a thread that does not hold it, and
/// references dropped without the lock are leaked. Callable without the lock.
///
/// The hook then, with the lock released, stops every periodic sender and
/// subscription that is still running (stop_all_workers()) and waits until no
/// other thread is inside EnsureGil (see detail::foreign_gil_users).
bool finalizing();

/// Registers, once per process, the atexit hook behind finalizing(). Needs
/// the lock; false with an exception set on failure.
bool install_finalize_hook();

/// Queues one reference for release by the next thread that holds the
/// interpreter lock and enters the module; leaks it instead once the
/// interpreter finalizes. Callable on any thread, with or without the lock.
void release_later(PyObject* obj);

/// Drops the references that release_later() queued. Needs the lock; every
/// entry point of the module (functions, methods, slots, getters, and the
/// adaptors that take the lock on the core's threads) calls it first.
inline void drain_releases() {
  if (detail::releases_pending.load(std::memory_order_acquire)) detail::drain_releases_slow();
}

}  // namespace sigtap::py
