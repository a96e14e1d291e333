// The process-wide list of live periodic senders and subscriptions, stopped together when the interpreter exits.
#pragma once

#include <cstdint>
#include <memory>

#include "core/periodic.hpp"
#include "core/subscription.hpp"

namespace sigtap::py {

/// Enters a running sender or subscription in the list that the exit hook
/// stops. The list holds weak references only: the Python handle stays the
/// owner. Returns the key for unregister_worker(). Callable on any thread.
std::uint64_t register_worker(std::weak_ptr<Periodic> periodic);
std::uint64_t register_worker(std::weak_ptr<Subscription> subscription);

/// Removes an entry (the handle is being freed). Unknown keys are ignored.
void unregister_worker(std::uint64_t key);

/// Stops a sender or subscription from a thread that holds the interpreter
/// lock, releasing the lock while the worker's thread is joined (the worker
/// may need it to finish a callback or a plug-in call). From the worker's own
/// thread the core does not wait.
void stop_releasing_lock(Periodic& periodic);
void stop_releasing_lock(Subscription& subscription);

/// Stops every listed sender and subscription and waits for their threads.
/// Blocks: the caller must NOT hold the interpreter lock, since a worker may
/// need it to finish a callback or a plug-in call. Run by the exit hook.
void stop_all_workers();

}  // namespace sigtap::py
