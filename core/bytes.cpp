// The slow paths of Bytes: growth, and moves between in-place and heap storage.
#include "core/bytes.hpp"

#include <utility>

namespace sigtap {

void Bytes::free_heap() noexcept { ::operator delete(heap_); }

Bytes& Bytes::operator=(const Bytes& other) {
  if (this == &other) return *this;
  if (other.size_ > capacity_) {
    Bytes fresh(other);
    return *this = std::move(fresh);
  }
  copy_from(other);
  return *this;
}

std::size_t Bytes::next_capacity(std::size_t needed) const {
  if (needed > max_size()) throw std::bad_alloc();
  return std::max(needed, capacity_ <= max_size() / 2 ? capacity_ * 2 : max_size());
}

void Bytes::grow_filled(std::size_t n, std::uint8_t value) {
  reallocate(next_capacity(n));
  std::memset(heap_ + size_, value, n - size_);
  size_ = n;
}

void Bytes::reallocate(std::size_t capacity) {
  if (capacity <= kInline) {
    if (!on_heap()) return;
    std::uint8_t* const old = heap_;  // the bytes moving in place overwrite it
    std::memcpy(inline_, old, size_);
    ::operator delete(old);
    capacity_ = kInline;
    return;
  }
  auto* fresh = static_cast<std::uint8_t*>(::operator new(capacity));
  if (size_ != 0) std::memcpy(fresh, ptr(), size_);
  if (on_heap()) free_heap();
  heap_ = fresh;
  capacity_ = capacity;
}

Bytes Bytes::grown_by(std::size_t extra) const {
  if (extra > max_size() - size_) throw std::bad_alloc();
  Bytes grown;
  grown.reallocate(next_capacity(size_ + extra));
  grown.copy_from(*this);
  return grown;
}

}  // namespace sigtap
