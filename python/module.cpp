// The extension module sigtap._sigtap: multi-phase initialisation, one exec step.
#include "python/channel.hpp"
#include "python/guard.hpp"
#include "python/message.hpp"
#include "python/periodic.hpp"
#include "python/plugins.hpp"
#include "python/py.hpp"
#include "python/read_buffers.hpp"
#include "python/release_queue.hpp"
#include "python/subscription.hpp"

namespace sigtap::py {
namespace {

// `type` is borrowed from its process-wide cell; nullptr means it could not be
// made and its error is set.
bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return type && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  // The library's state is the process's, not an interpreter's: the exit
  // hook, the finalizing flag, the classes and the workers' thread states
  // all belong to the main interpreter, which must outlive every use of them.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError, "sigtap can be imported only in the main interpreter, not in a subinterpreter");
    return -1;
  }
  // Threads of the core must stop touching Python once the interpreter
  // starts to shut down: the one atexit hook tells them so, then stops the
  // senders and subscriptions that are still running.
  if (!install_finalize_hook()) return -1;
  install_read_buffers();
  if (PyModule_AddStringConstant(module, "__version__", SIGTAP_VERSION) < 0) return -1;
  PyObject* error = error_type();
  if (!error) return -1;
  if (PyModule_AddObjectRef(module, "Error", error) < 0) return -1;
  PyTypeObject* message = message_type();
  if (!message) return -1;
  if (PyModule_AddObjectRef(module, "Message", reinterpret_cast<PyObject*>(message)) < 0) return -1;
  if (!add_type(module, "_Channel", channel_type())) return -1;
  if (!add_type(module, "_Subscription", subscription_type())) return -1;
  if (!add_type(module, "Periodic", periodic_type())) return -1;
  if (PyModule_AddFunctions(module, open_function()) < 0) return -1;
  if (PyModule_AddFunctions(module, plugin_functions()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot<exec_module>()},
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
