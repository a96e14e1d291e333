// The per-thread pool of read buffers: a handful of 64 KiB buffers handed round between the
// transport that reads into them and the binding that frees the messages holding them.
#include "core/chunk_pool.hpp"

#include <atomic>
#include <utility>
#include <vector>

namespace sigtap::chunk_pool {
namespace {

// Set when the thread's pool is destroyed. Trivially destructible, so it can
// be read until the thread is gone, by destructors that run after the pool's.
thread_local bool pool_gone = false;

struct LocalPool {
  std::vector<Bytes> kept;
  ~LocalPool() { pool_gone = true; }
};

LocalPool* local() {
  if (pool_gone) return nullptr;
  thread_local LocalPool pool;
  return &pool;
}

// Read by every take(); set once by the binding.
std::atomic<Lender> installed_lender{nullptr};

}  // namespace

void set_lender(Lender lender) { installed_lender.store(lender, std::memory_order_release); }

Bytes take() {
  if (Lender lender = installed_lender.load(std::memory_order_acquire)) {
    Bytes lent = lender();
    if (lent.capacity() >= kChunk) {
      lent.resize_for_overwrite(kChunk);
      return lent;
    }
  }
  Bytes data;
  if (LocalPool* pool = local(); pool && !pool->kept.empty()) {
    data = std::move(pool->kept.back());
    pool->kept.pop_back();
  }
  data.resize_for_overwrite(kChunk);
  return data;
}

void give_back(Bytes& data) {
  Bytes taken = std::move(data);
  if (taken.capacity() != kChunk || taken.adopted()) return;
  LocalPool* pool = local();
  if (!pool || pool->kept.size() >= kKept) return;
  if (pool->kept.capacity() < kKept) pool->kept.reserve(kKept);
  pool->kept.push_back(std::move(taken));
}

}  // namespace sigtap::chunk_pool
