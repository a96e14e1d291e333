// A byte string that keeps up to 64 bytes (the largest CAN FD frame) in place, so a frame costs no heap allocation.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

namespace sigtap {

/// Owned bytes with the interface of std::vector<std::uint8_t> (iterators are
/// pointers). Up to kInline bytes live inside the object; more live on the
/// heap, and the only exception any member throws is std::bad_alloc. Any
/// growth invalidates pointers into it; a moved-from Bytes is empty.
class Bytes {
 public:
  using value_type = std::uint8_t;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = std::uint8_t&;
  using const_reference = const std::uint8_t&;
  using pointer = std::uint8_t*;
  using const_pointer = const std::uint8_t*;
  using iterator = std::uint8_t*;
  using const_iterator = const std::uint8_t*;

  /// The most bytes held without a heap allocation.
  static constexpr std::size_t kInline = 64;

  Bytes() noexcept {}
  /// `n` zero bytes.
  explicit Bytes(std::size_t n) { resize(n); }
  Bytes(std::size_t n, std::uint8_t value) { resize(n, value); }
  template <std::input_iterator It>
  Bytes(It first, It last) {
    append_range(first, last);
  }
  Bytes(std::initializer_list<std::uint8_t> bytes) { append(bytes.begin(), bytes.size()); }
  /// Copies; implicit so that code that builds a vector can hand it over.
  Bytes(const std::vector<std::uint8_t>& bytes) { append(bytes.data(), bytes.size()); }
  explicit Bytes(std::span<const std::uint8_t> bytes) { append(bytes.data(), bytes.size()); }

