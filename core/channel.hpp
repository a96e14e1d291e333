// A channel: one transport composed with one codec.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <typeinfo>

#include "core/codec/codec.hpp"
#include "core/duration.hpp"
#include "core/fork_guard.hpp"
#include "core/message.hpp"
#include "core/options.hpp"
#include "core/result.hpp"
#include "core/transport/transport.hpp"

namespace sigtap {

class Periodic;
class Subscription;

/// What a subscription hands its callback: a message, a receive error, or,
/// once at the end, Error::Closed. The answer false ends the subscription.
using SubscriptionCallback = std::function<bool(Result<Message>)>;

/// The state of one channel, shared by the channel handle and by the threads
/// of its periodic senders and subscriptions. In a forked child its locks work
/// again (see ForkLocks) once the workers it inherited are stopped there.
class Inner final : private ForkLocks {
 public:
  Inner(TransportPtr transport, CodecPtr codec);
  Inner(const Inner&) = delete;
  Inner& operator=(const Inner&) = delete;

  /// Sends a message: a nameless one as its packet, a named one through the
  /// codec (under the codec lock), stopping at the first failing packet. A
  /// named message sent from inside this channel's own codec fails as encode().
  Status send(const Message& message);
  /// send() when it cannot wait: the transport sends without waiting and,
  /// for a named message, the codec lock is free. Nothing when it would
  /// have to wait (the caller then sends with send()).
  std::optional<Status> try_send(const Message& message);
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  /// Runs one encode under the codec lock (the periodic sender's test encode).
  /// Config error "the codec of this channel is in use by this thread" when
  /// called from inside this channel's own encode or decode. While another
  /// thread uses the codec it waits, in interruptible slices (interrupt.hpp):
  /// an Io error of kind Interrupted when an interrupt asks to give up.
  Result<std::vector<Packet>> encode(const Message& message);
  /// True when the calling thread holds this channel's codec lock (a Python
  /// codec or transport running inside an encode or decode): such a thread
  /// must never join a worker that may wait for that lock.
  bool codec_held_by_current_thread() const;
  /// The codec as a T, or nullptr when it is of another kind (the binding
  /// finds its Python plug-ins this way).
  template <class T>
  T* codec_as() const {
    return dynamic_cast<T*>(codec_.get());
  }
  /// The transport as a T, or nullptr when it is of another kind.
  template <class T>
  T* transport_as() const {
    return dynamic_cast<T*>(transport_.get());
  }
  /// True when received messages carry the very storage the transport read
  /// into: it reads into lent storage and the codec passes packets through.
  bool receives_into_lent_storage() const {
    return transport_->reads_into_lent_storage() && codec_->passes_packets_through();
  }

 private:
  friend class Channel;

  // A mutex with a deadline on the steady clock, made of a condition
  // variable: std::timed_mutex waits through pthread_mutex_clocklock, which
  // ThreadSanitizer does not see, so every receive would be reported as a race.
  class RecvLock {
   public:
    void lock() { try_lock_until(std::nullopt); }
    // Takes the lock only if it is free. Waits at most for the inner mutex,
    // which nobody holds across a wait.
    bool try_lock() {
      std::lock_guard lock(mutex_);
      if (holder_ != std::thread::id{}) return false;
      holder_ = std::this_thread::get_id();
      return true;
    }
    bool try_lock_until(std::optional<Instant> deadline) {
      std::unique_lock lock(mutex_);
      auto free = [this] { return holder_ == std::thread::id{}; };
      if (deadline) {
        if (!free_.wait_until(lock, *deadline, free)) return false;
      } else {
        free_.wait(lock, free);
      }
      holder_ = std::this_thread::get_id();
      return true;
    }
    void unlock() {
      {
        std::lock_guard lock(mutex_);
        holder_ = std::thread::id{};
      }
      free_.notify_one();
    }
    // In a forked child: free again, unless the forking thread holds it.
    // True when a thread that is not there held it.
    bool rebuild_in_child() {
      const bool vanished = holder_ != std::thread::id{} && holder_ != std::this_thread::get_id();
      sigtap::rebuild_in_child(mutex_);
      sigtap::rebuild_in_child(free_);
      if (vanished) holder_ = std::thread::id{};
      return vanished;
    }

   private:
    std::mutex mutex_;
    std::condition_variable free_;
    // The thread that holds the lock; none when it is free.
    std::thread::id holder_;
  };

