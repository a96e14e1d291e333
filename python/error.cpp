// The exception class sigtap.Error.
#include <mutex>

#include "python/py.hpp"

namespace sigtap::py {

PyObject* error_type() {
  // Created under the interpreter lock; a concurrent first use from another
  // thread finds it set. Never released: it lives as long as the process.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "sigtap.Error",
        "A sigtap error: a bad URL, codec or option, a message that cannot be encoded or decoded, or a closed "
        "channel. Operating-system errors are raised as OSError; errors from Python plugins propagate unchanged.",
        PyExc_Exception, nullptr);
  }
  return type;
}

}  // namespace sigtap::py
