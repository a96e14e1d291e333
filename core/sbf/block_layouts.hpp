// Body layouts of the block types that have named fields, as data: one table
// per type, walked by read_fields, so adding a type is adding a table.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

namespace sigtap::sbf {

/// How one field is read and turned into a value. The wire width follows
/// from the op; one switch on it does the load and the conversion.
enum class Op : std::uint8_t {
  kU8,           // u8 as an integer
  kI8,           // i8 as a (signed) integer
  kU16,          // u16 as an integer
  kU32,          // u32 as an integer
  kF32,          // f32 as the value of its shortest digits (shortest_value)
  kF64,          // f64 unchanged
  kLow4,         // u8: integer of the low four bits (a mode byte)
  kPvtModeName,  // u8: PVT mode display text of the low four bits
  kMode2d,       // u8: true when bit 7 is set
  kDop,          // u16: raw / 100.0 as a float
  kAttMode,      // u16: attitude mode (low four bits, 1 to 4, else 0)
  kAttModeName,  // u16: attitude mode name
};

/// Bytes an op reads from the wire.
constexpr std::uint16_t op_width(Op op) {
  switch (op) {
    case Op::kU16: case Op::kDop: case Op::kAttMode: case Op::kAttModeName: return 2;
    case Op::kU32: case Op::kF32: return 4;
    case Op::kF64: return 8;
    default: return 1;
  }
}

/// The do-not-use code of a wire type, as the raw little-endian bits.
constexpr std::uint64_t no_value_code(Op op) {
  switch (op) {
    case Op::kI8: return 0x80;  // -128
    case Op::kF32: return std::bit_cast<std::uint32_t>(-2e10f);
    case Op::kF64: return std::bit_cast<std::uint64_t>(-2e10);
    default: return op_width(op) == 1 ? 0xFF : op_width(op) == 2 ? 0xFFFF : 0xFFFFFFFF;
  }
}
static_assert(no_value_code(Op::kF32) == 0xD09502F9 && no_value_code(Op::kF64) == 0xC212A05F20000000);

/// One emitted field: its key, body offset and op; when `nullable`, the wire
/// bits `no_value` give a null value instead.
struct FieldLayout {
  std::string_view name;
  std::uint16_t offset;
  Op op;
  bool nullable;
  std::uint64_t no_value;
};

/// A field that always has a value.
constexpr FieldLayout always(std::string_view name, std::uint16_t offset, Op op) {
  return {name, offset, op, false, 0};
}
/// A field that is null when the wire holds its type's do-not-use code.
constexpr FieldLayout or_null(std::string_view name, std::uint16_t offset, Op op) {
  return {name, offset, op, true, no_value_code(op)};
}
/// A field that is null when the wire holds 0 (the DOP values).
constexpr FieldLayout zero_null(std::string_view name, std::uint16_t offset, Op op) {
  return {name, offset, op, true, 0};
}

/// Sub-blocks follow the fixed fields, one per set bit of an 8-bit mask
/// (bit order), each three f32 members; those with a layout become a map of
/// the members in wire order, null when the bit is clear.
inline constexpr std::uint16_t kSubBlockSize = 12;
inline constexpr std::uint16_t kSubBlockMask = 0xFF;
struct SubBlockLayout {
  std::string_view key;
  std::uint8_t bit;
  std::array<std::string_view, 3> members;
};

/// The layout of one block type's body (the bytes after the 8-byte header).
struct BlockLayout {
  std::uint16_t number;
  /// Bytes of fixed fields the decoder reads; a shorter body does not parse.
  std::uint16_t body_size;
  std::span<const FieldLayout> fields;
  std::span<const SubBlockLayout> sub_blocks;
  /// Body offset of the u16 sub-block mask; used only with sub_blocks.
  std::uint16_t sub_mask_offset = 0;
};

/// Every block type with named fields.
std::span<const BlockLayout> block_layouts();

/// The layout of a block number, or nullptr when the type has no fields.
const BlockLayout* find_layout(std::uint16_t number);

}  // namespace sigtap::sbf
