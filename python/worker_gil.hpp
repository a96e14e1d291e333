// The interpreter lock on a subscription's receive thread: one thread state for the thread's life, held across runs of items.
#pragma once

#include <chrono>

#include "python/py.hpp"

namespace sigtap::py {

/// The hold of one library worker thread on the interpreter lock. The thread
/// gets its own interpreter thread state on its first acquire() and keeps it
/// until the thread ends (taking and dropping the lock then costs no thread
/// state each time); the lock is kept from one item to the next while items
/// are ready, and given up before the thread waits (release()) and at least
/// every millisecond or every few hundred items (pace()). Only the owning
/// thread uses its object.
class WorkerGil {
 public:
  /// The calling thread's, made on first use. From then on the binding takes
  /// the thread to hold the lock only while this says so (see lock_held()).
  static WorkerGil& current();

  WorkerGil(const WorkerGil&) = delete;
  WorkerGil& operator=(const WorkerGil&) = delete;
  /// At the thread's end: deletes the thread state, unless the interpreter
  /// has begun to finalize (it then frees the thread state itself).
  ~WorkerGil();

  /// Takes the lock unless already held, with a thread state of `interp`
  /// made on first use, and drops the queued releases. False (nothing taken,
  /// Python must not be touched) once the interpreter has begun to finalize.
  bool acquire(PyInterpreterState* interp);
  /// Called after each item: gives the lock up once it was held for 1 ms or
  /// for 256 items, so that other threads get their turn.
  void pace();
  /// Gives the lock up if held.
  void release();

 private:
  WorkerGil();

  PyThreadState* tstate_ = nullptr;
  bool held_ = false;
  unsigned items_ = 0;
  std::chrono::steady_clock::time_point since_{};
};

}  // namespace sigtap::py
