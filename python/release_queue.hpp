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
// thread or the thread sees the flag. The hook waits for them a bounded time
// (a callback or a plug-in call normally lasts a moment or one 50 ms receive
// slice; one that blocks for good must not hang the exit) and then leaves
// them behind, as the interpreter leaves its daemon threads: see lock_lost().
inline std::atomic<long> foreign_gil_users{0};
inline std::atomic<long> python_gil_users{0};
inline thread_local long own_foreign_gil_users = 0;
inline thread_local long own_python_gil_users = 0;
inline std::atomic<bool> finalizing_flag{false};
bool lock_lost_slow();
}  // namespace detail

/// True once the interpreter has begun to shut down (set by the atexit hook
/// that install_finalize_hook() registers). From then on the binding never
/// takes the interpreter lock from a thread that does not hold it, and
/// references dropped without the lock are leaked. Callable without the lock.
///
/// The hook then, with the lock released, tells every periodic sender and
/// subscription that is still running to stop (StoppingWorkers) and waits
/// until they have finished and no other thread is inside the interpreter
/// (see detail::foreign_gil_users). Threads inside a Python call are waited
/// for a bounded time, and Ctrl-C ends the wait; those still running then are
/// left behind (detached), as the interpreter leaves its daemon threads.
inline bool finalizing() { return detail::finalizing_flag.load(std::memory_order_seq_cst); }

/// True on a thread that the interpreter is ending. Once the interpreter has
/// run the exit hooks, it ends any thread but its own that asks for the lock
/// (a worker or a daemon thread coming back from a blocking call inside a
/// Python callback or plug-in) by unwinding its stack. The guards on that
/// stack then hold no lock, whatever they recorded: they must neither touch
/// a reference count nor give the lock back (the interpreter would abort).
/// Cheap until finalizing(). Callable without the lock.
inline bool lock_lost() { return finalizing() && detail::lock_lost_slow(); }

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
