// The list of live workers behind the exit hook: weak references, stopped outside the list's lock.
#include "python/workers.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/thread.hpp"
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

void stop_releasing_lock(Periodic& periodic) {
  ReleaseGil unlocked;
  periodic.stop();
}

void stop_releasing_lock(Subscription& subscription) {
  ReleaseGil unlocked;
  subscription.stop();
}

void stop_all_workers() {
  // Strong references are taken under the lock and the stops run without it:
  // a handle freed meanwhile on another thread unregisters itself, which
  // needs the lock, and its core object then lives on until we are done.
  std::vector<std::shared_ptr<Periodic>> periodics;
  std::vector<std::shared_ptr<Subscription>> subscriptions;
  {
    Workers& w = workers();
    std::lock_guard lock(w.mutex);
    for (auto& [key, entry] : w.entries) {
      if (auto p = entry.periodic.lock()) periodics.push_back(std::move(p));
      if (auto s = entry.subscription.lock()) subscriptions.push_back(std::move(s));
    }
  }
  // A subscription notices its stop only after its current receive slice
  // (up to 50 ms): the stops run side by side on helper threads so that
  // exiting with many of them does not add those waits up.
  // A few dozen helpers at a time bound the threads this may start.
  std::vector<std::function<void()>> stops;
  stops.reserve(subscriptions.size() + periodics.size());
  for (auto& s : subscriptions) stops.emplace_back([s] { s->stop(); });
  for (auto& p : periodics) stops.emplace_back([p] { p->stop(); });
  constexpr std::size_t kBatch = 32;
  for (std::size_t first = 0; first < stops.size(); first += kBatch) {
    std::vector<std::thread> helpers;
    for (std::size_t i = first; i < std::min(first + kBatch, stops.size()); ++i) {
      auto started = spawn_thread("sigtap-exit", stops[i]);
      if (started.ok()) {
        helpers.push_back(std::move(started).value());
      } else {
        stops[i]();
      }
    }
    for (auto& t : helpers) t.join();
  }
}

}  // namespace sigtap::py
