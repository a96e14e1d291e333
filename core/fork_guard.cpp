// The process's list of ForkLocks objects and the three fork handlers that walk it.
#include "core/fork_guard.hpp"

#include <pthread.h>

#include <array>
#include <mutex>

namespace sigtap {

// One doubly linked list per rank, under one lock that the handlers hold
// from before the fork until after it, so no object enrols or leaves meanwhile.
struct ForkList {
  std::mutex mutex;
  std::array<ForkGuard*, ForkLocks::kRanks> first{};

  static void prepare() {
    ForkList& list = get();
    list.mutex.lock();
    for (ForkGuard* rank_first : list.first) {
      for (ForkGuard* g = rank_first; g; g = g->next_) g->owner_.fork_prepare();
    }
  }

  static void parent() {
    ForkList& list = get();
    for (auto rank = list.first.rbegin(); rank != list.first.rend(); ++rank) {
      for (ForkGuard* g = *rank; g; g = g->next_) g->owner_.fork_parent();
    }
    list.mutex.unlock();
  }

  static void child() {
    ForkList& list = get();
    for (auto rank = list.first.rbegin(); rank != list.first.rend(); ++rank) {
      for (ForkGuard* g = *rank; g; g = g->next_) g->owner_.fork_child();
    }
    list.mutex.unlock();  // taken by this very thread in prepare()
  }

  // Allocated once and never destroyed: objects may leave while static
  // destructors run. The handlers are installed with it, before any object
  // enrols; pthread_atfork fails only for want of memory, and a child forked
  // then is left as it would be without them.
  static ForkList& get() {
    static ForkList* list = [] {
      auto* made = new ForkList;
      (void)pthread_atfork(&ForkList::prepare, &ForkList::parent, &ForkList::child);
      return made;
    }();
    return *list;
  }
};

ForkGuard::ForkGuard(ForkLocks& owner, ForkLocks::Rank rank) noexcept : owner_(owner), rank_(rank) {
  ForkList& list = ForkList::get();
  std::lock_guard lock(list.mutex);
  ForkGuard*& first = list.first[static_cast<std::size_t>(rank_)];
  next_ = first;
  if (first) first->prev_ = this;
  first = this;
}

ForkGuard::~ForkGuard() {
  ForkList& list = ForkList::get();
  std::lock_guard lock(list.mutex);
  (prev_ ? prev_->next_ : list.first[static_cast<std::size_t>(rank_)]) = next_;
  if (next_) next_->prev_ = prev_;
}

}  // namespace sigtap
