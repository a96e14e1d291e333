// Shared declarations of the binding: the limited API, the exception class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sigtap::py {

/// The exception class sigtap.Error, created once per process on first use
/// and never freed. Borrowed reference; nullptr with an exception set when it
/// cannot be created.
PyObject* error_type();

}  // namespace sigtap::py
