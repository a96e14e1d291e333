// A process-wide table from lower-cased name to factory, behind a read-write lock.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fork_guard.hpp"
#include "core/text.hpp"

namespace sigtap {

/// Factories are held by shared reference so that an open can keep the one it
/// found while a registration replaces it, and call it without the lock. Its
/// lock is taken around a fork, so a forked child can still open channels.
template <class Factory>
class Registry final : private ForkLocks {
 public:
  explicit Registry(std::vector<std::pair<std::string, Factory>> builtins) {
    for (auto& [name, f] : builtins) map_.insert_or_assign(std::move(name), std::make_shared<const Factory>(std::move(f)));
  }

  std::shared_ptr<const Factory> find(const std::string& name) const {
    std::shared_lock lock(mutex_);
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : it->second;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    {
      std::shared_lock lock(mutex_);
      out.reserve(map_.size());
      for (const auto& entry : map_) out.push_back(entry.first);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  void put(std::string_view name, Factory f) {
    auto entry = std::make_shared<const Factory>(std::move(f));
    std::shared_ptr<const Factory> replaced;  // destroyed after the lock is released
    std::unique_lock lock(mutex_);
    auto& slot = map_[ascii_lower(name)];
    replaced = std::exchange(slot, std::move(entry));
    lock.unlock();
  }

  /// "unknown WHAT "name" (known: a, b, c)"
  std::string unknown(std::string_view what, const std::string& name) const {
    std::string text = "unknown ";
    text += what;
    text += ' ';
    text += quoted(name);
    text += " (known: ";
    bool first = true;
    for (const auto& n : names()) {
      if (!first) text += ", ";
      first = false;
      text += n;
    }
    text += ')';
    return text;
  }

 private:
  void fork_prepare() override { mutex_.lock(); }
  void fork_parent() override { mutex_.unlock(); }
  // Rebuilt rather than unlocked: a read-write lock knows its writer by
  // thread number, which is new in the child.
  void fork_child() override { rebuild_in_child(mutex_); }

  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const Factory>> map_;
  ForkGuard fork_guard_{*this, Rank::kRegistry};  // last: enrolled while the rest exists
};

}  // namespace sigtap
