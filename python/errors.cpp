// The one place where core errors become Python exceptions and Python exceptions become core errors.
#include "python/errors.hpp"

#include <memory>

#include "core/thread.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"

namespace sigtap::py {
namespace {

PyObject* os_error_class(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound: return PyExc_FileNotFoundError;
    case IoKind::PermissionDenied: return PyExc_PermissionError;
    case IoKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoKind::AlreadyExists: return PyExc_FileExistsError;
    case IoKind::WouldBlock: return PyExc_BlockingIOError;
    case IoKind::NotADirectory: return PyExc_NotADirectoryError;
    case IoKind::IsADirectory: return PyExc_IsADirectoryError;
    case IoKind::TimedOut: return PyExc_TimeoutError;
    case IoKind::Interrupted: return PyExc_InterruptedError;
    case IoKind::OutOfMemory: return PyExc_MemoryError;
    case IoKind::AddrInUse:
    case IoKind::AddrNotAvailable:
    case IoKind::InvalidInput:
    case IoKind::WriteZero:
    case IoKind::Other: break;
  }
  return PyExc_OSError;
}

// Sets `type(text)` lazily: the instance is made when it is raised or fetched.
PyObject* raise_with_text(PyObject* type, const std::string& text) {
  if (!type) return nullptr;  // the class could not be made; its error is set
  Ref arg = Ref::steal(text_to_py(text));
  if (!arg) return nullptr;
  // A str value (never a tuple) becomes the single argument.
  PyErr_SetObject(type, arg.get());
  return nullptr;
}

// A UTF-8 rendering that never fails: characters that UTF-8 cannot carry
// (lone surrogates) become '?'.
bool append_str(std::string& out, PyObject* text) {
  PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "replace");
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
  if (ok) out.append(data, static_cast<std::size_t>(size));
  Py_DECREF(bytes);
  return ok;
}

}  // namespace

PyObject* to_py(Error error) {
  switch (error.kind()) {
    case ErrorKind::Io: return raise_with_text(os_error_class(error.io_kind()), error.fmt());
    case ErrorKind::External:
      if (auto* external = dynamic_cast<PyExternalError*>(error.external()); external && external->exception()) {
        // Restored as it was raised: its type, value, traceback and chain.
        PyObject* value = external->exception();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
        Py_INCREF(type);
        Py_INCREF(value);
        PyErr_Restore(type, value, PyException_GetTraceback(value));
        return nullptr;
      }
      return raise_with_text(error_type(), error.fmt());
    case ErrorKind::Config:
    case ErrorKind::InvalidPacket:
    case ErrorKind::Closed:
    case ErrorKind::DbcParse:
    case ErrorKind::UnknownMessage:
    case ErrorKind::Encode:
    case ErrorKind::Decode:
    case ErrorKind::Sbf: break;
  }
  return raise_with_text(error_type(), error.fmt());
}

PyObject* error_to_instance(Error error) {
  to_py(std::move(error));
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (!value) PyErr_SetString(PyExc_SystemError, "an error could not be turned into an exception");
  return value;
}

Error capture_python_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  if (!value) value = PyObject_CallNoArgs(type);  // normalization never leaves this empty in practice
  Py_XDECREF(type);
  if (!value) {
    PyErr_Clear();
    return Error::external(std::make_unique<ExternalError>("SystemError: an exception could not be captured"));
  }
  std::string display = exception_display(value);
  return Error::external(std::make_unique<PyExternalError>(std::move(display), Ref::steal(value)));
}

void raise_caught_exception() noexcept {
  // The core's threads tell the two apart the same way.
  const Error error = caught_error();
  if (error.io_kind() == IoKind::OutOfMemory) {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_SystemError, error.text().c_str());
  }
}

std::string exception_display(PyObject* exception) {
  std::string out;
  PyObject* name = PyType_GetQualName(Py_TYPE(exception));
  if (!name || !append_str(out, name)) {
    PyErr_Clear();
    out = "<unknown>";
  }
  Py_XDECREF(name);
  out += ": ";
  PyObject* text = PyObject_Str(exception);
  std::string str_text;
  if (text && append_str(str_text, text)) {
    out += str_text;
  } else {
    PyErr_Clear();
    out += "<exception str() failed>";
  }
  Py_XDECREF(text);
  return out;
}

}  // namespace sigtap::py
