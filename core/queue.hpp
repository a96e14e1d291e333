// A bounded blocking FIFO of packets between the threads that deliver packets
// and the thread that receives them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "core/duration.hpp"
#include "core/fork_guard.hpp"
#include "core/message.hpp"
#include "core/result.hpp"

namespace sigtap {

/// Holds at most kCapacity packets and about a byte budget of packet data,
/// so a producer that outruns its receiver never makes memory grow without
/// limit: push() drops the oldest packets, push_waiting() and a Producer
/// wait for room. Packets queued before close are still handed out. In a
/// forked child it works again (see ForkLocks) with what it held at the fork.
class Queue final : private ForkLocks {
  // What one fair producer has queued (see Producer).
  struct Share;

 public:
  static constexpr std::size_t kCapacity = 65536;
  /// The packet data a queue holds before it counts as full.
  static constexpr std::size_t kByteBudget = std::size_t{64} << 20;
  /// The data try_pop_many() takes out in one run at most, so what a
  /// receiver holds beside the queue stays small next to the budget.
  static constexpr std::size_t kRunBytes = std::size_t{256} << 10;
  /// A fair producer holds at most this fraction (1/kShares) of kCapacity
  /// and of the byte budget.
  static constexpr std::size_t kShares = 8;

  explicit Queue(std::size_t byte_budget = kByteBudget) : byte_budget_(byte_budget) {}
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  ~Queue();

  /// Never blocks, never fails; ignored after close. Drops the oldest
  /// packets to stay within kCapacity packets and the byte budget (a packet
  /// larger than the budget is kept alone).
  void push(Packet packet);
  /// For a producer that can slow its source down instead of losing data:
  /// waits until the packet fits within kCapacity packets and the byte
  /// budget, then queues it. Producers waiting together get room in the
  /// order they came. Returns at once after close, dropping the packet.
  void push_waiting(Packet packet);

  /// A producer that waits for room before it even reads its packet (a TCP
  /// reader: what it has not read stays with the system and the peer, held
  /// back by flow control), so that waiting costs it no memory. Used by one
  /// thread at a time; must not outlive the queue, while its packets may.
  class Producer {
   public:
    /// A fair producer (one of many connections) also waits while its own
    /// queued packets fill its share (see kShares), so that other
    /// producers' packets never queue behind more than a share of its.
    /// May throw std::bad_alloc.
    Producer(Queue& queue, bool fair = false);
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;
    /// Gives back the room it holds.
    ~Producer();

    /// Waits as push_waiting() does until a packet of `size` bytes fits
    /// (and, fair, fits in its share; a producer with nothing queued always
    /// may queue one), then holds that room for it; false once the queue is
    /// closed.
    bool reserve(std::size_t size);
    /// reserve() without waiting: holds the room and returns true only when
    /// it is free now and no other producer waits for room before it; false
    /// otherwise (also once closed), holding nothing.
    bool try_reserve(std::size_t size);
    /// Queues the packet, at most as large as the room held, in that room,
    /// and wakes a receiver that waits for it.
    void push(Packet packet);
    /// push() for a producer that reads on at once: under the same hold of
    /// the lock it also tries to hold room for `next` bytes, as try_reserve()
    /// does, and returns whether it holds it. With `defer_wake` a receiver
    /// that waits is woken only when this producer next waits, cancels,
    /// pushes without deferring or ends, so that a burst costs one wake-up.
    bool push_and_reserve(Packet packet, std::size_t next, bool defer_wake);
    /// Gives the room held back, unused (and wakes a receiver a push left
    /// waiting).
    void cancel();

   private:
    // Under the queue lock: the room for `size` bytes if it is free now and
    // no other producer waits before this one.
    bool take_room(std::size_t size);
    // Wakes a receiver that a deferred push left waiting.
    void wake_deferred();

