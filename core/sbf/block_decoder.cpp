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

// The name, layout and body of a block, after a re-check of its header.
// The framing has checked Length and the CRC; the header is re-checked here
// (not the CRC, which would double the cost of every block) so that a caller
// handing in any bytes still gets a bounded read.
struct Typed {
  const char* name = nullptr;
  const BlockLayout* layout = nullptr;
  std::span<const std::uint8_t> body;
};

Typed type_of(std::span<const std::uint8_t> block) {
  if (block.size() < kHeaderSize || block[0] != 0x24 || block[1] != 0x40) return {};
  const std::size_t length = block[6] | (std::size_t{block[7]} << 8);
  if (length < kHeaderSize || length % 4 != 0 || length > block.size() || length > kMaxLength) {
    return {};
  }
  const auto number = static_cast<std::uint16_t>((block[4] | (block[5] << 8)) & 0x1FFF);
  const char* name = block_name(number);
  if (name == nullptr) return {};
  return {name, find_layout(number), block.subspan(kHeaderSize, length - kHeaderSize)};
}

}  // namespace

DecodedBlock decode_block(std::span<const std::uint8_t> block) {
  const Typed t = type_of(block);
  if (t.layout == nullptr) return {t.name, std::nullopt};
  std::optional<Fields> fields = read_fields(*t.layout, t.body);
  if (!fields) return {};
  return {t.name, std::move(fields)};
}

BlockName decode_block_into(std::span<const std::uint8_t> block, FieldWriter& out) {
  const Typed t = type_of(block);
  if (t.layout == nullptr) return {t.name, false};
  if (!read_fields_into(*t.layout, t.body, out)) return {};
  return {t.name, true};
}

}  // namespace sigtap::sbf
