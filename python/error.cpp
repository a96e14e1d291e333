// The exception class sigtap.Error.
#include "python/py.hpp"

namespace sigtap::py {

PyObject* error_type() {
  // Never released: it lives as long as the process, and a second import of
  // the module adds the same class. Creating it may run the garbage collector
  // and with it Python code that switches threads: the first creation wins.
  static PyObject* type = nullptr;
  if (type) return type;
  PyObject* created = PyErr_NewExceptionWithDoc(
      "sigtap.Error",
      "A sigtap error: a bad URL, codec or option, a message that cannot be encoded or decoded, or a closed "
      "channel. Operating-system errors are raised as OSError; errors from Python plugins propagate unchanged.",
      PyExc_Exception, nullptr);
  if (!created) return nullptr;
  if (type) {
    Py_DECREF(created);
  } else {
    type = created;
  }
  return type;
}

}  // namespace sigtap::py
