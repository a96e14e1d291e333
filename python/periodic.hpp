// sigtap.Periodic: the Python handle of a periodic sender; freeing it stops the sender.
#pragma once

#include <memory>

#include "core/periodic.hpp"
#include "python/py.hpp"

namespace sigtap::py {

/// The class sigtap.Periodic, created once per process on first use (the
/// module's exec step) and never freed. Borrowed; nullptr with an exception
/// set when it cannot be created. Needs the lock.
PyTypeObject* periodic_type();

/// A new sigtap.Periodic that owns the running sender and a reference to the
/// _Channel `channel`, whose plug-ins the sender uses (the sender's thread
/// holds no Python reference). On failure the sender is stopped (with the
/// lock released while its thread is joined) and nullptr is returned with an
/// exception set. Needs the lock.
PyObject* periodic_to_py(std::unique_ptr<Periodic> periodic, PyObject* channel);

}  // namespace sigtap::py
