// The block decoder: a re-check of the frame header, the type name look-up
// and, for the types with a layout table, one walk of that table.
#include "core/sbf/block_decoder.hpp"

#include "core/sbf/block_layouts.hpp"
#include "core/sbf/block_names.hpp"
#include "core/sbf/fields.hpp"

namespace sigtap::sbf {
namespace {

// Sync, CRC, ID and Length come before the body.
constexpr std::size_t kHeaderSize = 8;
// The longest block the decoder takes; the framing allows up to 65532.
constexpr std::size_t kMaxLength = 65527;

}  // namespace

DecodedBlock decode_block(std::span<const std::uint8_t> block) {
  // The framing has checked Length and the CRC; the header is re-checked here
  // (not the CRC, which would double the cost of every block) so that a
  // caller handing in any bytes still gets a bounded read.
  if (block.size() < kHeaderSize || block[0] != 0x24 || block[1] != 0x40) return {};
  const std::size_t length = block[6] | (std::size_t{block[7]} << 8);
  if (length < kHeaderSize || length % 4 != 0 || length > block.size() || length > kMaxLength) {
    return {};
  }
  const auto number = static_cast<std::uint16_t>((block[4] | (block[5] << 8)) & 0x1FFF);
  const char* name = block_name(number);
  if (name == nullptr) return {};
  const BlockLayout* layout = find_layout(number);
  if (layout == nullptr) return {name, std::nullopt};
  std::optional<Fields> fields = read_fields(*layout, block.subspan(kHeaderSize, length - kHeaderSize));
  if (!fields) return {};
  return {name, std::move(fields)};
}

}  // namespace sigtap::sbf
