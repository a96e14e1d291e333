// Heap allocation counting for the benchmarks: a replacement operator new.
// Include it from exactly one file of a benchmark program.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace sigtap::bench {

/// Every allocation of the calling thread; per thread, so counting costs no
/// locked instruction.
inline thread_local std::uint64_t t_allocations = 0;
/// Allocations made inside a Counted scope, on any thread.
inline std::atomic<std::uint64_t> g_counted{0};
inline thread_local bool t_counting = false;

/// Counts the calling thread's allocations into g_counted while it lives.
class Counted {
 public:
  Counted() : previous_(std::exchange(t_counting, true)) {}
  ~Counted() { t_counting = previous_; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  bool previous_;
};

}  // namespace sigtap::bench

// GCC pairs the replacement's malloc/free with new/delete and warns about
// a mismatch that is the whole point of a replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++sigtap::bench::t_allocations;
  if (sigtap::bench::t_counting) sigtap::bench::g_counted.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
