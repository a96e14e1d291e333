// _Subscription (stop, running) and the callback that hands each received item to Python.
#include "python/guard.hpp"
#include "python/subscription.hpp"

#include <new>
#include <utility>

#include "python/errors.hpp"
#include "python/message.hpp"
#include "python/worker_gil.hpp"
#include "python/workers.hpp"

namespace sigtap::py {
namespace {

struct SubscriptionObject {
  PyObject_HEAD
  // Shared only with the exit hook's list, which holds a weak reference.
  std::shared_ptr<Subscription> subscription;
  std::uint64_t worker_key;
  // The one reference to the callable, shared with the receive thread's
  // callback: it lives while either holds it, and the thread's life is
  // bound to this handle's.
  std::shared_ptr<Ref> callable;
};

SubscriptionObject* object(PyObject* self) { return reinterpret_cast<SubscriptionObject*>(self); }
Subscription& subscription_of(PyObject* self) { return *object(self)->subscription; }

// ---- the callback ------------------------------------------------------------

// The pending exception as an instance (cleared); None if there is none.
Ref take_exception() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return Ref::borrow(Py_None);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value ? Ref::steal(value) : Ref::borrow(Py_None);
}

// The argument of the callable: a Message, an exception instance, or None for
// the end. If the object cannot be made, the failure itself is handed over
// (a MemoryError when the conversion runs out of memory).
Ref make_item(Result<Message> item) {
  PyObject* made = nullptr;
  try {
    if (item.ok()) {
      made = message_to_py(std::move(item).value());
    } else if (item.error().is_closed()) {
      return Ref::borrow(Py_None);
    } else {
      made = error_to_instance(std::move(item).error());
    }
  } catch (const std::exception&) {
    raise_caught_exception();
  }
  return made ? Ref::steal(made) : take_exception();
}

// Runs on the receive thread. The lock is kept after the call: the core asks
// for the next item without waiting and says when it is about to wait
// (before_wait), so a run of queued items is delivered under one hold.
bool deliver(PyObject* callable, PyInterpreterState* interp, Result<Message> item) {
  WorkerGil& gil = WorkerGil::current();
  // Once the interpreter finalizes, asking for the lock could end this thread
  // in the middle of C++ frames: the subscription ends instead.
  if (!gil.acquire(interp)) return false;
  bool go_on = false;
  {
    Ref arg = make_item(std::move(item));
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callable, arg.get(), nullptr));
    if (!result) {
      PyErr_WriteUnraisable(callable);
    } else {
      int truth = PyObject_IsTrue(result.get());
      if (truth < 0) PyErr_Clear();  // a result whose truth cannot be told ends it, silently
      go_on = truth == 1;
    }
  }
  gil.pace();
  return go_on;
}

// ---- methods -----------------------------------------------------------------

PyObject* subscription_stop(PyObject* self, PyObject*) {
  drain_releases();
  if (!stop_interruptibly(subscription_of(self))) return nullptr;  // Ctrl-C
  Py_RETURN_NONE;
}

PyMethodDef subscription_methods[] = {
    {"stop", method<subscription_stop>(), METH_NOARGS,
     "stop($self)\n--\n\nStop delivering and wait for the receive thread (idempotent)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_running(PyObject* self, void*) {
  drain_releases();
  return PyBool_FromLong(subscription_of(self).is_running());
}

PyGetSetDef subscription_getset[] = {
    {"running", guarded<get_running>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots -------------------------------------------------------------------

void subscription_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  SubscriptionObject* obj = object(self);
  unregister_worker(obj->worker_key);
  // A subscription lives only as long as its handle. Freed from inside its own
  // callback, the core does not wait for the thread (it would wait for itself).
  stop_releasing_lock(*obj->subscription);
  obj->callable.~shared_ptr();
  obj->subscription.~shared_ptr();
  drain_releases();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

int subscription_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const std::shared_ptr<Ref>& callable = object(self)->callable) Py_VISIT(callable->get());
  return 0;
}

// A handle that nobody can reach is as good as freed: the subscription stops
// (from its own thread, where the collector may run, without waiting), and
// the callable goes once the thread has let it go too.
int subscription_clear(PyObject* self) {
  SubscriptionObject* obj = object(self);
  stop_releasing_lock(*obj->subscription);
  obj->callable.reset();
  return 0;
}

PyType_Slot subscription_slots[] = {
    {Py_tp_doc, const_cast<char*>("A running `_Channel.subscribe`.")},
    {Py_tp_dealloc, slot<subscription_dealloc>()},
    {Py_tp_traverse, slot<subscription_traverse>()},
    {Py_tp_clear, slot<subscription_clear>()},
    {Py_tp_methods, subscription_methods},
    {Py_tp_getset, subscription_getset},
    {0, nullptr},
};

// Made only by _Channel.subscribe: no constructor, not a base type, no instance dict.
PyType_Spec subscription_spec = {
    "sigtap._sigtap._Subscription",
    sizeof(SubscriptionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    subscription_slots,
};

PyTypeObject* subscription_type_cell = nullptr;

}  // namespace

PyTypeObject* subscription_type() { return type_once(subscription_type_cell, &subscription_spec); }

PyObject* subscription_to_py(std::unique_ptr<Subscription> subscription, std::shared_ptr<Ref> callable) {
  PyObject* self = worker_to_py(subscription_type(), std::move(subscription), &SubscriptionObject::subscription);
  if (self) new (&object(self)->callable) std::shared_ptr<Ref>(std::move(callable));
  return self;
}

SubscriptionHandlers subscription_handlers(Ref callable) {
  // std::function must be copyable; the Ref is not, so it is shared. The last
  // copy goes on the receive thread, which queues the release.
  auto held = std::make_shared<Ref>(std::move(callable));
  PyInterpreterState* interp = PyInterpreterState_Get();
  return {
      [held, interp](Result<Message> item) { return deliver(held->get(), interp, std::move(item)); },
      [] { WorkerGil::current().release(); },
      held,
  };
}

}  // namespace sigtap::py