  Status send_nameless(const Message& message);
  Status send_all(const std::vector<Packet>& packets);
  // Decodes into decoded_ (under the codec lock); the caller holds
  // recv_mutex_. When the codec stays busy until `deadline` (nothing) or the
  // thread's interrupt check asks to give up (an Io error of kind
  // Interrupted), the packet goes back to be the next one received.
  std::optional<Status> decode(Packet packet, std::optional<Instant> deadline);
  // The error of a receive or encode from inside this channel's own codec.
  static Error codec_in_use();
  // Moves the next message out of decoded_ into `out` and queues the rest
  // as pending; false when the decode gave none. The caller holds recv_mutex_.
  bool first_decoded(Message& out);
  // Moves the oldest pending message into `out`; false when none is pending.
  bool take_pending(Message& out);
  // The next packet of the run taken from the transport, taking a new run
  // when it is used up; nothing when none is waiting. The caller holds
  // recv_mutex_ and the codec lock.
  std::optional<Packet> next_ready();
  // A packet left from the last run, without asking the transport. The
  // caller holds recv_mutex_.
  std::optional<Packet> take_ready();
  // Puts a packet back in front of the run: the next receive takes it first.
  void put_back(Packet packet);

  // Around a fork the pending lock is taken, a short one. The receive and
  // codec locks are held across waits (for a packet, for the interpreter
  // lock): the child frees them when a thread that is not there held them,
  // and forgets that thread's half-done decode.
  void fork_prepare() override;
  void fork_parent() override;
  void fork_child() override;

  TransportPtr transport_;
  // Timed so that a wait for a busy codec can run interrupt checks.
  std::timed_mutex codec_mutex_;
  CodecPtr codec_;
  std::atomic<std::thread::id> codec_owner_{};
  std::mutex pending_mutex_;
  // Messages decoded but not yet received, from pending_[pending_next_] on
  // (guarded by pending_mutex_). A decode's surplus becomes the whole list
  // by a swap with decoded_, not a move per message.
  std::vector<Message> pending_;
  std::size_t pending_next_ = 0;
  // Held from the transport receive through the decode, so that concurrent
  // receivers decode the chunks of one stream in the order they arrived.
  RecvLock recv_mutex_;
  std::vector<Message> decoded_;  // guarded by recv_mutex_; reused by every decode
  // Packets taken from the transport in one run and not yet decoded
  // (guarded by recv_mutex_): ready_[ready_next_] is the oldest. They count
  // as received: a full queue drops its oldest among the rest.
  static constexpr std::size_t kRun = 64;  // packets per run at most
  std::vector<Packet> ready_;
  std::size_t ready_next_ = 0;
  std::atomic<bool> closed_{false};
  ForkGuard fork_guard_{*this, Rank::kChannel};  // last: enrolled while the rest exists
};

/// A shared handle to one channel; copies share the same state. Every
/// operation may be called from any thread.
class Channel {
 public:
  /// Opens the codec first, then the transport; the codec is dropped when
  /// the transport fails. The options configure the codec.
  static Result<Channel> open(std::string_view url, std::string_view codec, Options options);
  explicit Channel(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

  /// The next message: a surplus one from an earlier decode, else one decoded
  /// from the transport. Nothing once `timeout` passes (none waits without
  /// limit), also while another thread keeps the codec busy; Error::Closed on
  /// a closed channel or at the end of input. Called from inside this
  /// channel's own encode or decode it fails at once, as encode() does.
  Result<std::optional<Message>> recv(std::optional<Duration> timeout);
  /// A message that is ready without waiting: a surplus one, or one decoded
  /// from a packet the transport already holds (Transport::try_recv). Never
  /// waits for a lock another thread holds (the receive and codec locks are
  /// only tried), never reads the clock. Nothing when recv() would have to
  /// wait; errors as recv().
  Result<std::optional<Message>> try_recv();
  /// As try_recv(), moving the message into `out` (which nothing else may
  /// touch meanwhile) instead of returning it: true when there was one,
  /// false (with `out` unchanged) when recv() would have to wait.
  Result<bool> try_recv(Message& out);
  Status send(const Message& message) { return inner_->send(message); }
  /// Marks the channel closed and closes its transport, once; never fails.
  void close();
  bool closed() const { return inner_->closed(); }

  /// Starts a periodic sender (thread "sigtap-periodic").
  Result<std::unique_ptr<Periodic>> every(Duration period, Message message, std::optional<Duration> duration);
  /// Starts a subscription (thread "sigtap-subscription"). `before_wait`, if
  /// given, runs on that thread whenever it is about to wait (for a packet,
  /// during an error back-off) and once at its end: between two calls the
  /// callback may get a run of items that were all ready at once.
  Result<std::unique_ptr<Subscription>> subscribe(SubscriptionCallback callback,
                                                  std::function<void()> before_wait = {});

  const std::shared_ptr<Inner>& inner() const { return inner_; }

 private:
  std::shared_ptr<Inner> inner_;
};

}  // namespace sigtap