    Queue& queue_;
    Share* share_ = nullptr;
    std::optional<std::size_t> held_;
    // Packets pushed with a receiver waiting and no wake-up yet.
    std::size_t wakes_deferred_ = 0;
  };
  /// The oldest packet; nothing when `timeout` passes first (no limit when
  /// absent; zero polls) or the calling worker thread is asked to stop
  /// (interrupt.hpp), which wakes the wait at once; Error::Closed once
  /// closed and empty.
  Result<std::optional<Packet>> pop(std::optional<Duration> timeout);
  /// The oldest packet if one is queued, else nothing (also once closed):
  /// never waits and never reads the clock.
  std::optional<Packet> try_pop();
  /// try_pop() for a run, under one hold of the lock: the oldest packet,
  /// with up to `more` of the next appended to `rest`, stopping early once
  /// about kRunBytes of data are taken.
  std::optional<Packet> try_pop_many(std::vector<Packet>& rest, std::size_t more);
  /// Wakes every waiter; idempotent.
  void close();
  /// Drops every queued packet; the closed flag is unchanged.
  void clear();
  /// Number of queued packets.
  std::size_t size() const;
  /// Bytes of packet data queued.
  std::size_t bytes() const;
  /// Changes the byte budget (tests use small ones); applies to later pushes.
  void set_byte_budget(std::size_t bytes);

 private:
  // A ring buffer that grows by doubling up to kCapacity: packets are moved
  // in and out, never copied, and a steady stream allocates nothing.
  Packet take_front();
  // pop() once the queue was found empty.
  Result<std::optional<Packet>> pop_waiting(std::optional<Instant> deadline);
  // A packet and the fair producer it is accounted to, if any.
  struct Slot {
    Packet packet;
    Share* share = nullptr;
  };
  // A producer waiting for room, on its own stack; linked in arrival order.
  struct Waiter {
    Waiter(std::size_t n, const Share* s) : size(n), share(s) {}
    const std::size_t size;
    const Share* const share;
    std::condition_variable cv;
    bool granted = false;
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
  };

  // Whether a packet of `size` bytes fits beside the queued packets and the
  // room already granted to producers.
  bool has_room(std::size_t size) const;
  // Takes the slot's packet off its producer's share, if it has one.
  static void unshare(Slot& slot);
  // Whether a fair producer must wait for its own packets to leave first.
  bool share_full(const Share* share, std::size_t size) const;
  void append(Packet packet, Share* share = nullptr);
  // Releases `lock`, then wakes a blocked receiver (if any).
  void wake_receiver(std::unique_lock<std::mutex>& lock);
  // Queues `w` behind the other waiting producers and waits until room for
  // its packet is granted to it (true: the room stays granted until
  // give_back()) or the queue is closed (false, and no room is held).
  bool wait_for_room(std::unique_lock<std::mutex>& lock, Waiter& w);
  // Takes back room granted for a packet of `size` bytes (its packet has
  // been appended, or will not come).
  void give_back(std::size_t size);
  // Grants room to waiting producers in arrival order, as long as the first
  // one's packet fits, and wakes only those: a packet taken wakes about one
  // producer, not every one. Producers whose share is full are passed over
  // (the room is no use to them). Called with the lock held, whenever room
  // grows.
  void grant_room();
  void unlink(Waiter& w);

  // The lock is taken around a fork. In the child the threads that waited
  // here are gone: their waits and the room granted to them are forgotten.
  void fork_prepare() override;
  void fork_parent() override;
  void fork_child() override;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Slot> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t byte_budget_;
  std::size_t bytes_ = 0;
  // Room granted to woken producers that have not queued their packet yet.
  std::size_t granted_bytes_ = 0;
  std::size_t granted_packets_ = 0;
  Waiter* first_waiter_ = nullptr;
  Waiter* last_waiter_ = nullptr;
  // Receivers blocked in pop(): a push wakes one only when there is one, so
  // a busy stream costs no wake-up per packet.
  std::size_t waiters_ = 0;
  bool closed_ = false;
  ForkGuard fork_guard_{*this, Rank::kQueue};  // last: enrolled while the rest exists
};

}  // namespace sigtap
