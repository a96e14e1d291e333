// _Subscription and the subscription callback that calls a Python callable on the receive thread.
#pragma once

#include <functional>
#include <memory>

#include "core/subscription.hpp"
#include "python/py.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

/// The class _Subscription, created once per process on first use (the
/// module's exec step) and never freed. Borrowed; nullptr with an exception
/// set when it cannot be created. Needs the lock.
PyTypeObject* subscription_type();

/// What a subscription's receive thread reads, under the interpreter lock,
/// to reach its callable: the _Subscription owns the callable (and shows it
/// to the collector), and this borrows it while the handle lets the thread
/// deliver. Shared by the handle and the thread's callback.
struct Delivery {
  /// Borrowed; nullptr once the handle stops the subscription or lets the
  /// callable go. Read and written only under the interpreter lock.
  PyObject* callable = nullptr;
  PyInterpreterState* interp = nullptr;
};

/// A new _Subscription that owns the running subscription, a reference to
/// the _Channel `channel` (whose plug-ins the thread uses) and one to the
/// delivery's callable. On failure the subscription is stopped (with the lock
/// released while its thread is joined) and nullptr is returned with an
/// exception set. Needs the lock.
PyObject* subscription_to_py(std::unique_ptr<Subscription> subscription, PyObject* channel,
                             std::shared_ptr<Delivery> delivery);

/// What Channel::subscribe takes from the binding, and the delivery that the
/// callback shares with the _Subscription.
struct SubscriptionHandlers {
  SubscriptionCallback callback;
  std::function<void()> before_wait;
  std::shared_ptr<Delivery> delivery;
};

/// The core callback that hands each item to `callable` with the interpreter
/// lock held: a sigtap.Message, an exception instance for a receive error, or
/// None for the end. An exception from the callable goes to the unraisable
/// hook and ends the subscription, as does a false result, and so does a
/// stop of the handle seen once the lock is held: nothing is delivered after
/// it. Once the interpreter finalizes it ends the subscription without
/// touching Python. The callback holds no Python reference: `callable` is
/// borrowed from the caller until the _Subscription takes it over. The lock
/// stays held between items that are ready at once; before_wait gives it up.
/// Needs the lock.
SubscriptionHandlers subscription_handlers(PyObject* callable);

}  // namespace sigtap::py
