// The process-wide queue of references released without the interpreter lock, and the finalization flag.
#include "python/release_queue.hpp"

#include <pthread.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "python/guard.hpp"
#include "python/ref.hpp"
#include "python/workers.hpp"

namespace sigtap::py {
namespace {

std::atomic<bool> finalizing_flag{false};

struct Queue {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

// Allocated once and never destroyed; replaced (the old one leaked) in a
// forked child, where a vanished thread may have held its lock.
Queue*& queue_slot() {
  static Queue* q = new Queue;
  return q;
}
Queue& queue() { return *queue_slot(); }

// Runs in a forked child, on the thread that forked, before anything else.
// Only that thread exists there: what the others had queued, registered or
// counted is forgotten, so that neither a lock they held nor a thread that
// is not there holds up the child (its exit hook waits for the counts).
void after_fork_in_child() {
  queue_slot() = new Queue;
  detail::releases_pending.store(false, std::memory_order_relaxed);
  detail::foreign_gil_users.store(detail::own_foreign_gil_users, std::memory_order_relaxed);
  detail::python_gil_users.store(detail::own_python_gil_users, std::memory_order_relaxed);
  forget_inherited_workers();
}

// Threads still inside EnsureGil hold or are about to get the lock (workers
// stopped from their own callback are joined by nobody); they finish their
// Python call while we wait with the lock released.
void wait_for_gil_users() {
  constexpr auto kPythonThreadsLimit = std::chrono::seconds(2);
  const auto give_up = std::chrono::steady_clock::now() + kPythonThreadsLimit;
  auto python_threads_inside = [give_up] {
    return detail::python_gil_users.load(std::memory_order_seq_cst) > detail::own_python_gil_users &&
           std::chrono::steady_clock::now() < give_up;
  };
  while (detail::foreign_gil_users.load(std::memory_order_seq_cst) > 0 || python_threads_inside()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

PyObject* on_exit(PyObject*, PyObject*) {
  finalizing_flag.store(true, std::memory_order_seq_cst);
  {
    ReleaseGil unlocked;
    stop_all_workers();
    wait_for_gil_users();
  }
  // What was queued before the flag went up is still ours to release.
  drain_releases();
  Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_sigtap_finalizing", method<on_exit>(), METH_NOARGS, nullptr};

}  // namespace

bool finalizing() { return finalizing_flag.load(std::memory_order_seq_cst); }

bool install_finalize_hook() {
  // Only a thread holding the lock gets here, so the flag needs no atomics.
  static bool installed = false;
  if (installed) return true;
  if (pthread_atfork(nullptr, nullptr, after_fork_in_child) != 0) {
    PyErr_SetString(PyExc_OSError, "cannot watch for fork()");
    return false;
  }
  PyObject* hook = PyCFunction_NewEx(&on_exit_def, nullptr, nullptr);
  if (!hook) return false;
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* result = atexit ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  Py_XDECREF(atexit);
  Py_DECREF(hook);
  if (!result) return false;
  Py_DECREF(result);
  installed = true;
  return true;
}

void release_later(PyObject* obj) {
  // After the atexit hook the interpreter may be torn down at any moment, and
  // nobody would drain the queue: leaking is the only safe choice.
  if (!obj || finalizing()) return;
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  q.objects.push_back(obj);
  detail::releases_pending.store(true, std::memory_order_release);
}

void detail::drain_releases_slow() {
  // Swapped out first: a release may run a finalizer that queues again or
  // enters the module, and must not find the mutex held.
  std::vector<PyObject*> batch;
  {
    Queue& q = queue();
    std::lock_guard lock(q.mutex);
    batch.swap(q.objects);
    releases_pending.store(false, std::memory_order_release);
  }
  for (PyObject* obj : batch) Py_DECREF(obj);
}

}  // namespace sigtap::py
