// Error mapping: core errors to Python exceptions, Python exceptions to core errors.
#pragma once

#include <string>

#include "core/error.hpp"
#include "python/py.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

/// A Python exception carried through the core as Error::External. Its
/// display text is computed at capture, with the lock held, so that the core
/// can show it on any thread; destroying it without the lock queues the
/// release of the exception (see Ref).
class PyExternalError final : public ExternalError {
 public:
  PyExternalError(std::string display, Ref exception) : ExternalError(std::move(display)), exception_(std::move(exception)) {}

  /// The exception instance, with its traceback set. Borrowed.
  PyObject* exception() const { return exception_.get(); }

 private:
  Ref exception_;
};

/// Sets the Python exception for a core error and returns nullptr, so that a
/// caller can `return to_py(std::move(error));`. Io becomes the OSError
/// subclass of its kind with the display text as the only argument; External
/// re-raises the captured Python exception unchanged; every other kind
/// becomes sigtap.Error with the display text. Needs the lock.
PyObject* to_py(Error error);

/// The exception instance that to_py() would raise, as a new reference (for
/// the subscription callback); nullptr with an exception set only when the
/// instance cannot be made. Needs the lock.
PyObject* error_to_instance(Error error);

/// Takes the currently set Python exception (clearing it) into an
/// Error::External. With no exception set, a SystemError "attempted to fetch
/// exception but none was set" stands in for it. Needs the lock.
Error capture_python_error();

/// The display text of an exception instance: the qualified name of its type,
/// ": " and its str() (": <exception str() failed>" when str() raises).
/// Needs the lock; leaves no exception set.
std::string exception_display(PyObject* exception);

}  // namespace sigtap::py
