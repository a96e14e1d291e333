// Binding call arguments to declared parameters, with the interpreter's wording for argument-list errors.
#include "python/args.hpp"

#include "python/convert.hpp"

namespace sigtap::py {
namespace {

Py_ssize_t positional_count(const Signature& sig) {
  Py_ssize_t n = 0;
  for (const Param& p : sig.params) n += p.kind != ParamKind::kKeywordOnly;
  return n;
}

Py_ssize_t required_positional_count(const Signature& sig) {
  Py_ssize_t n = 0;
  for (const Param& p : sig.params) n += p.kind != ParamKind::kKeywordOnly && p.required;
  return n;
}

bool bind_positional(const Signature& sig, Py_ssize_t nargs) {
  Py_ssize_t max = positional_count(sig);
  if (nargs <= max) return true;
  Py_ssize_t min = required_positional_count(sig);
  const char* verb = nargs == 1 ? "was" : "were";
  if (min == max) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.function, max,
                 max == 1 ? "" : "s", nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.function,
                 min, max, nargs, verb);
  }
  return false;
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out, Ref* extra) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
    return false;
  }
  std::size_t index = 0;
  for (; index < sig.params.size(); ++index) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[index].name) == 0) break;
  }
  bool found = index < sig.params.size();
  if (found && sig.params[index].kind != ParamKind::kPositionalOnly) {
    if (out[index]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.params[index].name);
      return false;
    }
    out[index] = value;
    return true;
  }
  if (sig.var_keywords && extra) {
    if (!*extra) {
      *extra = Ref::steal(PyDict_New());
      if (!*extra) return false;
    }
    return PyDict_SetItem(extra->get(), key, value) == 0;
  }
  if (found) {
    PyErr_Format(PyExc_TypeError, "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                 sig.function, key);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
  }
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function,
                   sig.params[i].name, i + 1);
      return false;
    }
  }
  return true;
}

void clear_out(const Signature& sig, PyObject** out, Ref* extra) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
  if (extra) extra->reset();
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* extra) {
  clear_out(sig, out, extra);
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs < 0 || !bind_positional(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out, extra)) return false;
    }
  }
  return check_required(sig, out);
}

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Ref* extra) {
  clear_out(sig, out, extra);
  if (!bind_positional(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], out, extra)) return false;
    }
  }
  return check_required(sig, out);
}

void add_note(const char* note) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    if (traceback) PyException_SetTraceback(value, traceback);
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note);
    // A failing add_note must not hide the error being reported.
    if (result) {
      Py_DECREF(result);
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

void add_argument_note(const char* name) {
  std::string note = "while processing '";
  note += name;
  note += '\'';
  add_note(note.c_str());
}

std::optional<std::string> text_param(PyObject* arg, const char* name) {
  auto text = text_from_py(arg);
  if (!text) add_argument_note(name);
  return text;
}

std::optional<bool> bool_param(PyObject* arg, const char* name) {
  auto b = bool_from_py(arg);
  if (!b) add_argument_note(name);
  return b;
}

std::optional<std::uint32_t> u32_param(PyObject* arg, const char* name) {
  auto v = u32_from_py(arg);
  if (!v) add_argument_note(name);
  return v;
}

std::optional<double> float_param(PyObject* arg, const char* name) {
  double v = PyFloat_AsDouble(arg);
  if (v == -1.0 && PyErr_Occurred()) {
    add_argument_note(name);
    return std::nullopt;
  }
  return v;
}

}  // namespace sigtap::py
