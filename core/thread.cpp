// Named threads with blocked signals.
#include "core/thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>
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

}  // namespace

Result<std::thread> spawn_thread(std::string_view name, std::function<void()> body) {
  // The new thread inherits the signal mask of its creator: block everything
  // (but the synchronous faults) around the creation and restore afterwards.
  sigset_t all;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
  SignalsBlocked blocked(all);
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

}  // namespace sigtap
