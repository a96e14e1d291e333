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
  // Owned here and shown to the collector every time: the receive thread
  // holds no Python reference. It reaches the channel's plug-ins through the
  // _Channel, and the callable through the delivery, which lends it only
  // while this handle lets the thread deliver.
  PyObject* channel;
  PyObject* callable;
  std::shared_ptr<Delivery> delivery;
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
//
// The callable is the handle's, read through the delivery under the lock:
// a stop made while this thread waited for the lock, or by a collection that
// the item's allocations ran, delivers nothing more. It is called without a
// reference of this thread's own, so that a collection on this thread inside
// the call may free a handle that nothing else keeps; nothing between the
// last read and the call allocates (the argument is made before), and
// the callable is not touched after it but through the delivery again.
bool deliver(Delivery& delivery, Result<Message> item) {
  WorkerGil& gil = WorkerGil::current();
  // Once the interpreter finalizes, asking for the lock could end this thread
  // in the middle of C++ frames: the subscription ends instead.
  if (!gil.acquire(delivery.interp)) return false;
  if (!delivery.callable) return false;
  bool go_on = false;
  {
    Ref arg = make_item(std::move(item));
    if (!delivery.callable) {
      PyErr_Clear();
      return false;
    }
    // A call of one argument allocates nothing before the callable runs.
    Ref result = arg ? Ref::steal(PyObject_CallFunctionObjArgs(delivery.callable, arg.get(), nullptr)) : Ref();
    if (!result) {
      PyErr_WriteUnraisable(delivery.callable);  // nullptr if the call freed the handle
    } else {
      int truth = PyObject_IsTrue(result.get());
      if (truth < 0) PyErr_Clear();  // a result whose truth cannot be told ends it, silently
      go_on = truth == 1 && delivery.callable;
    }
  }
  gil.pace();
  return go_on;
}

// ---- methods -----------------------------------------------------------------

// Nothing is delivered once a stop is made: the thread checks under the lock.
void stop_delivering(PyObject* self) noexcept {
  if (Delivery* delivery = object(self)->delivery.get()) delivery->callable = nullptr;
}

PyObject* subscription_stop(PyObject* self, PyObject*) {
  drain_releases();
  stop_delivering(self);
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

void subscription_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  SubscriptionObject* obj = object(self);
  unregister_worker(obj->worker_key);
  // A subscription lives only as long as its handle. Freed from inside its own
  // callback, the core does not wait for the thread (it would wait for itself).
  stop_delivering(self);
  stop_for_free(*obj->subscription);
  Py_CLEAR(obj->callable);
  Py_CLEAR(obj->channel);
  obj->delivery.~shared_ptr();
  obj->subscription.~shared_ptr();
  drain_releases();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

int subscription_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(object(self)->channel);
  Py_VISIT(object(self)->callable);
  return 0;
}

// A handle that nobody can reach is as good as freed: the subscription stops
// here, before the collector clears any object of the cycle, so that no
// callback meets a cleared object. On its own thread (a collection inside
// its callback, or among the allocations of a delivery) it is not waited
// for, and delivers nothing more.
void subscription_finalize(PyObject* self) {
  SavedError saved;
  stop_delivering(self);
  stop_for_free(*object(self)->subscription);
}

// After the finalizer: the thread has ended, or is ending without delivering.
int subscription_clear(PyObject* self) noexcept {
  SubscriptionObject* obj = object(self);
  stop_delivering(self);
  Py_CLEAR(obj->callable);
  Py_CLEAR(obj->channel);
  return 0;
}

PyType_Slot subscription_slots[] = {
    {Py_tp_doc, const_cast<char*>("A running `_Channel.subscribe`.")},
    nothrow_slot<Py_tp_dealloc, subscription_dealloc>(),
    nothrow_slot<Py_tp_traverse, subscription_traverse>(),
    nothrow_slot<Py_tp_clear, subscription_clear>(),
    {Py_tp_finalize, slot<subscription_finalize>()},
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

PyObject* subscription_to_py(std::unique_ptr<Subscription> subscription, PyObject* channel,
                             std::shared_ptr<Delivery> delivery) {
  PyObject* self = worker_to_py(subscription_type(), std::move(subscription), &SubscriptionObject::subscription);
  if (!self) {
    delivery->callable = nullptr;  // stopped and joined: only for form
    return nullptr;
  }
  SubscriptionObject* obj = object(self);
  obj->channel = Py_NewRef(channel);
  obj->callable = Py_NewRef(delivery->callable);
  new (&obj->delivery) std::shared_ptr<Delivery>(std::move(delivery));
  return self;
}

SubscriptionHandlers subscription_handlers(PyObject* callable) {
  auto delivery = std::make_shared<Delivery>();
  delivery->callable = callable;
  delivery->interp = PyInterpreterState_Get();
  return {
      [delivery](Result<Message> item) { return deliver(*delivery, std::move(item)); },
      [] { WorkerGil::current().release(); },
      delivery,
  };
}

}  // namespace sigtap::py
