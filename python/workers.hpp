// The process-wide list of live periodic senders and subscriptions, stopped together when the interpreter exits.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/periodic.hpp"
#include "core/subscription.hpp"
#include "python/py.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

/// Enters a running sender or subscription in the list that the exit hook
/// stops. The list holds weak references only: the Python handle stays the
/// owner. Returns the key for unregister_worker(). Callable on any thread.
std::uint64_t register_worker(std::weak_ptr<Periodic> periodic);
std::uint64_t register_worker(std::weak_ptr<Subscription> subscription);

/// Removes an entry (the handle is being freed). Unknown keys are ignored.
void unregister_worker(std::uint64_t key);

/// In a forked child: empties the list without touching the old one (a
/// thread of the parent may have held its lock). The inherited handles stay
/// valid; stopping them only forgets their threads, which the child lacks.
void forget_inherited_workers();

/// Stops a sender or subscription for a script's stop(), from a thread that
/// holds the interpreter lock: the lock is released while the worker's
/// thread is joined (the worker may need it to finish a callback or a
/// plug-in call), and Ctrl-C ends that wait (the worker stays asked to
/// stop). False with the exception set when a signal handler raised; the
/// handlers run once the wait is over. From the worker's own thread the
/// core does not wait.
bool stop_interruptibly(Periodic& periodic);
bool stop_interruptibly(Subscription& subscription);

/// As stop_interruptibly(), for a handle being freed or collected, which
/// must not leave its thread behind: deaf to Ctrl-C, and its deallocator
/// must not throw nor be unwound. Once the interpreter finalizes, the lock
/// is kept (asking for it back could end the calling thread) and the
/// worker, which the exit hook has ended already, is not waited for.
void stop_for_free(Periodic& periodic) noexcept;
void stop_for_free(Subscription& subscription) noexcept;

/// The senders and subscriptions listed when the interpreter exits, told to
/// stop all at once (by the exit hook) and held until end().
class StoppingWorkers {
 public:
  /// Takes every listed sender and subscription and tells it to stop,
  /// without waiting.
  StoppingWorkers();
  StoppingWorkers(const StoppingWorkers&) = delete;
  StoppingWorkers& operator=(const StoppingWorkers&) = delete;
  /// Whether all their threads have finished.
  bool finished() const;
  /// Joins the threads that have finished and leaves the others to end by
  /// themselves, detached; then lets the workers go. Call without the lock.
  void end();

 private:
  std::vector<std::shared_ptr<Periodic>> periodics_;
  std::vector<std::shared_ptr<Subscription>> subscriptions_;
};

/// Wraps a started sender or subscription in a new Python object of `type`
/// (an `Object` with a `std::shared_ptr<Handle>` member and a `worker_key`)
/// and enters it in the list. When the object cannot be made, nobody could
/// ever stop the worker: it is stopped now and the pending error kept.
template <class Object, class Handle>
PyObject* worker_to_py(PyTypeObject* type, std::unique_ptr<Handle> handle, std::shared_ptr<Handle> Object::*member) {
  std::shared_ptr<Handle> shared(std::move(handle));
  PyObject* self = nullptr;
  if (type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    self = alloc(type, 0);
  }
  if (!self) {
    SavedError saved;
    stop_for_free(*shared);
    return nullptr;
  }
  auto* obj = reinterpret_cast<Object*>(self);
  obj->worker_key = register_worker(std::weak_ptr<Handle>(shared));
  new (&(obj->*member)) std::shared_ptr<Handle>(std::move(shared));
  return self;
}

}  // namespace sigtap::py
