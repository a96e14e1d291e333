// Named threads with blocked signals, and the error for an exception one of them caught.
#include "core/thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace sigtap {
namespace {

// Blocks the given signals on the calling thread for the lifetime of the
// scope, however it ends (a failed start may throw std::bad_alloc).
class SignalsBlocked {
 public:
  explicit SignalsBlocked(const sigset_t& set) { pthread_sigmask(SIG_BLOCK, &set, &old_); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Every signal but the synchronous faults.
sigset_t asynchronous_signals() {
  sigset_t all;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
  return all;
}

// What a detached thread starts with; it owns it.
struct Start {
  std::string name;
  std::function<void()> body;
};

void* run_detached(void* arg) {
  const std::unique_ptr<Start> start(static_cast<Start*>(arg));
  pthread_setname_np(pthread_self(), start->name.c_str());
  start->body();
  return nullptr;
}

}  // namespace

Result<std::thread> spawn_thread(std::string_view name, std::function<void()> body) {
  // The new thread inherits the signal mask of its creator: block everything
  // (but the synchronous faults) around the creation and restore afterwards.
  SignalsBlocked blocked(asynchronous_signals());
  std::string short_name(name.substr(0, 15));
  try {
    std::thread t([short_name, body = std::move(body)]() mutable {
      pthread_setname_np(pthread_self(), short_name.c_str());
      body();
    });
    // Named from here too, so the name is visible as soon as the start returns.
    pthread_setname_np(t.native_handle(), short_name.c_str());
    return t;
  } catch (const std::system_error& e) {
    return Error::io_errno(e.code().value() ? e.code().value() : EAGAIN);
  } catch (const std::bad_alloc&) {
    return Error::io_errno(ENOMEM);
  }
}

Status spawn_detached(std::string_view name, std::function<void()> body, std::size_t stack_size) {
  SignalsBlocked blocked(asynchronous_signals());
  std::unique_ptr<Start> start;
  try {
    start = std::make_unique<Start>(Start{std::string(name.substr(0, 15)), std::move(body)});
  } catch (const std::bad_alloc&) {
    return Error::io_errno(ENOMEM);
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, std::max<std::size_t>(stack_size, PTHREAD_STACK_MIN));
  pthread_t thread;
  // Detached, it may be gone by the time this returns: it names itself.
  const int rc = pthread_create(&thread, &attr, run_detached, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return Error::io_errno(rc);
  start.release();
  return {};
}

Error caught_error() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  } catch (const std::exception& e) {
    try {
      return Error::io(IoKind::Other, e.what());
    } catch (const std::exception&) {
    }
  }
  return Error::io(IoKind::OutOfMemory, "out of memory");
}

}  // namespace sigtap
