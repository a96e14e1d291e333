// The block numbers the decoder knows and their type names; the per-block
// look-up is one load from an index by number, with no allocation.
#pragma once

#include <cstdint>
#include <span>

namespace sigtap::sbf {

/// One known block type: its number (ID AND 0x1FFF) and its static type name.
struct BlockType {
  std::uint16_t number;
  const char* name;
};

/// Every known block type, sorted by number.
std::span<const BlockType> block_types();

/// The static type name of a block number, or nullptr when the number is not
/// a known block type. The revision bits must already be masked off.
const char* block_name(std::uint16_t number);

}  // namespace sigtap::sbf
