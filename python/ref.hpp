// Owning Python references and the interpreter-lock guards; safe to destroy on any thread.
#pragma once

#include <utility>

#include "python/py.hpp"
#include "python/release_queue.hpp"

namespace sigtap::py {

namespace detail {

// What the binding knows about the calling thread's hold on the interpreter
// lock. The guards below set it; outside them it is unknown and lock_held()
// falls back to the thread's interpreter thread state.
enum class LockState { kUnknown, kHeld, kReleased };
inline thread_local LockState lock_state = LockState::kUnknown;
// Set on a library worker thread that keeps its own thread state between
// holds of the lock (WorkerGil): lock_state is then always known, and its
// EnsureGil counts as a worker's, not as a Python thread's.
inline thread_local bool worker_thread = false;
// Set once the interpreter has begun to unwind this thread (see lock_lost()),
// as a guard on the way out finds: a ReleaseGil met later on that way must
// not ask for the lock again.
inline thread_local bool unwound_by_interpreter = false;

}  // namespace detail

/// Whether the calling thread holds the interpreter lock. Inside a guard the
/// guard decides; elsewhere a thread holds the lock exactly when it has an
/// interpreter thread state: Python threads run the binding's code only with
/// the lock (every release of it goes through ReleaseGil), and the core's own
/// threads have a thread state only inside EnsureGil, except a worker with a
/// WorkerGil, whose lock_state is always known. (PyGILState_Check is not part
/// of the 3.11 limited API.) A thread that the interpreter is ending holds
/// nothing (see lock_lost()). Callable without the lock.
inline bool lock_held() {
  if (lock_lost()) return false;
  switch (detail::lock_state) {
    case detail::LockState::kHeld: return true;
    case detail::LockState::kReleased: return false;
    case detail::LockState::kUnknown: break;
  }
  return PyGILState_GetThisThreadState() != nullptr;
}

/// Drops one reference from any thread: at once when the calling thread holds
/// the interpreter lock, otherwise through release_later().
inline void release(PyObject* obj) {
  if (!obj) return;
  if (lock_held()) {
    Py_DECREF(obj);
  } else {
    release_later(obj);
  }
}

/// One owned reference to a Python object (or none). Creating or copying a
/// reference needs the interpreter lock; destroying one does not: without the
/// lock the release is queued (see release()). Move-only; wrap it in a
/// std::shared_ptr where a copyable holder is needed (std::function).
class Ref {
 public:
  Ref() = default;
  /// Takes over a new reference (nullptr gives an empty Ref).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  /// Adds a reference to a borrowed object. Needs the lock.
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      if (old) release(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (obj_) release(obj_);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  /// Gives the reference to the caller (who must release it) and empties this.
  PyObject* take() { return std::exchange(obj_, nullptr); }
  /// Drops the reference now; see release().
  void reset() {
    if (PyObject* old = std::exchange(obj_, nullptr)) release(old);
  }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}

  PyObject* obj_ = nullptr;
};

/// Releases the interpreter lock for its lifetime (Py_BEGIN/END_ALLOW_THREADS)
/// around core calls that may block. Nothing inside may touch a Python object
/// except through EnsureGil.
class ReleaseGil {
 public:
  ReleaseGil() : previous_(std::exchange(detail::lock_state, detail::LockState::kReleased)), saved_(PyEval_SaveThread()) {}
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;
  // Once the interpreter finalizes, PyEval_RestoreThread ends a daemon thread
  // with a forced unwind; a noexcept destructor would turn that into
  // std::terminate and take the whole process down. A thread already being
  // unwound that way does not ask again.
  ~ReleaseGil() noexcept(false) {
    if (!detail::unwound_by_interpreter) PyEval_RestoreThread(saved_);
    detail::lock_state = previous_;
  }

 private:
  detail::LockState previous_;
  PyThreadState* saved_;
};

/// Sets the exception that was set at construction aside for the scope's
/// lifetime and sets it again at the end: a finalizer leaves the error
/// state as it found it, whatever the calls it makes do.
class SavedError {
 public:
  SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { PyErr_Restore(type_, value_, traceback_); }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

/// Takes the interpreter lock for its lifetime on any thread (PyGILState_Ensure),
/// also on one that holds it already, and then drops the references queued by
/// other threads, unless `drain_queued` is false (the interrupt check, which
/// runs inside the core's waits, where no Python code may run: a release may
/// run a finalizer). Once the interpreter has begun to finalize it takes nothing
/// (a thread that asks for the lock then may be ended by the interpreter):
/// acquired() is false, and the caller must not touch Python and should fail.
class EnsureGil {
 public:
  explicit EnsureGil(bool drain_queued = true) {
    // Counted before the flag is read: see detail::foreign_gil_users.
    foreign_ = detail::worker_thread || PyGILState_GetThisThreadState() == nullptr;
    count(1);
    if (finalizing()) {
      count(-1);
      return;
    }
    state_ = PyGILState_Ensure();
    previous_ = std::exchange(detail::lock_state, detail::LockState::kHeld);
    acquired_ = true;
    if (drain_queued) drain_releases();
  }
  EnsureGil(const EnsureGil&) = delete;
  EnsureGil& operator=(const EnsureGil&) = delete;
  ~EnsureGil() {
    if (!acquired_) return;
    detail::lock_state = previous_;
    if (lock_lost()) {
      // The interpreter ended this thread inside a Python call and is
      // unwinding it: the lock is not ours to give back.
      detail::unwound_by_interpreter = true;
    } else {
      PyGILState_Release(state_);
    }
    count(-1);
  }

  bool acquired() const { return acquired_; }

 private:
  void count(long delta) {
    if (foreign_) {
      detail::own_foreign_gil_users += delta;
      detail::foreign_gil_users.fetch_add(delta, std::memory_order_seq_cst);
    } else {
      detail::own_python_gil_users += delta;
      detail::python_gil_users.fetch_add(delta, std::memory_order_seq_cst);
    }
  }

  bool acquired_ = false;
  bool foreign_ = false;
  PyGILState_STATE state_{};
  detail::LockState previous_ = detail::LockState::kUnknown;
};

}  // namespace sigtap::py
