// Worker threads: started with a stop source and a finished flag, joined or detached once, never touched across a fork.
#include "core/worker.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "core/channel.hpp"
#include "core/interrupt.hpp"
#include "core/thread.hpp"

namespace sigtap {
namespace {

// The handles of threads that a forked child inherited but does not have:
// neither joinable nor detachable there, and a joinable std::thread must not
// be destroyed, so they are kept, unused, until the process ends.
void keep_forever(std::thread thread) {
  static auto* orphans = new std::vector<std::thread>;
  static std::mutex* mutex = new std::mutex;
  std::lock_guard lock(*mutex);
  orphans->push_back(std::move(thread));
}

}  // namespace

Worker::~Worker() {
  InterruptScope deaf(nullptr);
  (void)stop_and_join();
}

Status Worker::start(std::string_view name, std::function<void(std::stop_token)> body) {
  pid_ = ::getpid();
  auto run = [body = std::move(body), finished = finished_, token = stop_.get_token()]() mutable {
    {
      StopScope stop(token);
      body(token);
    }
    {
      std::lock_guard lock(finished->mutex);
      finished->done = true;
    }
    finished->cv.notify_all();
  };
  SIGTAP_ASSIGN_OR_RETURN(std::thread thread, spawn_thread(name, std::move(run)));
  std::lock_guard lock(mutex_);
  thread_ = std::move(thread);
  return {};
}

std::optional<std::thread> Worker::take_thread() {
  if (!in_this_process()) {
    // The handle's own lock may have been held by a thread of the parent.
    if (pid_ != 0 && thread_) keep_forever(std::exchange(thread_, std::nullopt).value());
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  return std::exchange(thread_, std::nullopt);
}

bool Worker::must_not_wait(const std::thread& thread) const {
  if (thread.get_id() == std::this_thread::get_id()) return true;
  std::shared_ptr<Inner> in = inner_.lock();
  return in && in->codec_held_by_current_thread();
}

bool Worker::finished() const {
  std::lock_guard lock(finished_->mutex);
  return finished_->done;
}

Status Worker::stop_and_join() {
  if (in_this_process()) request_stop();
  std::optional<std::thread> thread = take_thread();
  if (!thread) return {};
  if (must_not_wait(*thread)) {
    thread->detach();
    return {};
  }
  // Only the caller can end this wait: the thread's end is what it waits
  // for, and the waiting thread's own stop does not make that come sooner.
  const WaitEnd end = wait_interruptibly(std::nullopt, Interrupts::kCallerOnly, [this](Clock::duration slice) {
    std::unique_lock lock(finished_->mutex);
    return finished_->cv.wait_for(lock, slice, [this] { return finished_->done; });
  });
  if (end != WaitEnd::kReady) {
    // Put back for a later stop (or the handle's end) to wait for.
    std::lock_guard lock(mutex_);
    thread_ = std::move(thread);
    return Error::io_errno(EINTR);
  }
  thread->join();
  return {};
}

void Worker::stop_and_detach() {
  if (in_this_process()) request_stop();
  std::optional<std::thread> thread = take_thread();
  if (!thread) return;
  if (finished() && !must_not_wait(*thread)) {
    thread->join();
  } else {
    thread->detach();
  }
}

bool Worker::running() const {
  if (!in_this_process()) return false;
  std::lock_guard lock(mutex_);
  return thread_.has_value() && !finished();
}

}  // namespace sigtap
