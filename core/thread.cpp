// Named threads with blocked signals, and the error for an exception one of them caught.
#include "core/thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace sigtap {

Result<std::thread> spawn_thread(std::string_view name, std::function<void()> body) {
  // The new thread inherits the signal mask of its creator: block everything
  // (but the synchronous faults) around the creation and restore afterwards.
  sigset_t all, old;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::string short_name(name.substr(0, 15));
  Result<std::thread> out = Error::io(IoKind::Other, "thread start failed");
  try {
    std::thread t([short_name, body = std::move(body)]() mutable {
      pthread_setname_np(pthread_self(), short_name.c_str());
      body();
    });
    // Named from here too, so the name is visible as soon as the start returns.
    pthread_setname_np(t.native_handle(), short_name.c_str());
    out = std::move(t);
  } catch (const std::system_error& e) {
    out = Error::io_errno(e.code().value() ? e.code().value() : EAGAIN);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return out;
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
