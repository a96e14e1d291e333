// The extension module sigtap._sigtap: multi-phase initialisation, one exec step.
#include "python/message.hpp"
#include "python/py.hpp"
#include "python/release_queue.hpp"

namespace sigtap::py {
namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  // Threads of the core must stop touching Python once the interpreter
  // starts to shut down; the hook tells them when.
  if (!install_finalize_hook()) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.4.0") < 0) return -1;
  PyObject* error = error_type();
  if (!error) return -1;
  if (PyModule_AddObjectRef(module, "Error", error) < 0) return -1;
  PyTypeObject* message = message_type();
  if (!message) return -1;
  if (PyModule_AddObjectRef(module, "Message", reinterpret_cast<PyObject*>(message)) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sigtap",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sigtap::py

PyMODINIT_FUNC PyInit__sigtap(void) { return PyModuleDef_Init(&sigtap::py::module_def); }
