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

// The thread that ran the exit hook: the one that finalizes the interpreter.
std::atomic<std::thread::id> finalizer{};

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

// How long the exit waits for threads inside the interpreter: workers in a
// callback or a plug-in call, whose stop shows only once that call returns,
// and Python threads inside a plug-in call. Such a call normally lasts a
// moment or one 50 ms receive slice; one that blocks for good (a callback
// putting into a full queue that nobody reads any more) is left behind, as
// the interpreter leaves its daemon threads.
constexpr auto kInsidePythonLimit = std::chrono::seconds(2);
constexpr auto kSignalCheckSlice = std::chrono::milliseconds(50);

// Threads inside EnsureGil or a WorkerGil hold (workers stopped from their
// own callback are joined by nobody and counted here only).
bool threads_inside_python() {
  return detail::foreign_gil_users.load(std::memory_order_seq_cst) > 0 ||
         detail::python_gil_users.load(std::memory_order_seq_cst) > detail::own_python_gil_users;
}

// Waits, for at most one slice, until the workers have finished and no other
// thread is inside the interpreter. True when the wait is over: all done, or
// threads still inside the interpreter past `give_up`. Workers outside it are
// waited for without limit: their stop ends them promptly.
bool wait_slice(const StoppingWorkers& workers, std::chrono::steady_clock::time_point give_up) {
  const auto slice_end = std::chrono::steady_clock::now() + kSignalCheckSlice;
  for (;;) {
    const bool inside = threads_inside_python();
    if (!inside && workers.finished()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (inside && now >= give_up) return true;
    if (now >= slice_end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

PyObject* on_exit(PyObject*, PyObject*) {
  finalizer.store(std::this_thread::get_id(), std::memory_order_seq_cst);
  detail::finalizing_flag.store(true, std::memory_order_seq_cst);
  StoppingWorkers workers;
  const auto give_up = std::chrono::steady_clock::now() + kInsidePythonLimit;
  for (;;) {
    bool over = false;
    {
      ReleaseGil unlocked;
      over = wait_slice(workers, give_up);
    }
    if (over) break;
    // Ctrl-C ends the wait as well; the exit goes on without a traceback.
    if (PyErr_CheckSignals() < 0) {
      PyErr_Clear();
      break;
    }
  }
  {
    ReleaseGil unlocked;
    workers.end();
  }
  // What was queued before the flag went up is still ours to release.
  drain_releases();
  Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_sigtap_finalizing", method<on_exit>(), METH_NOARGS, nullptr};

}  // namespace

bool detail::lock_lost_slow() {
  // The interpreter says it is no longer initialized from the moment it stops
  // running exit hooks and starts ending other threads that ask for the lock.
  return std::this_thread::get_id() != finalizer.load(std::memory_order_seq_cst) && !Py_IsInitialized();
}

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
