// Ctrl-C during the core's long waits: the check the binding installs around the blocking calls it makes for a script.
#pragma once

#include "core/interrupt.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

/// Takes the interpreter lock for a moment and runs the pending signal
/// handlers (the interpreter runs them on its main thread only). True when
/// one raised; its exception stays set for the caller, who finds it with
/// PyErr_Occurred() once it holds the lock again. Call without the lock.
inline bool python_signal_raised() {
  EnsureGil gil;
  if (!gil.acquired()) return false;
  if (PyErr_Occurred()) return true;  // raised at an earlier check of this call
  return PyErr_CheckSignals() < 0;
}

/// Lets the core's waits on this thread give up on Ctrl-C, for the scope's
/// lifetime; place it inside the ReleaseGil around the core call.
class Interruptible : public InterruptScope {
 public:
  Interruptible() : InterruptScope(&python_signal_raised) {}
};

}  // namespace sigtap::py
