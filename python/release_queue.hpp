// References dropped on threads without the interpreter lock, kept until a thread holding it drains them.
#pragma once

#include <atomic>

#include "python/py.hpp"

namespace sigtap::py {

namespace detail {
inline std::atomic<bool> releases_pending{false};
void drain_releases_slow();
}  // namespace detail

/// True once the interpreter has begun to shut down (set by the atexit hook
/// that install_finalize_hook() registers). From then on the binding never
/// takes the interpreter lock from a thread that does not hold it, and
/// references dropped without the lock are leaked. Callable without the lock.
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
