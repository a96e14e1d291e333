// A worker thread's own interpreter thread state, and the lock held across a run of ready items.
#include "python/worker_gil.hpp"

#include "python/ref.hpp"
#include "python/release_queue.hpp"

namespace sigtap::py {
namespace {

constexpr auto kHoldLimit = std::chrono::milliseconds(1);
constexpr unsigned kItemLimit = 256;

// The exit hook waits until no worker is inside the interpreter: a worker
// counts itself before it reads the finalizing flag and until it has given
// the lock up again (see detail::foreign_gil_users).
void enter() { detail::foreign_gil_users.fetch_add(1, std::memory_order_seq_cst); }
void leave() { detail::foreign_gil_users.fetch_sub(1, std::memory_order_seq_cst); }

}  // namespace

WorkerGil& WorkerGil::current() {
  thread_local WorkerGil gil;
  return gil;
}

WorkerGil::WorkerGil() {
  // The thread state outlives each hold of the lock, so "has a thread state"
  // no longer means "holds the lock" on this thread: the state says it.
  detail::lock_state = detail::LockState::kReleased;
  detail::worker_thread = true;
}

WorkerGil::~WorkerGil() {
  release();
  if (!tstate_) return;
  enter();
  if (finalizing()) {
    // Taking the lock now could end this thread inside the interpreter; the
    // interpreter clears the thread states still listed when it finishes.
    leave();
    return;
  }
  PyEval_RestoreThread(tstate_);
  PyThreadState_Clear(tstate_);
  PyEval_SaveThread();
  PyThreadState_Delete(tstate_);
  leave();
}

bool WorkerGil::acquire(PyInterpreterState* interp) {
  if (held_) return true;
  enter();
  if (finalizing()) {
    leave();
    return false;
  }
  if (!tstate_) tstate_ = PyThreadState_New(interp);
  if (!tstate_) {
    leave();
    return false;
  }
  PyEval_RestoreThread(tstate_);
  held_ = true;
  detail::lock_state = detail::LockState::kHeld;
  items_ = 0;
  since_ = std::chrono::steady_clock::now();
  drain_releases();
  return true;
}

void WorkerGil::pace() {
  if (!held_) return;
  if (++items_ < kItemLimit && std::chrono::steady_clock::now() - since_ < kHoldLimit) return;
  release();
}

void WorkerGil::release() {
  if (!held_) return;
  held_ = false;
  detail::lock_state = detail::LockState::kReleased;
  // Not when the interpreter ended the thread inside a callback: the thread
  // state is no longer current, and this runs as the thread goes.
  if (!lock_lost()) PyEval_SaveThread();
  leave();
}

}  // namespace sigtap::py
