// Subscriptions: a receive loop on its own thread, with a growing wait after receive errors.
#include "core/subscription.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "core/interrupt.hpp"
#include "core/thread.hpp"

namespace sigtap {
namespace {

// How long one receive waits: a stop wakes it at once where the transport
// waits on a queue (mem://, tcp://), else it is noticed within its slice.
constexpr Duration kReceiveSlice = Duration::from_millis(50);
constexpr Duration kFirstBackoff = Duration::from_millis(10);
constexpr Duration kMaxBackoff = Duration::from_millis(1000);

// The wait after the next error of a run: doubled, at least 10 ms, at most 1 s.
Duration next_backoff(Duration backoff) {
  Duration doubled = to_duration(backoff.to_clock() * 2);
  return std::clamp(doubled, kFirstBackoff, kMaxBackoff);
}

// The body of the receive thread; it owns the channel reference, the flag and
// the callback, so the handle may go away while it runs.
void receive_loop(Channel& channel, const std::stop_token& stop, SubscriptionCallback& callback,
                  const std::function<void()>& before_wait) {
  if (stop.stop_requested()) return;
  auto about_to_wait = [&before_wait] {
    if (before_wait) before_wait();
  };
  // A run of errors is slowed down (a transport failing at once on every
  // receive must not spin); any message or quiet slice starts again from zero.
  Duration backoff{};
  for (;;) {
    // What is ready already is taken without waiting, so a callback that
    // holds on to something between items (the interpreter lock) keeps it
    // for a whole run of them.
    Result<std::optional<Message>> received = std::optional<Message>{};
    try {
      received = channel.try_recv();
      if (received.ok() && !received.value()) {
        about_to_wait();
        received = channel.recv(kReceiveSlice);
      }
    } catch (const std::exception&) {
      // A failed allocation in the receive or the decode is an error of
      // this receive, handed over as any other.
      received = caught_error();
    }
    // A stop is not an error: a receive it cut short (a wait for a busy
    // codec) hands nothing over.
    if (!received.ok() && !received.error().is_closed() && stop.stop_requested()) return;
    if (received.ok()) {
      std::optional<Message>& message = received.value();
      if (message) {
        if (!callback(std::move(*message))) return;
      }
      backoff = Duration{};
    } else if (received.error().is_closed()) {
      // The end, whether the channel was closed or the transport ran dry:
      // delivered once, and the answer does not matter.
      callback(std::move(received).error());
      return;
    } else {
      if (!callback(std::move(received).error())) return;
      about_to_wait();
      sleep_interruptibly(deadline_after(backoff));
      backoff = next_backoff(backoff);
    }
    if (stop.stop_requested()) return;
  }
}

}  // namespace

Result<std::unique_ptr<Subscription>> Channel::subscribe(SubscriptionCallback callback,
                                                          std::function<void()> before_wait) {
  if (closed()) return Error::closed();
  std::unique_ptr<Subscription> subscription(new Subscription(inner_));
  SIGTAP_TRY(subscription->worker_.start(
      "sigtap-subscription", [channel = *this, callback = std::move(callback),
                              before_wait = std::move(before_wait)](std::stop_token stop) mutable {
        // Moved in so that the channel and the callbacks are released before
        // the thread reports its end.
        Channel own_channel = std::move(channel);
        SubscriptionCallback own_callback = std::move(callback);
        std::function<void()> own_before_wait = std::move(before_wait);
        receive_loop(own_channel, stop, own_callback, own_before_wait);
        if (own_before_wait) own_before_wait();
      }));
  return subscription;
}

Subscription::~Subscription() = default;  // the worker's end stops it

// The receive loop and a send its callback is blocked in both end on it.
void Subscription::request_stop() { worker_.request_stop(); }

Status Subscription::stop_and_join() { return worker_.stop_and_join(); }

void Subscription::stop_and_detach() { worker_.stop_and_detach(); }

bool Subscription::is_running() const { return worker_.running(); }

}  // namespace sigtap
