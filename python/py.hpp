// Shared declarations of the binding: the limited API (CPython 3.11, abi3), the exception class, the classes made once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sigtap::py {

/// The exception class sigtap.Error, created once per process on first use
/// and never freed. Borrowed reference; nullptr with an exception set when it
/// cannot be created.
PyObject* error_type();

/// The heap type made from `spec`, created on first use and kept in `cell`
/// for the life of the process. Creating a type may run the garbage collector
/// and with it Python code that switches threads: the first creation to
/// finish wins. Borrowed reference; nullptr with an exception set on failure.
inline PyTypeObject* type_once(PyTypeObject*& cell, PyType_Spec* spec) {
  if (cell) return cell;
  PyObject* created = PyType_FromSpec(spec);
  if (!created) return nullptr;
  if (cell) {
    Py_DECREF(created);
  } else {
    cell = reinterpret_cast<PyTypeObject*>(created);
  }
  return cell;
}

}  // namespace sigtap::py
