// The bounded packet queue.
#include "core/queue.hpp"

#include <optional>
#include <utility>

#include "core/interrupt.hpp"

namespace sigtap {
namespace {

// A push or a pop holds the lock for a few dozen instructions. A thread that
// finds it taken spins a little before it sleeps: sleeping and being woken
// cost a system call each way, far more than waiting for a push to end.
constexpr int kSpins = 100;

void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

std::unique_lock<std::mutex> lock_spinning(std::mutex& mutex) {
  for (int i = 0; i < kSpins; ++i) {
    if (mutex.try_lock()) return std::unique_lock(mutex, std::adopt_lock);
    pause_briefly();
  }
  return std::unique_lock(mutex);
}

}  // namespace

// Counts under the queue lock. Owned by its producer; once the producer is
// gone with packets still queued, by those packets: the last one taken
// frees it.
struct Queue::Share {
  std::size_t bytes = 0;
  std::size_t packets = 0;
  bool orphaned = false;

  void taken(std::size_t size) {
    bytes -= size;
    if (--packets == 0 && orphaned) delete this;
  }
};

Queue::~Queue() { clear(); }

void Queue::unshare(Slot& slot) {
  if (slot.share) std::exchange(slot.share, nullptr)->taken(slot.packet.data.size());
}

Packet Queue::take_front() {
  Slot& front = ring_[head_];
  unshare(front);
  Packet p = std::move(front.packet);
  front.packet = Packet{};
  head_ = (head_ + 1) & (ring_.size() - 1);
  --count_;
  bytes_ -= p.data.size();
  return p;
}

bool Queue::has_room(std::size_t size) const {
  // An empty queue takes any packet, however large.
  const std::size_t packets = count_ + granted_packets_;
  return packets == 0 || (packets < kCapacity && bytes_ + granted_bytes_ + size <= byte_budget_);
}

bool Queue::share_full(const Share* share, std::size_t size) const {
  return share && share->packets > 0 &&
         (share->packets >= kCapacity / kShares || share->bytes + size > byte_budget_ / kShares);
}

void Queue::unlink(Waiter& w) {
  (w.prev ? w.prev->next : first_waiter_) = w.next;
  (w.next ? w.next->prev : last_waiter_) = w.prev;
  w.prev = w.next = nullptr;
}

void Queue::grant_room() {
  // Notified under the lock: once granted, a waiter may return as soon as
  // it sees the flag, and its condition variable goes with it.
  for (Waiter* w = first_waiter_; w;) {
    Waiter* next = w->next;
    if (!share_full(w->share, w->size)) {
      if (!has_room(w->size)) return;  // the others wait behind it
      granted_bytes_ += w->size;
      ++granted_packets_;
      unlink(*w);
      w->granted = true;
      w->cv.notify_one();
    }
    w = next;
  }
}

bool Queue::wait_for_room(std::unique_lock<std::mutex>& lock, Waiter& w) {
  if (closed_) return false;
  w.prev = last_waiter_;
  (last_waiter_ ? last_waiter_->next : first_waiter_) = &w;
  last_waiter_ = &w;
  grant_room();
  while (!w.granted && !closed_) w.cv.wait(lock);
  if (!w.granted) {
    unlink(w);
    return false;
  }
  if (closed_) give_back(w.size);
  return !closed_;
}

void Queue::give_back(std::size_t size) {
  granted_bytes_ -= size;
  --granted_packets_;
  grant_room();
}

void Queue::append(Packet packet, Share* share) {
  if (count_ == ring_.size()) {
    std::vector<Slot> bigger(ring_.empty() ? 16 : ring_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = std::move(ring_[(head_ + i) & (ring_.size() - 1)]);
    ring_ = std::move(bigger);
    head_ = 0;
  }
  const std::size_t size = packet.data.size();
  if (share) {
    share->bytes += size;
    ++share->packets;
  }
  bytes_ += size;
  ring_[(head_ + count_) & (ring_.size() - 1)] = Slot{std::move(packet), share};
  ++count_;
}

void Queue::wake_receiver(std::unique_lock<std::mutex>& lock) {
  // Only a receiver blocked in pop() needs a wake-up, so a busy stream costs
  // no notification per packet.
  const bool wake = waiters_ > 0;
  lock.unlock();
  if (wake) cv_.notify_one();
}

void Queue::push(Packet packet) {
  std::unique_lock lock = lock_spinning(mutex_);
  if (closed_) {
    lock.unlock();  // the packet is released outside the lock
    return;
  }
  // Dropped packets are released under the lock: rare, and only data.
  while (count_ > 0 && !has_room(packet.data.size())) {
    Packet dropped = take_front();
    (void)dropped;
  }
  append(std::move(packet));
  wake_receiver(lock);
}

void Queue::push_waiting(Packet packet) {
  Producer producer(*this);
  // Dropped after close: released outside the lock.
  if (producer.reserve(packet.data.size())) producer.push(std::move(packet));
}

Queue::Producer::Producer(Queue& queue, bool fair) : queue_(queue), share_(fair ? new Share : nullptr) {}

Queue::Producer::~Producer() {
  cancel();
  if (!share_) return;
  std::lock_guard lock(queue_.mutex_);
  if (share_->packets == 0) {
    delete share_;
  } else {
    share_->orphaned = true;
  }
}

bool Queue::Producer::reserve(std::size_t size) {
  cancel();
  std::unique_lock lock(queue_.mutex_);
  Waiter w(size, share_);
  if (!queue_.wait_for_room(lock, w)) return false;
  held_ = size;
  return true;
}

bool Queue::Producer::take_room(std::size_t size) {
  if (queue_.closed_ || queue_.first_waiter_ || queue_.share_full(share_, size) || !queue_.has_room(size)) return false;
  queue_.granted_bytes_ += size;
  ++queue_.granted_packets_;
  held_ = size;
  return true;
}

bool Queue::Producer::try_reserve(std::size_t size) {
  cancel();
  const std::unique_lock lock = lock_spinning(queue_.mutex_);
  return take_room(size);
}

void Queue::Producer::push(Packet packet) {
  (void)push_and_reserve(std::move(packet), 0, false);
}

bool Queue::Producer::push_and_reserve(Packet packet, std::size_t next, bool defer_wake) {
  std::unique_lock lock = lock_spinning(queue_.mutex_);
  // Appended before the room is given back: a failed allocation leaves the
  // room held, for the destructor to give back. After close the packet is
  // dropped, and released outside the lock.
  if (!queue_.closed_) queue_.append(std::move(packet), share_);
  queue_.give_back(*std::exchange(held_, std::nullopt));
  const bool reserved = next > 0 && take_room(next);
  if (defer_wake) {
    wakes_deferred_ += queue_.waiters_ > 0;
    lock.unlock();
  } else {
    queue_.wake_receiver(lock);
    wake_deferred();
  }
  return reserved;
}

void Queue::Producer::wake_deferred() {
  // Without the lock: a receiver that has not begun to wait yet finds the
  // packets before it would. More than one packet may be for more than one.
  switch (std::exchange(wakes_deferred_, 0)) {
    case 0: break;
    case 1: queue_.cv_.notify_one(); break;
    default: queue_.cv_.notify_all(); break;
  }
}

void Queue::Producer::cancel() {
  wake_deferred();
  if (!held_) return;
  const std::unique_lock lock = lock_spinning(queue_.mutex_);
  queue_.give_back(*std::exchange(held_, std::nullopt));
}

std::optional<Packet> Queue::try_pop() {
  std::vector<Packet> none;  // a run of one never touches it
  return try_pop_many(none, 0);
}

std::optional<Packet> Queue::try_pop_many(std::vector<Packet>& rest, std::size_t more) {
  std::unique_lock lock = lock_spinning(mutex_);
  if (count_ == 0) return std::nullopt;
  Packet first = take_front();
  std::size_t taken_bytes = first.data.size();
  for (std::size_t i = 0; i < more && count_ > 0 && taken_bytes < kRunBytes; ++i) {
    rest.push_back(take_front());
    taken_bytes += rest.back().data.size();
  }
  grant_room();
  lock.unlock();
  return first;
}

Result<std::optional<Packet>> Queue::pop(std::optional<Duration> timeout) {
  {
    std::unique_lock lock = lock_spinning(mutex_);
    if (count_ > 0) {
      // The common case under load: no clock read, no wait.
      Packet p = take_front();
      grant_room();
      lock.unlock();
      return std::optional<Packet>(std::move(p));
    }
  }
  std::optional<Instant> deadline;
  bool forever = !timeout;
  if (timeout) {
    deadline = deadline_after(*timeout);
    forever = !deadline;  // too far away to represent: wait without limit
  }
  return pop_waiting(forever ? std::nullopt : deadline);
}

Result<std::optional<Packet>> Queue::pop_waiting(std::optional<Instant> deadline) {
  // The stop of a worker receiving here (an idle subscription) wakes it at
  // once: it then returns nothing, as at its deadline. Made before the lock
  // is taken and let go after it is released (see WakeOnStop).
  bool stopped = false;
  WakeOnStop wake([this, &stopped] {
    {
      std::lock_guard lock(mutex_);
      stopped = true;
    }
    cv_.notify_all();
  });
  std::unique_lock lock = lock_spinning(mutex_);
  for (;;) {
    if (count_ > 0) {
      Packet p = take_front();
      grant_room();
      lock.unlock();
      return std::optional<Packet>(std::move(p));
    }
    if (closed_) return Error::closed();
    if (stopped || (deadline && Clock::now() >= *deadline)) return std::optional<Packet>{};
    ++waiters_;
    if (deadline) {
      cv_.wait_until(lock, *deadline);
    } else {
      cv_.wait(lock);
    }
    --waiters_;
  }
}

void Queue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Waiter* w = first_waiter_; w; w = w->next) w->cv.notify_one();
  }
  cv_.notify_all();
}

void Queue::clear() {
  std::vector<Slot> old;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < count_; ++i) unshare(ring_[(head_ + i) & (ring_.size() - 1)]);
    old.swap(ring_);
    head_ = 0;
    count_ = 0;
    bytes_ = 0;
    grant_room();
  }
}

std::size_t Queue::size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

std::size_t Queue::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void Queue::set_byte_budget(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  byte_budget_ = bytes;
  grant_room();
}

void Queue::fork_prepare() { mutex_.lock(); }

void Queue::fork_parent() { mutex_.unlock(); }

void Queue::fork_child() {
  rebuild_in_child(cv_);
  first_waiter_ = last_waiter_ = nullptr;
  granted_bytes_ = 0;
  granted_packets_ = 0;
  waiters_ = 0;
  mutex_.unlock();
}

}  // namespace sigtap
