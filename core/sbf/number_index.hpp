// Block number to table position in one load: a byte per number of the
// table's range, filled at compile time (a number outside the range there
// is a compile error, as constant evaluation checks the index).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sigtap::sbf {

/// Positions of the entries of a table of at most 255, each with a
/// `number` from kFirst to kLast.
template <std::uint16_t kFirst, std::uint16_t kLast>
class NumberIndex {
 public:
  template <class Table>
  constexpr explicit NumberIndex(const Table& table) {
    for (std::size_t i = 0; i < std::size(table); ++i) at_[table[i].number - kFirst] = static_cast<std::uint8_t>(i + 1);
  }

  /// The position of the entry with this number, or -1.
  constexpr int find(std::uint16_t number) const {
    return number < kFirst || number > kLast ? -1 : at_[number - kFirst] - 1;
  }

 private:
  std::array<std::uint8_t, kLast - kFirst + 1> at_{};
};

}  // namespace sigtap::sbf
