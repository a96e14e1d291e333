// Locks that work again in a forked child: the objects that own them enrol here, and fork handlers go through them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace sigtap {

/// The locks of one object that a thread other than the forking one may hold
/// when the process forks. The child has only the forking thread: a lock
/// another thread held would stay held there for good, and a condition
/// variable would keep the waits of threads that are not there.
///
/// Two kinds of lock, two treatments:
/// - A short lock (held for a few instructions, never across a wait: a bus's
///   lock, a queue's lock) is taken by `fork_prepare` before the fork and
///   released by `fork_parent` and `fork_child` after it, so what it guards
///   is whole in the child.
/// - A lock held across a wait (a channel's receive lock spans the wait for a
///   packet, its codec lock a Python decode that waits for the interpreter
///   lock) cannot be taken before the fork without waiting on those waits,
///   or deadlocking on the interpreter lock the forking thread holds. The
///   child rebuilds it, free, unless the forking thread itself holds it;
///   what it guards is as the vanished holder left it. Condition variables
///   are rebuilt in the child too.
///
/// Rebuilding a mutex or a condition variable in place, without destroying
/// the old one, is sound only because the child has a single thread.
class ForkLocks {
 public:
  /// The order in which `fork_prepare` takes the locks, all of one rank
  /// before any of the next: a thread that holds a lock of one rank takes
  /// only locks of later ranks, and never holds any of them while it builds
  /// or destroys an object that enrols (enrolment takes the list's own lock,
  /// which the handlers take first).
  enum class Rank : std::uint8_t {
    kRegistry,  // the tables of transport and codec names
    kSender,    // a mem:// endpoint's send lock (taken before its bus and the queues it fills)
    kHubTable,  // the table of mem:// buses by name
    kHub,       // one mem:// bus
    kQueue,     // a packet queue
    kChannel,   // a channel's locks
  };
  static constexpr int kRanks = 6;

  /// Takes the short locks, on the thread that forks.
  virtual void fork_prepare() {}
  /// Releases them, in the parent.
  virtual void fork_parent() {}
  /// Releases them and rebuilds the rest, in the child, before fork() returns.
  virtual void fork_child() = 0;

 protected:
  ForkLocks() = default;
  ForkLocks(const ForkLocks&) = default;
  ForkLocks& operator=(const ForkLocks&) = default;
  ~ForkLocks() = default;
};

/// The enrolment of one ForkLocks object for as long as this lives. Make it
/// the owner's last member: it enrols the owner once every other member is
/// built and leaves before any is destroyed. The first enrolment installs
/// the process's fork handlers (pthread_atfork). Never throws.
class ForkGuard {
 public:
  ForkGuard(ForkLocks& owner, ForkLocks::Rank rank) noexcept;
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
  ~ForkGuard();

 private:
  friend struct ForkList;
  ForkLocks& owner_;
  const ForkLocks::Rank rank_;
  ForkGuard* prev_ = nullptr;
  ForkGuard* next_ = nullptr;
};

/// A plain mutex, for an object whose only lock is short: taken before a
/// fork and released on both sides after it. Meets BasicLockable.
class ForkSafeMutex : private ForkLocks {
 public:
  explicit ForkSafeMutex(Rank rank) noexcept : guard_(*this, rank) {}
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  void fork_prepare() override { mutex_.lock(); }
  void fork_parent() override { mutex_.unlock(); }
  void fork_child() override { mutex_.unlock(); }

  std::mutex mutex_;
  ForkGuard guard_;  // after the mutex: enrolled while it exists
};

/// Rebuilds a mutex or a condition variable in place, as new, without
/// destroying the old one (which a vanished thread may hold or wait on).
/// Only for a fork_child().
template <class T>
void rebuild_in_child(T& object) noexcept {
  std::construct_at(&object);
}

}  // namespace sigtap
