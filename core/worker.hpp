// Worker: the thread behind a periodic sender or a subscription, started once, stopped once, forgotten in a forked child.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>
#include <thread>

#include "core/result.hpp"

namespace sigtap {

class Inner;

/// The handle of one worker thread of a channel. Every member may be called
/// from any thread, the worker's own included.
class Worker {
 public:
  /// `inner` is the channel the worker serves, kept only to ask who holds
  /// its codec lock.
  explicit Worker(std::weak_ptr<Inner> inner) : inner_(std::move(inner)) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  /// Stops the thread as stop_and_join() does, deaf to the caller's
  /// interrupt check: a handle that goes always waits.
  ~Worker();

  /// Starts `body` on a thread named `name` (see spawn_thread), with the
  /// thread's stop as its stop token (also the stop of the waits of the
  /// body: interrupt.hpp). Call once, before sharing the handle. Io error
  /// when the system refuses the thread.
  Status start(std::string_view name, std::function<void(std::stop_token)> body);
  /// Asks the thread to stop: its token is set and every wait of the body
  /// gives up, at once where it waits on a condition variable (an idle
  /// receive), for good.
  void request_stop() { stop_.request_stop(); }
  /// Asks the thread to stop and waits for it to end; the body must end on
  /// its stop. Does not wait on the thread itself, nor while the caller
  /// holds the channel's codec lock (the thread may be waiting for it): the
  /// thread then ends by itself, detached. The caller's interrupt check
  /// (interrupt.hpp: Ctrl-C) runs between slices of the wait and may end
  /// it: an Io error of kind Interrupted, the thread still asked to stop,
  /// and a later call waits again. Once the thread is joined or detached,
  /// later calls return at once.
  Status stop_and_join();
  /// Asks the thread to stop; joins it if its body has returned, else
  /// leaves it to end by itself, detached (the binding gives up on a thread
  /// stuck in a Python call at exit).
  void stop_and_detach();
  /// Started, neither joined nor detached, and the body has not returned.
  bool running() const;
  /// False in a process forked after the start: the thread does not exist
  /// there, and neither it nor the state it shares may be touched (a lock it
  /// held at the fork stays held for good). Stopping it then only forgets it.
  bool in_this_process() const { return pid_ == ::getpid(); }

 private:
  // Set by the thread once its body has returned.
  struct Finished {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  // Takes the thread out of the handle (nothing once joined or detached, or
  // in a forked child, where it is only forgotten).
  std::optional<std::thread> take_thread();
  // Whether the caller must not wait for the thread: it is the thread
  // itself, or holds the codec lock the thread may be waiting for.
  bool must_not_wait(const std::thread& thread) const;
  bool finished() const;

  std::weak_ptr<Inner> inner_;
  pid_t pid_ = 0;
  mutable std::mutex mutex_;
  std::optional<std::thread> thread_;
  std::shared_ptr<Finished> finished_ = std::make_shared<Finished>();
  std::stop_source stop_;
};

}  // namespace sigtap
