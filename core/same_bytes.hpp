// Equality of short texts in a few word loads, inline: field names are a few
// dozen bytes, where a call to memcmp costs more than the comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sigtap {

inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline std::uint64_t load4(const char* p) {
  std::uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

/// All n (< 8) bytes in one word, reading none past them; distinct texts of
/// one length give distinct words.
inline std::uint64_t short_word(const char* p, std::size_t n) {
  if (n >= 4) return load4(p) << 32 | load4(p + n - 4);
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1);
}

/// Whether the n bytes at a and b are the same.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n < 8) return short_word(a, n) == short_word(b, n);
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (load8(a + i) != load8(b + i)) return false;
  }
  return load8(a + n - 8) == load8(b + n - 8);
}

}  // namespace sigtap
