// Periodic senders: a fixed-rate send loop on its own thread, steered through a shared state.
#include "core/periodic.hpp"

#include <sys/prctl.h>

#include <utility>

#include "core/thread.hpp"

namespace sigtap {
namespace {

// The earlier of two instants where "none" means never.
std::optional<Instant> earliest(std::optional<Instant> a, std::optional<Instant> b) {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

// The text of a failed send, formatted before the state lock is taken again
// so that no foreign code ever runs under it; nothing for a success, or when
// even that text cannot be allocated.
std::unique_ptr<const std::string> failure_text(const Status& sent) noexcept {
  if (sent.ok()) return nullptr;
  try {
    return std::make_unique<const std::string>(sent.error().fmt());
  } catch (const std::exception&) {
    return nullptr;
  }
}

// The body of the sender thread. Everything it touches is owned here (the
// channel reference, the shared state, the finished flag), so the handle may
// be gone while it runs (a handle stopped from this very thread detaches it).
void send_loop(Channel& channel, channel::Shared& shared, std::optional<Duration> duration,
               const std::stop_token& stop) {
  // The kernel may put off a thread's timed wake-up by its timer slack (50 us
  // by default) to batch wake-ups: that would come on top of every send's
  // lateness. A failure only costs that precision.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const Instant start = Clock::now();
  // An end or a next send instant that cannot be represented is never reached.
  const std::optional<Instant> end = duration ? deadline_after(start, *duration) : std::nullopt;
  std::optional<Instant> next = start;

  channel::State& state = shared.state;
  std::unique_lock lock(shared.mutex);
  while (!state.stopped) {
    if (channel.closed()) break;
    const Instant now = Clock::now();
    if (end && now >= *end) break;
    if (!next || now < *next) {
      // Closing the channel does not wake us: the close is noticed at the
      // next due send at the latest.
      if (std::optional<Instant> wake = earliest(next, end)) {
        shared.cv.wait_until(lock, *wake);
      } else {
        shared.cv.wait(lock);
      }
      continue;
    }

    // The copy is taken under the lock so that update() never tears a send;
    // the lock is released for the send itself because the codec and the
    // transport may block (or need the interpreter lock, for Python plug-ins).
    Status sent;
    try {
      Message copy = state.message;
      lock.unlock();
      sent = channel.send(copy);
    } catch (const std::exception&) {
      // A failed allocation (the copy of a large message, or the transport's
      // copy of it for each receiver) fails this send, as any send error does.
      sent = caught_error();
    }
    // A stop is not an error: a send it cut short (a wait for a busy codec or
    // a slow peer) is no failure to report.
    if (!sent.ok() && stop.stop_requested()) break;
    std::unique_ptr<const std::string> failure = failure_text(sent);
    if (!lock.owns_lock()) lock.lock();
    if (sent.ok()) {
      ++state.sent_count;
    } else if (failure) {
      state.last_error = std::move(failure);
    }

    // Fixed rate: the grid comes from the start, not from the end of the
    // send; a sender more than one period behind starts again from now
    // instead of sending a burst.
    const Duration period = state.period;
    const std::optional<Instant> candidate = deadline_after(*next, period);
    if (!candidate) {
      next.reset();
    } else {
      const Instant after = Clock::now();
      const std::optional<Instant> limit = deadline_after(*candidate, period);
      next = (limit && after > *limit) ? after : *candidate;
    }
  }
  if (!lock.owns_lock()) lock.lock();
  state.stopped = true;
}

}  // namespace

Result<std::unique_ptr<Periodic>> Channel::every(Duration period, Message message, std::optional<Duration> duration) {
  if (period.is_zero()) return Error::config("the period must be positive");
  if (message.name) {
    // A message the codec refuses would only fail on every send: refuse it now.
    auto check = inner_->encode(message);
    if (!check.ok()) return std::move(check).error();
  }

  auto shared = std::make_shared<channel::Shared>();
  shared->state.message = std::move(message);
  shared->state.period = period;
  std::unique_ptr<Periodic> periodic(new Periodic(shared, inner_));

  SIGTAP_TRY(periodic->worker_.start("sigtap-periodic", [channel = *this, shared, duration](std::stop_token stop) mutable {
    // Moved in so that the channel is released before the thread reports its end.
    Channel own = std::move(channel);
    send_loop(own, *shared, duration, stop);
  }));
  return periodic;
}

Periodic::Periodic(std::shared_ptr<channel::Shared> shared, std::weak_ptr<Inner> inner)
    : shared_(std::move(shared)), worker_(std::move(inner)) {}

Periodic::~Periodic() {
  request_stop();  // the worker's end then waits for the thread
}

std::unique_lock<std::mutex> Periodic::state_lock() const {
  if (!worker_.in_this_process()) return {};
  return std::unique_lock(shared_->mutex);
}

Status Periodic::set_period(Duration period) {
  if (period.is_zero()) return Error::config("the period must be positive");
  {
    auto lock = state_lock();
    shared_->state.period = period;
  }
  shared_->cv.notify_all();
  return {};
}

void Periodic::update(Message message) {
  // In a forked child nobody sends it, and the message there may be one the
  // vanished sender was copying.
  if (!worker_.in_this_process()) return;
  {
    std::lock_guard lock(shared_->mutex);
    std::swap(shared_->state.message, message);
  }
  // The old message is dropped here, outside the state lock.
}

void Periodic::request_stop() {
  // In a forked child the state lock may be held by the vanished sender.
  if (!worker_.in_this_process()) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->state.stopped = true;
  }
  shared_->cv.notify_all();
  worker_.request_stop();  // a send it is blocked in
}

Status Periodic::stop_and_join() {
  request_stop();
  return worker_.stop_and_join();
}

void Periodic::stop_and_detach() {
  request_stop();
  worker_.stop_and_detach();
}

bool Periodic::is_running() const {
  if (!worker_.running()) return false;
  std::lock_guard lock(shared_->mutex);
  return !shared_->state.stopped;
}

std::optional<std::string> Periodic::last_error() const {
  auto lock = state_lock();
  const std::unique_ptr<const std::string>& error = shared_->state.last_error;
  if (!error) return std::nullopt;
  return *error;
}

std::uint64_t Periodic::sent_count() const {
  auto lock = state_lock();
  return shared_->state.sent_count;
}

Duration Periodic::period() const {
  auto lock = state_lock();
  return shared_->state.period;
}

}  // namespace sigtap
