// Shared declarations of the binding: the limited API (CPython 3.11, abi3), the exception class, method casts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sigtap::py {

/// The exception class sigtap.Error, created once per process on first use
/// and never freed. Borrowed reference; nullptr with an exception set when it
/// cannot be created.
PyObject* error_type();

/// The signature of a METH_FASTCALL | METH_KEYWORDS method: the positional
/// arguments, their count, and a tuple of keyword names (or nullptr) whose
/// values follow the positional ones in `args`.
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsMethod = PyObject* (*)(PyObject* self, PyObject* unused);

/// PyMethodDef stores every method as a PyCFunction; the flags tell the
/// interpreter the real signature.
inline PyCFunction method_cast(FastMethod f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }
inline PyCFunction method_cast(NoArgsMethod f) { return f; }

}  // namespace sigtap::py
