// sigtap.Periodic: update, stop, period, sent_count, last_error, running, context manager, repr.
#include "python/guard.hpp"
#include "python/periodic.hpp"

#include <new>
#include <string>
#include <utility>

#include "core/text.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/workers.hpp"

namespace sigtap::py {
namespace {

struct PeriodicObject {
  PyObject_HEAD
  // Shared only with the exit hook's list, which holds a weak reference.
  std::shared_ptr<Periodic> periodic;
  std::uint64_t worker_key;
  // Owned here and shown to the collector every time: the sender's thread
  // holds no Python reference, and reaches the plug-ins through it.
  PyObject* channel;
};

PeriodicObject* object(PyObject* self) { return reinterpret_cast<PeriodicObject*>(self); }
Periodic& periodic_of(PyObject* self) { return *object(self)->periodic; }

// ---- methods ---------------------------------------------------------------

constexpr Param kUpdateParams[] = {{"message", true}, {"fields"}};
constexpr Signature kUpdateSignature{"Periodic.update", kUpdateParams};

PyObject* periodic_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[2];
  if (!parse_fastcall(kUpdateSignature, args, nargs, kwnames, arg)) return nullptr;
  auto message = message_arg(arg[0], arg[1]);
  if (!message) return nullptr;
  {
    // The old message is freed here; nothing in it is a Python object, but
    // the state mutex is briefly contended by the sender.
    ReleaseGil unlocked;
    periodic_of(self).update(std::move(*message));
  }
  drain_releases();
  Py_RETURN_NONE;
}

PyObject* periodic_stop(PyObject* self, PyObject*) {
  drain_releases();
  if (!stop_interruptibly(periodic_of(self))) return nullptr;  // Ctrl-C
  Py_RETURN_NONE;
}

PyObject* periodic_enter(PyObject* self, PyObject*) {
  drain_releases();
  Py_INCREF(self);
  return self;
}

constexpr Param kExitParams[] = {{"_t", true}, {"_e", true}, {"_tb", true}};
constexpr Signature kExitSignature{"Periodic.__exit__", kExitParams};

PyObject* periodic_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[3];
  if (!parse_fastcall(kExitSignature, args, nargs, kwnames, arg)) return nullptr;
  if (!stop_interruptibly(periodic_of(self))) return nullptr;  // Ctrl-C
  Py_RETURN_FALSE;
}

PyMethodDef periodic_methods[] = {
    {"update", method<periodic_update>(), METH_FASTCALL | METH_KEYWORDS,
     "update($self, message, fields=None)\n--\n\nSend this message instead from the next period on."},
    {"stop", method<periodic_stop>(), METH_NOARGS,
     "stop($self)\n--\n\nStop sending and wait for the sender thread (idempotent)."},
    {"__enter__", method<periodic_enter>(), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method<periodic_exit>(), METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _t, _e, _tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------
// Read with the lock held: they take the sender's state mutex for a moment,
// and the sender never holds it while it sends or waits for the lock.

PyObject* get_period(PyObject* self, void*) {
  drain_releases();
  return PyFloat_FromDouble(periodic_of(self).period().as_secs_f64());
}

int set_period(PyObject* self, PyObject* value, void*) {
  drain_releases();
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
  }
  auto seconds = float_param(value, "period");
  if (!seconds) return -1;
  auto period = duration("period", *seconds);
  if (!period) return -1;
  Status set = periodic_of(self).set_period(*period);
  if (!set.ok()) {
    to_py(std::move(set).error());
    return -1;
  }
  return 0;
}

PyObject* get_sent_count(PyObject* self, void*) {
  drain_releases();
  return PyLong_FromUnsignedLongLong(periodic_of(self).sent_count());
}

PyObject* get_last_error(PyObject* self, void*) {
  drain_releases();
  std::optional<std::string> error = periodic_of(self).last_error();
  if (!error) Py_RETURN_NONE;
  return text_to_py(*error);
}

PyObject* get_running(PyObject* self, void*) {
  drain_releases();
  return PyBool_FromLong(periodic_of(self).is_running());
}

PyGetSetDef periodic_getset[] = {
    {"period", guarded<get_period>, guarded<set_period>, "Period in seconds.", nullptr},
    {"sent_count", guarded<get_sent_count>, nullptr, nullptr, nullptr},
    {"last_error", guarded<get_last_error>, nullptr, "The last send error (sending continues after one).", nullptr},
    {"running", guarded<get_running>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots -----------------------------------------------------------------

void periodic_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PeriodicObject* obj = object(self);
  unregister_worker(obj->worker_key);
  // A sender lives only as long as its handle. Stopped before the core object
  // goes, with the lock released: the sender may need it for its last send.
  stop_for_free(*obj->periodic);
  Py_CLEAR(obj->channel);
  obj->periodic.~shared_ptr();
  drain_releases();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

int periodic_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(object(self)->channel);
  return 0;
}

// Freed by the collector, the sender stops here, before any object of its
// cycle (a Python codec leading back to its owner) is cleared.
void periodic_finalize(PyObject* self) {
  SavedError saved;
  stop_for_free(*object(self)->periodic);
}

// After the finalizer: the sender has stopped (or, stopped from its own
// thread, ends without another send, and finds the plug-ins let go).
int periodic_clear(PyObject* self) noexcept {
  Py_CLEAR(object(self)->channel);
  return 0;
}

PyObject* periodic_repr(PyObject* self) {
  drain_releases();
  // Three reads, each under the sender's lock on its own: not a snapshot.
  Periodic& periodic = periodic_of(self);
  std::string out = "Periodic(period=";
  append_decimal(out, periodic.period().as_secs_f64());
  out += ", sent_count=";
  out += std::to_string(periodic.sent_count());
  out += ", running=";
  out += periodic.is_running() ? "True" : "False";
  out += ')';
  return text_to_py(out);
}

PyType_Slot periodic_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A message sent periodically by `Channel.every`.\n\n"
                    "No method holds a lock across a GIL-dependent wait: the sender thread may\n"
                    "need the GIL (a Python codec or transport) while `stop()` joins it.")},
    nothrow_slot<Py_tp_dealloc, periodic_dealloc>(),
    nothrow_slot<Py_tp_traverse, periodic_traverse>(),
    nothrow_slot<Py_tp_clear, periodic_clear>(),
    {Py_tp_finalize, slot<periodic_finalize>()},
    {Py_tp_methods, periodic_methods},
    {Py_tp_getset, periodic_getset},
    {Py_tp_repr, slot<periodic_repr>()},
    {0, nullptr},
};

// Made only by _Channel.every: no constructor, not a base type, no instance dict.
PyType_Spec periodic_spec = {
    "sigtap.Periodic",
    sizeof(PeriodicObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    periodic_slots,
};

PyTypeObject* periodic_type_cell = nullptr;

}  // namespace

PyTypeObject* periodic_type() { return type_once(periodic_type_cell, &periodic_spec); }

PyObject* periodic_to_py(std::unique_ptr<Periodic> periodic, PyObject* channel) {
  PyObject* self = worker_to_py(periodic_type(), std::move(periodic), &PeriodicObject::periodic);
  if (self) object(self)->channel = Py_NewRef(channel);
  return self;
}

}  // namespace sigtap::py
