// The per-thread pool of read buffers: a handful of 64 KiB vectors handed round between the
// transport that reads into them and the binding that frees the messages holding them.
#include "core/chunk_pool.hpp"

#include <utility>

namespace sigtap::chunk_pool {
namespace {

// Set when the thread's pool is destroyed. Trivially destructible, so it can
// be read until the thread is gone, by destructors that run after the pool's.
thread_local bool pool_gone = false;

struct LocalPool {
  std::vector<std::vector<std::uint8_t>> kept;
  ~LocalPool() { pool_gone = true; }
};

LocalPool* local() {
  if (pool_gone) return nullptr;
  thread_local LocalPool pool;
  return &pool;
}

}  // namespace

std::vector<std::uint8_t> take() {
  LocalPool* pool = local();
  if (!pool || pool->kept.empty()) return std::vector<std::uint8_t>(kChunk);
  std::vector<std::uint8_t> data = std::move(pool->kept.back());
  pool->kept.pop_back();
  data.resize(kChunk);  // within its capacity: clears only what a short read left
  return data;
}

void give_back(std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> taken = std::move(data);
  data = {};
  if (taken.capacity() != kChunk) return;
  LocalPool* pool = local();
  if (!pool || pool->kept.size() >= kKept) return;
  if (pool->kept.capacity() < kKept) pool->kept.reserve(kKept);
  pool->kept.push_back(std::move(taken));
}

}  // namespace sigtap::chunk_pool
