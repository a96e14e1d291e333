// The list of live workers behind the exit hook: weak references, stopped outside the list's lock.
#include "python/workers.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "python/interrupt.hpp"
#include "python/ref.hpp"

namespace sigtap::py {
namespace {

struct Entry {
  std::weak_ptr<Periodic> periodic;
  std::weak_ptr<Subscription> subscription;
};

struct Workers {
  std::mutex mutex;
  std::uint64_t next_key = 1;
  std::unordered_map<std::uint64_t, Entry> entries;
};

// Allocated once and never destroyed: worker handles may be freed while
// static destructors run at process exit.
Workers*& workers_slot() {
  static Workers* w = new Workers;
  return w;
}
Workers& workers() { return *workers_slot(); }

std::uint64_t add(Entry entry) {
  Workers& w = workers();
  std::lock_guard lock(w.mutex);
  std::uint64_t key = w.next_key++;
  w.entries.emplace(key, std::move(entry));
  return key;
}

}  // namespace

std::uint64_t register_worker(std::weak_ptr<Periodic> periodic) { return add(Entry{std::move(periodic), {}}); }

std::uint64_t register_worker(std::weak_ptr<Subscription> subscription) {
  return add(Entry{{}, std::move(subscription)});
}

void unregister_worker(std::uint64_t key) {
  Workers& w = workers();
  std::lock_guard lock(w.mutex);
  w.entries.erase(key);
}

void forget_inherited_workers() { workers_slot() = new Workers; }

namespace {

template <class Worker>
bool stop_and_run_handlers(Worker& worker) {
  for (;;) {
    Status stopped;
    {
      ReleaseGil unlocked;
      Interruptible interruptible;
      stopped = worker.stop_and_join();
    }
    if (!after_core_call()) return false;  // Ctrl-C
    // Cut short by a signal whose handler did not raise: wait again.
    if (stopped.ok()) return true;
  }
}

template <class Worker>
void stop_and_wait_deaf(Worker& worker) noexcept {
  if (finalizing()) {
    worker.stop_and_detach();
    return;
  }
  ReleaseGil unlocked;
  Uninterruptible deaf;
  (void)worker.stop_and_join();
}

}  // namespace

bool stop_interruptibly(Periodic& periodic) { return stop_and_run_handlers(periodic); }

bool stop_interruptibly(Subscription& subscription) { return stop_and_run_handlers(subscription); }

void stop_for_free(Periodic& periodic) noexcept { stop_and_wait_deaf(periodic); }

void stop_for_free(Subscription& subscription) noexcept { stop_and_wait_deaf(subscription); }

StoppingWorkers::StoppingWorkers() {
  // Strong references are taken under the lock and the stops requested
  // without it: a handle freed meanwhile on another thread unregisters
  // itself, which needs the lock, and its core object then lives on until
  // we are done.
  {
    Workers& w = workers();
    std::lock_guard lock(w.mutex);
    for (auto& [key, entry] : w.entries) {
      if (auto p = entry.periodic.lock()) periodics_.push_back(std::move(p));
      if (auto s = entry.subscription.lock()) subscriptions_.push_back(std::move(s));
    }
  }
  // All at once: a subscription that waits on a transport it cannot wake
  // notices its stop only after its current receive slice (up to 50 ms), and
  // exiting with many of them must not add those waits up.
  for (auto& p : periodics_) p->request_stop();
  for (auto& s : subscriptions_) s->request_stop();
}

bool StoppingWorkers::finished() const {
  return std::all_of(periodics_.begin(), periodics_.end(), [](const auto& p) { return p->finished(); }) &&
         std::all_of(subscriptions_.begin(), subscriptions_.end(), [](const auto& s) { return s->finished(); });
}

void StoppingWorkers::end() {
  for (auto& p : periodics_) p->stop_and_detach();
  for (auto& s : subscriptions_) s->stop_and_detach();
  periodics_.clear();
  subscriptions_.clear();
}

}  // namespace sigtap::py
