// Per-call tables of encoding and decoding and the walk up a chain of
// multiplexor switches; iterative, so a long or looping chain cannot exhaust
// the stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/dbc/database.hpp"

namespace sigtap::dbc::detail {

/// A table indexed by signal position: on the stack for ordinary messages,
/// on the heap only for messages with very many signals.
template <class T, std::size_t kInline = 128>
class Scratch {
 public:
  Scratch(std::size_t n, const T& init) {
    if (n <= kInline) {
      data_ = inline_.data();
    } else {
      heap_.resize(n);
      data_ = heap_.data();
    }
    for (std::size_t i = 0; i < n; ++i) data_[i] = init;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  T& operator[](std::size_t i) { return data_[i]; }

 private:
  std::array<T, kInline> inline_;
  std::vector<T> heap_;
  T* data_ = nullptr;
};

/// Whether a signal is present in one encode or decode call.
enum class Activity : std::uint8_t { Pending, Visiting, Inactive, Active, Unknown };

/// Walks from signal `i` up its switches until a signal whose activity is
/// known, or a signal without a switch (marked Active). Each unresolved
/// signal on the way is marked Visiting and stored in `path`, `i` first; the
/// caller resolves them from the last one down. Returns the number stored,
/// or -1 when the chain comes back to a Visiting signal (a loop). A switch
/// index outside the message makes the signal Inactive.
inline std::ptrdiff_t walk_chain(const Message& message, std::size_t i, Scratch<Activity>& act,
                                 Scratch<std::uint32_t>& path) {
  std::ptrdiff_t n = 0;
  for (std::size_t j = i;;) {
    if (act[j] == Activity::Visiting) return -1;
    if (act[j] != Activity::Pending) return n;
    const Signal& signal = message.signals[j];
    if (!signal.mux) {
      act[j] = Activity::Active;
      return n;
    }
    if (signal.mux->multiplexor >= message.signals.size()) {
      act[j] = Activity::Inactive;
      return n;
    }
    act[j] = Activity::Visiting;
    path[static_cast<std::size_t>(n++)] = static_cast<std::uint32_t>(j);
    j = signal.mux->multiplexor;
  }
}

/// Whether a switch pattern selects the signal: inside one of its inclusive ranges.
inline bool selects(const Multiplexing& mux, std::uint64_t pattern) {
  for (const auto& [lo, hi] : mux.ranges) {
    if (lo <= pattern && pattern <= hi) return true;
  }
  return false;
}

}  // namespace sigtap::dbc::detail
