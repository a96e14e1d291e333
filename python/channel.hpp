// _Channel and _open: a core Channel as a Python object, with interruptible receives.
#pragma once

#include "python/py.hpp"

namespace sigtap::py {

/// The class _Channel, created once per process on first use (the module's
/// exec step) and never freed. Borrowed; nullptr with an exception set when
/// it cannot be created. Needs the lock.
PyTypeObject* channel_type();

/// The method table holding the module function _open (and the end marker),
/// for PyModule_AddFunctions. Static; never freed.
PyMethodDef* open_function();

}  // namespace sigtap::py
