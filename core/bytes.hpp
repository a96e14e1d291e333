// Byte strings: Bytes keeps up to 64 bytes (the largest CAN FD frame) in place, so a frame costs no heap
// allocation; LentBytes reads storage that another layer lends; PacketBytes, a packet's bytes, is either.
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
#include <utility>
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

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  static constexpr std::size_t max_size() noexcept { return PTRDIFF_MAX; }
  std::uint8_t* data() noexcept { return ptr(); }
  const std::uint8_t* data() const noexcept { return ptr(); }
  std::uint8_t* begin() noexcept { return ptr(); }
  std::uint8_t* end() noexcept { return ptr() + size_; }
  const std::uint8_t* begin() const noexcept { return ptr(); }
  const std::uint8_t* end() const noexcept { return ptr() + size_; }
  /// Unchecked, like the other element accessors.
  std::uint8_t& operator[](std::size_t i) noexcept { return ptr()[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return ptr()[i]; }
  std::uint8_t& front() noexcept { return ptr()[0]; }
  const std::uint8_t& front() const noexcept { return ptr()[0]; }
  std::uint8_t& back() noexcept { return ptr()[size_ - 1]; }
  const std::uint8_t& back() const noexcept { return ptr()[size_ - 1]; }

  /// New bytes are zero.
  void resize(std::size_t n) { resize(n, 0); }
  /// New bytes are `value`.
  void resize(std::size_t n, std::uint8_t value) {
    if (n > capacity_) return grow_filled(n, value);
    if (n > size_) std::memset(ptr() + size_, value, n - size_);
    size_ = n;
  }
  /// As resize, but new bytes are left as they are (whatever the storage last
  /// held): for a caller about to write all of them, such as a read.
  void resize_for_overwrite(std::size_t n) {
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
    std::uint8_t* p = ptr();
    std::rotate(p + at, p + old, p + size_);
    return p + at;
  }
  template <std::input_iterator It>
  void assign(It first, It last) {
    if constexpr (kCopiesAsBytes<It>) {
      // The source may be our own bytes: move them down rather than copy.
      const auto n = static_cast<std::size_t>(last - first);
      const auto* from = reinterpret_cast<const std::uint8_t*>(std::to_address(first));
      if (n > capacity_) {
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
  std::uint8_t* ptr() noexcept { return on_heap() ? heap_ : inline_; }
  const std::uint8_t* ptr() const noexcept { return on_heap() ? heap_ : inline_; }
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
      heap_ = other.heap_;
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
    if (n <= capacity_ - size_) {
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
  // Frees the heap storage; the object must be on the heap. Out of line:
  // inlined, it made GCC warn of frees on paths it cannot rule out.
  void free_heap() noexcept;

  union {
    std::uint8_t* heap_;
    std::uint8_t inline_[kInline];
  };
};

/// Read-only bytes in storage that another layer owns and lends (the Python
/// binding lends the storage of a bytes object, so that a read lands where
/// `.data` needs it, and `.data` may hand that immutable object out as it
/// is). Nothing here writes into it. Move-only: `release(context)` runs
/// exactly once, when the bytes go, on whatever thread that happens.
class LentBytes {
 public:
  LentBytes() noexcept = default;
  /// `size` bytes at `data`, given back through `release(context)`.
  LentBytes(const std::uint8_t* data, std::size_t size, void (*release)(void*), void* context) noexcept
      : data_(data), size_(size), release_(release), context_(context) {}
  LentBytes(LentBytes&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        release_(other.release_),
        context_(other.context_) {}
  LentBytes& operator=(LentBytes&& other) noexcept {
    if (this != &other) {
      give_back();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      release_ = other.release_;
      context_ = other.context_;
    }
    return *this;
  }
  ~LentBytes() { give_back(); }

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  /// The context that goes back through `release` when the storage was lent
  /// through that function; nullptr for any other (or no) storage.
  void* context_for(void (*release)(void*)) const noexcept {
    return data_ && release_ == release ? context_ : nullptr;
  }

 private:
  void give_back() noexcept {
    if (data_) release_(context_);
    data_ = nullptr;
    size_ = 0;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  void (*release_)(void*) = nullptr;
  void* context_ = nullptr;
};

/// A packet's bytes: owned (Bytes) or lent (LentBytes). Readers see both
/// alike through the const members, so most code never asks which. They are
/// read-only here: a writer assigns Bytes, or calls make_owned(), which
/// copies lent bytes into storage of their own first; that copy is the only
/// one a received packet's bytes ever cost, and it is made only on request.
/// Copies are deep and owned; a moved-from PacketBytes is empty.
class PacketBytes {
 public:
  using value_type = std::uint8_t;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = const std::uint8_t&;
  using const_reference = const std::uint8_t&;
  using pointer = const std::uint8_t*;
  using const_pointer = const std::uint8_t*;
  using iterator = const std::uint8_t*;
  using const_iterator = const std::uint8_t*;

  PacketBytes() noexcept : owned_() {}
  /// Implicit, so that a writer can hand its Bytes over; a copy is asked
  /// for by name.
  PacketBytes(Bytes&& bytes) noexcept : owned_(std::move(bytes)) {}
  explicit PacketBytes(const Bytes& bytes) : owned_(bytes) {}
  PacketBytes(LentBytes&& bytes) noexcept : lent_(std::move(bytes)), is_lent_(true) {}
  PacketBytes(std::initializer_list<std::uint8_t> bytes) : owned_(bytes) {}
  PacketBytes(const std::vector<std::uint8_t>& bytes) : owned_(bytes) {}
  template <std::input_iterator It>
  PacketBytes(It first, It last) : owned_(first, last) {}
  /// Owned, whatever `other` holds; allocates exactly the bytes held when
  /// they do not fit in place.
  PacketBytes(const PacketBytes& other) : owned_(other.is_lent_ ? other.owned_copy() : other.owned_) {}
  PacketBytes(PacketBytes&& other) noexcept { construct_from(std::move(other)); }
  ~PacketBytes() { destroy(); }

  /// Owned bytes take the bytes into the storage they have when it fits.
  PacketBytes& operator=(const PacketBytes& other) {
    if (this == &other) return *this;
    if (!other.is_lent_) return *this = other.owned_;
    return *this = other.owned_copy();
  }
  PacketBytes& operator=(PacketBytes&& other) noexcept {
    if (this == &other) return *this;
    if (!is_lent_ && !other.is_lent_) [[likely]] {
      owned_ = std::move(other.owned_);
    } else {
      destroy();
      construct_from(std::move(other));
    }
    return *this;
  }
  PacketBytes& operator=(Bytes&& bytes) noexcept {
    if (is_lent_) {
      destroy();
      new (&owned_) Bytes();
      is_lent_ = false;
    }
    owned_ = std::move(bytes);
    return *this;
  }
  PacketBytes& operator=(const Bytes& bytes) {
    if (is_lent_) return *this = Bytes(bytes);
    owned_ = bytes;
    return *this;
  }
  PacketBytes& operator=(LentBytes&& bytes) noexcept {
    if (!is_lent_) {
      destroy();
      new (&lent_) LentBytes();
      is_lent_ = true;
    }
    lent_ = std::move(bytes);
    return *this;
  }
  PacketBytes& operator=(std::initializer_list<std::uint8_t> bytes) { return *this = Bytes(bytes); }

  /// The owned bytes, or nullptr when they are lent.
  const Bytes* owned() const noexcept { return is_lent_ ? nullptr : &owned_; }
  /// The lent bytes, or nullptr when they are owned.
  const LentBytes* lent() const noexcept { return is_lent_ ? &lent_ : nullptr; }
  /// The bytes to write into: lent bytes are copied into storage of their
  /// own first (and the lent storage given back at once).
  Bytes& make_owned() {
    if (is_lent_) *this = owned_copy();
    return owned_;
  }
  /// An owned copy, whatever is held.
  Bytes owned_copy() const {
    if (!is_lent_) return owned_;
    Bytes copy;
    copy.reserve(lent_.size());
    copy.append(lent_.data(), lent_.size());
    return copy;
  }

  const std::uint8_t* data() const noexcept { return is_lent_ ? lent_.data() : owned_.data(); }
  std::size_t size() const noexcept { return is_lent_ ? lent_.size() : owned_.size(); }
  bool empty() const noexcept { return size() == 0; }
  std::span<const std::uint8_t> view() const noexcept { return {data(), size()}; }
  const std::uint8_t* begin() const noexcept { return data(); }
  const std::uint8_t* end() const noexcept { return data() + size(); }
  /// Unchecked, like the other element accessors.
  const std::uint8_t& operator[](std::size_t i) const noexcept { return data()[i]; }
  const std::uint8_t& front() const noexcept { return data()[0]; }
  const std::uint8_t& back() const noexcept { return data()[size() - 1]; }

  friend bool operator==(const PacketBytes& a, const PacketBytes& b) noexcept { return a.equals(b.data(), b.size()); }
  friend bool operator==(const PacketBytes& a, const Bytes& b) noexcept { return a.equals(b.data(), b.size()); }
  friend bool operator==(const PacketBytes& a, const std::vector<std::uint8_t>& b) noexcept {
    return a.equals(b.data(), b.size());
  }

 private:
  // Lent bytes are the rare case (one per 64 KiB read), kept off the path
  // of owned bytes, whose moves and drops cost one test more than Bytes's.
  void destroy() noexcept {
    if (is_lent_) [[unlikely]] {
      destroy_lent();
    } else {
      owned_.~Bytes();
    }
  }
  void destroy_lent() noexcept { lent_.~LentBytes(); }
  // Takes what `other` holds, leaving it empty; this holds nothing yet.
  void construct_from(PacketBytes&& other) noexcept {
    if (other.is_lent_) [[unlikely]] {
      construct_lent_from(other);
    } else {
      new (&owned_) Bytes(std::move(other.owned_));
      is_lent_ = false;
    }
  }
  void construct_lent_from(PacketBytes& other) noexcept {
    new (&lent_) LentBytes(std::move(other.lent_));
    is_lent_ = true;
  }
  bool equals(const std::uint8_t* b, std::size_t n) const noexcept {
    return size() == n && (n == 0 || std::memcmp(data(), b, n) == 0);
  }

  union {
    Bytes owned_;
    LentBytes lent_;
  };
  bool is_lent_ = false;
};

}  // namespace sigtap
