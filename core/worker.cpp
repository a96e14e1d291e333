// Worker threads: started with a finished flag, joined or detached once, never touched across a fork.
#include "core/worker.hpp"

#include <unistd.h>

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

Status Worker::start(std::string_view name, std::function<void()> body) {
  pid_ = ::getpid();
  auto run = [body = std::move(body), finished = finished_, stopping = stopping_]() mutable {
    StopScope stop(*stopping);
    body();
    finished->store(true, std::memory_order_release);
  };
  SIGTAP_ASSIGN_OR_RETURN(std::thread thread, spawn_thread(name, std::move(run)));
  std::lock_guard lock(mutex_);
  thread_ = std::move(thread);
  return {};
}

void Worker::end(bool wait) {
  if (!in_this_process()) {
    // The handle's own lock may have been held by a thread of the parent.
    if (pid_ != 0 && thread_) keep_forever(std::exchange(thread_, std::nullopt).value());
    return;
  }
  std::optional<std::thread> thread;
  {
    std::lock_guard lock(mutex_);
    thread = std::exchange(thread_, std::nullopt);
  }
  if (!thread) return;
  interrupt();
  bool must_not_wait = thread->get_id() == std::this_thread::get_id() ||
                       (!wait && !finished_->load(std::memory_order_acquire));
  if (!must_not_wait) {
    std::shared_ptr<Inner> in = inner_.lock();
    must_not_wait = in && in->codec_held_by_current_thread();
  }
  if (must_not_wait) {
    thread->detach();
  } else {
    thread->join();
  }
}

bool Worker::running() const {
  if (!in_this_process()) return false;
  std::lock_guard lock(mutex_);
  return thread_.has_value() && !finished_->load(std::memory_order_acquire);
}

}  // namespace sigtap
