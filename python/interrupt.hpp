// Ctrl-C during the core's long waits: the check the binding installs around the blocking calls it makes for a script.
//
// No Python code runs inside a core wait: the check only looks whether Ctrl-C
// is pending, and the signal handlers (and the release queue) run once the
// core call has returned and released its locks (after_core_call()).
#pragma once

#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

/// Takes the interpreter lock for a moment, without draining the release
/// queue, and tells whether Ctrl-C is pending (the interpreter handles
/// signals on its main thread only: false on any other). The pending signal
/// stays pending for after_core_call(). Call without the lock.
inline bool ctrl_c_pending() {
  EnsureGil gil(/*drain_queued=*/false);
  if (!gil.acquired()) return false;
  if (!PyOS_InterruptOccurred()) return false;
  PyErr_SetInterrupt();  // consumed by the look: pending again for its handler
  return true;
}

/// Lets the core's waits on this thread give up on Ctrl-C, for the scope's
/// lifetime; place it inside the ReleaseGil around the core call.
class Interruptible : public InterruptScope {
 public:
  Interruptible() : InterruptScope(&ctrl_c_pending) {}
};

/// Makes the core's waits on this thread deaf to Ctrl-C for the scope's
/// lifetime (a deallocator waits whatever happens), whatever an enclosing
/// call installed.
class Uninterruptible : public InterruptScope {
 public:
  Uninterruptible() : InterruptScope(nullptr) {}
};

/// What every entry point does once a core call that released the lock has
/// returned, with the lock held again: drops the references queued meanwhile
/// and runs the pending signal handlers. False with the exception set when
/// a handler raised (KeyboardInterrupt for Ctrl-C).
inline bool after_core_call() {
  drain_releases();
  return PyErr_CheckSignals() == 0;
}

/// Whether a core error only says that a wait was cut short (a system call
/// cut short by a signal, or an interrupt check that asked to give up).
inline bool interrupted(const Error& error) {
  return error.kind() == ErrorKind::Io && error.io_kind() == IoKind::Interrupted;
}

}  // namespace sigtap::py
