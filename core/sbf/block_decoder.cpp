// Placeholder until the block tables land: every block is unknown.
#include "core/sbf/block_decoder.hpp"

namespace sigtap::sbf {

DecodedBlock decode_block(std::span<const std::uint8_t>) { return {}; }

}  // namespace sigtap::sbf
