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

/// A new _Subscription that owns the running subscription and shares the
/// reference to its callable (see SubscriptionHandlers). On failure the
/// subscription is stopped (with the lock released while its thread is
/// joined) and nullptr is returned with an exception set. Needs the lock.
PyObject* subscription_to_py(std::unique_ptr<Subscription> subscription, std::shared_ptr<Ref> callable);

/// What Channel::subscribe takes from the binding, and the reference to the
/// callable that the callback shares with the _Subscription: the handle
/// shows it to the garbage collector, so that a callable leading back to its
/// own handle does not keep the subscription running for good.
struct SubscriptionHandlers {
  SubscriptionCallback callback;
  std::function<void()> before_wait;
  std::shared_ptr<Ref> callable;
};

/// The core callback that hands each item to `callable` with the interpreter
/// lock held: a sigtap.Message, an exception instance for a receive error, or
/// None for the end. An exception from the callable goes to the unraisable
/// hook and ends the subscription, as does a false result. Once the
/// interpreter finalizes it ends the subscription without touching Python.
/// The callback owns the reference; dropping it on the receive thread queues
/// the release. The lock stays held between items that are ready at once;
/// before_wait gives it up. Needs the lock.
SubscriptionHandlers subscription_handlers(Ref callable);

}  // namespace sigtap::py