  /// Allocates exactly the bytes held when they do not fit in place.
  Bytes(const Bytes& other) {
    reserve(other.size_);
    copy_from(other);
  }
  Bytes(Bytes&& other) noexcept { take(other); }
  Bytes& operator=(const Bytes& other);
  Bytes& operator=(Bytes&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  Bytes& operator=(std::initializer_list<std::uint8_t> bytes) {
    assign(bytes.begin(), bytes.end());
    return *this;
  }
  ~Bytes() { release(); }

  /// Bytes in storage that another layer owns (the Python binding lends the
  /// storage of a bytes object, so that a read lands where `.data` needs it):
  /// `size` bytes of `capacity` (more than kInline) at `storage`. The storage
  /// is read-only from here on: it belongs to an immutable Python bytes
  /// object, which `.data` may already have handed out. Every member that
  /// writes (the non-const accessors, resize, push_back, append, insert,
  /// assign, copy assignment) first moves the bytes to storage of its own.
  /// `release(context)` runs once when the storage is let go: on
  /// destruction, or when the bytes move to storage of their own, on
  /// whatever thread that happens.
  static Bytes adopt(std::uint8_t* storage, std::size_t size, std::size_t capacity, void (*release)(void*),
                     void* context) noexcept {
    Bytes bytes;
    bytes.heap_ = Heap{storage, release, context};
    bytes.capacity_ = capacity;
    bytes.size_ = size;
    return bytes;
  }
  /// Whether the storage is adopted (see adopt()).
  bool adopted() const noexcept { return on_heap() && heap_.release; }
  /// The context of adopted storage given back through `release`; nullptr
  /// for any other storage.
  void* adopted_context(void (*release)(void*)) const noexcept {
    return adopted() && heap_.release == release ? heap_.context : nullptr;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  static constexpr std::size_t max_size() noexcept { return PTRDIFF_MAX; }
  /// The non-const accessors move adopted bytes to storage of their own first.
  std::uint8_t* data() {
    make_writable(0);
    return ptr();
  }
  const std::uint8_t* data() const noexcept { return ptr(); }
  std::uint8_t* begin() { return data(); }
  std::uint8_t* end() { return data() + size_; }
  const std::uint8_t* begin() const noexcept { return data(); }
  const std::uint8_t* end() const noexcept { return data() + size_; }
  /// Unchecked, like the other element accessors.
  std::uint8_t& operator[](std::size_t i) { return data()[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return ptr()[i]; }
  std::uint8_t& front() { return data()[0]; }
  const std::uint8_t& front() const noexcept { return ptr()[0]; }
  std::uint8_t& back() { return data()[size_ - 1]; }
  const std::uint8_t& back() const noexcept { return ptr()[size_ - 1]; }

  /// New bytes are zero.
  void resize(std::size_t n) { resize(n, 0); }
  /// New bytes are `value`.
  void resize(std::size_t n, std::uint8_t value) {
    if (n > size_) make_writable(n);
    if (n > capacity_) return grow_filled(n, value);
    if (n > size_) std::memset(ptr() + size_, value, n - size_);
    size_ = n;
  }
  /// As resize, but new bytes are left as they are (whatever the storage last
  /// held): for a caller about to write all of them, such as a read.
  void resize_for_overwrite(std::size_t n) {
    make_writable(n);
    if (n > capacity_) reallocate(next_capacity(n));
    size_ = n;
  }
  /// Capacity of at least `n`, exactly `n` if it has to grow.
  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  /// Keeps the storage.
  void clear() noexcept { size_ = 0; }
  /// Gives back unused heap storage; bytes that fit move back in place.
  void shrink_to_fit() {
    if (on_heap() && size_ < capacity_) reallocate(size_);
  }

  void push_back(std::uint8_t value) {
    make_writable(size_ + 1);
    if (size_ == capacity_) reallocate(next_capacity(size_ + 1));
    ptr()[size_++] = value;
  }
  /// `bytes` may point into this object.
  void append(const std::uint8_t* bytes, std::size_t n) {
    if (n != 0) append_with(n, [&](std::uint8_t* to) { std::memcpy(to, bytes, n); });
  }
  /// The range may lie inside this object.
  template <std::input_iterator It>
  std::uint8_t* insert(const std::uint8_t* pos, It first, It last) {
    const auto at = static_cast<std::size_t>(pos - ptr());
    const std::size_t old = size_;
    append_range(first, last);
    std::uint8_t* p = data();  // adopted bytes (when nothing was appended) move here
    std::rotate(p + at, p + old, p + size_);
    return p + at;
  }
  template <std::input_iterator It>
  void assign(It first, It last) {
    if constexpr (kCopiesAsBytes<It>) {
      // The source may be our own bytes: move them down rather than copy.
      const auto n = static_cast<std::size_t>(last - first);
      const auto* from = reinterpret_cast<const std::uint8_t*>(std::to_address(first));
      if (n > capacity_ || adopted()) {
        Bytes fresh(from, from + n);
        *this = std::move(fresh);
        return;
      }
      if (n != 0) std::memmove(ptr(), from, n);
      size_ = n;
    } else {
      Bytes fresh(first, last);
      *this = std::move(fresh);
    }
  }
  void assign(std::size_t n, std::uint8_t value) {
    clear();
    resize(n, value);
  }

  friend bool operator==(const Bytes& a, const Bytes& b) noexcept { return equal(a, b.data(), b.size()); }
  friend bool operator==(const Bytes& a, const std::vector<std::uint8_t>& b) noexcept {
    return equal(a, b.data(), b.size());
  }

 private:
  template <typename It>
  static constexpr bool kCopiesAsBytes =
      std::contiguous_iterator<It> && std::is_integral_v<std::iter_value_t<It>> && sizeof(std::iter_value_t<It>) == 1;

  bool on_heap() const noexcept { return capacity_ > kInline; }
  std::uint8_t* ptr() noexcept { return on_heap() ? heap_.ptr : inline_; }
  const std::uint8_t* ptr() const noexcept { return on_heap() ? heap_.ptr : inline_; }
  // Before a write: adopted bytes move to storage of their own, with room
  // for `capacity` (at least their size).
  void make_writable(std::size_t capacity) {
    if (adopted()) [[unlikely]] reallocate(std::max(capacity, size_));
  }
  static bool equal(const Bytes& a, const std::uint8_t* b, std::size_t n) noexcept {
    return a.size_ == n && (n == 0 || std::memcmp(a.ptr(), b, n) == 0);
  }
  // Geometric growth, so that appending a byte at a time costs amortised O(1).
  std::size_t next_capacity(std::size_t needed) const;
  // resize() past the capacity.
  void grow_filled(std::size_t n, std::uint8_t value);
  // Moves the bytes to storage of `capacity` (at least size_); in place when it fits.
  void reallocate(std::size_t capacity);
  // Frees the heap storage; the object is then empty and in place.
  void release() noexcept {
    if (on_heap()) free_heap();
    capacity_ = kInline;
    size_ = 0;
  }
  // Takes other's storage and leaves it empty. In-place bytes are copied as
  // the whole fixed-size buffer: a few vector moves, where a copy of just
  // `size_` bytes costs a length-dependent call that made a mem:// round trip
  // a sixth slower. The tail past `size_` is copied as it is, never read.
  void take(Bytes& other) noexcept {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (other.on_heap()) {
      heap_ = other.heap_;  // with its owner, if adopted
      other.capacity_ = kInline;
    } else if (size_ != 0) {
      std::memcpy(inline_, other.inline_, kInline);
    }
    other.size_ = 0;
  }
  // Needs capacity for other's bytes.
  void copy_from(const Bytes& other) noexcept {
    if (other.size_ != 0) std::memcpy(ptr(), other.ptr(), other.size_);
    size_ = other.size_;
  }
  // A copy with room for `extra` more bytes; growth goes through it so that
  // a source inside this object stays valid until it has been copied.
  Bytes grown_by(std::size_t extra) const;

  // Adds `n` bytes that `fill` writes to the given destination.
  template <typename Fill>
  void append_with(std::size_t n, Fill fill) {
    if (n <= capacity_ - size_ && !adopted()) {
      fill(ptr() + size_);
      size_ += n;
      return;
    }
    Bytes grown = grown_by(n);
    fill(grown.ptr() + size_);
    grown.size_ = size_ + n;
    *this = std::move(grown);
  }

  template <std::input_iterator It>
  void append_range(It first, It last) {
    if constexpr (kCopiesAsBytes<It>) {
      append(reinterpret_cast<const std::uint8_t*>(std::to_address(first)), static_cast<std::size_t>(last - first));
    } else if constexpr (std::forward_iterator<It>) {
      const auto n = static_cast<std::size_t>(std::distance(first, last));
      append_with(n, [&](std::uint8_t* to) {
        for (; first != last; ++first) *to++ = static_cast<std::uint8_t>(*first);
      });
    } else {
      for (; first != last; ++first) push_back(static_cast<std::uint8_t>(*first));
    }
  }

  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  // Storage on the heap: ours (no `release`), or adopted, given back
  // through `release(context)`.
  struct Heap {
    std::uint8_t* ptr;
    void (*release)(void*);
    void* context;
  };
  // Lets go of heap storage: frees ours, gives adopted storage back. Out of
  // line: inlined, it made GCC warn of frees on paths it cannot rule out.
  static void free_storage(const Heap& heap) noexcept;
  // The object must be on the heap.
  void free_heap() noexcept { free_storage(heap_); }

  union {
    Heap heap_;
    std::uint8_t inline_[kInline];
  };
};

}  // namespace sigtap
