// The table walker: the body size is checked once up front, so every load
// after it is in bounds; each field costs one switch and one emplace.
#include "core/sbf/fields.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace sigtap::sbf {
namespace {

// Blocks are little-endian; loading by memcpy is then the wire value as is.
static_assert(std::endian::native == std::endian::little, "SBF loads assume a little-endian host");

template <typename T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr std::array<const char*, 11> kPvtModeNames = {
    "No PVT",    "Stand Alone",          "Differential",         "Fixed Location",
    "RTK Fixed", "RTK Float",            "SBAS",                 "Moving Base RTK Fixed",
    "Moving Base RTK Float", nullptr,    "PPP",
};

constexpr std::array<const char*, 5> kAttitudeModeNames = {
    "NoAttitude", "HeadingPitchFloat", "HeadingPitchFixed", "HeadingPitchRollFloat",
    "HeadingPitchRollFixed",
};

std::uint16_t attitude_mode(std::uint16_t raw) {
  const std::uint16_t m = raw & 15;
  return m < kAttitudeModeNames.size() ? m : 0;
}

Value read_value(const FieldLayout& f, const std::uint8_t* body) {
  const std::uint8_t* p = body + f.offset;
  std::uint64_t raw = 0;
  switch (op_width(f.op)) {
    case 1: raw = *p; break;
    case 2: raw = load<std::uint16_t>(p); break;
    case 4: raw = load<std::uint32_t>(p); break;
    default: raw = load<std::uint64_t>(p); break;
  }
  if (f.nullable && raw == f.no_value) return Value::null();
  switch (f.op) {
    case Op::kU8: case Op::kU16: case Op::kU32:
      return Value::integer(static_cast<std::int64_t>(raw));
    case Op::kI8: return Value::integer(static_cast<std::int8_t>(raw));
    case Op::kF32: return into_field(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
    case Op::kF64: return Value::real(std::bit_cast<double>(raw));
    case Op::kLow4: return Value::integer(static_cast<std::int64_t>(raw & 15));
    case Op::kPvtModeName: return Value::str(pvt_mode_name(static_cast<std::uint8_t>(raw)));
    case Op::kMode2d: return Value::boolean((raw & 0x80) != 0);
    case Op::kDop: return Value::real(static_cast<double>(raw) / 100.0);
    case Op::kAttMode: return Value::integer(attitude_mode(static_cast<std::uint16_t>(raw)));
    case Op::kAttModeName:
      return Value::str(kAttitudeModeNames[attitude_mode(static_cast<std::uint16_t>(raw))]);
  }
  return Value::null();
}

// A sub-block's three f32 members as a map, each null on -2e10.
Value read_sub_block(const SubBlockLayout& sb, const std::uint8_t* p) {
  Fields members;
  members.reserve(sb.members.size());
  for (std::size_t k = 0; k < sb.members.size(); ++k) {
    const auto bits = load<std::uint32_t>(p + 4 * k);
    members.emplace_back(std::string(sb.members[k]), bits == no_value_code(Op::kF32)
                                                         ? Value::null()
                                                         : into_field(std::bit_cast<float>(bits)));
  }
  return Value::map(std::move(members));
}

}  // namespace

Value into_field(float f) {
  if (std::isnan(f)) return Value::real(std::numeric_limits<double>::quiet_NaN());
  if (std::isinf(f)) return Value::real(static_cast<double>(f));
  // The fewest digits that read back to f, read as a double: the value a
  // person sees printed, not f's binary expansion. Only the exponent form
  // gives them at every magnitude: where the plain form is as short, it
  // writes every digit of a large float (-20000002048 for -2.0000002e10f).
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific).ptr;
  if ((std::bit_cast<std::uint32_t>(f) & 0x7FFFFF) == 0) {
    // A power of two is nearer to the float below it than to the one above,
    // so the shortest digits may lie above f while the digits of that length
    // nearest to f, below it, read back to the float below; the value is
    // then that of the fewest nearest digits that read back.
    for (int precision = 0;; ++precision) {
      end = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific, precision).ptr;
      float back = 0;
      std::from_chars(buf, end, back);
      if (back == f) break;
    }
  }
  double d = 0;
  std::from_chars(buf, end, d);
  return Value::real(d);
}

std::string pvt_mode_name(std::uint8_t mode) {
  const unsigned m = mode & 15u;
  if (m < kPvtModeNames.size() && kPvtModeNames[m] != nullptr) return kPvtModeNames[m];
  return "Unknown(" + std::to_string(m) + ")";
}

const char* attitude_mode_name(std::uint16_t mode) { return kAttitudeModeNames[attitude_mode(mode)]; }

std::optional<Fields> read_fields(const BlockLayout& layout, std::span<const std::uint8_t> body) {
  if (body.size() < layout.body_size) return std::nullopt;
  unsigned present = 0;
  if (!layout.sub_blocks.empty()) {
    present = load<std::uint16_t>(body.data() + layout.sub_mask_offset) & kSubBlockMask;
    // Every selected sub-block must be there, emitted or not.
    if (body.size() < layout.body_size + std::size_t{kSubBlockSize} * std::popcount(present)) {
      return std::nullopt;
    }
  }
  Fields out;
  // One spare slot: the codec appends the block revision to every list.
  out.reserve(layout.fields.size() + layout.sub_blocks.size() + 1);
  for (const FieldLayout& f : layout.fields) {
    out.emplace_back(std::string(f.name), read_value(f, body.data()));
  }
  for (const SubBlockLayout& sb : layout.sub_blocks) {
    const unsigned bit = 1u << sb.bit;
    if ((present & bit) == 0) {
      out.emplace_back(std::string(sb.key), Value::null());
      continue;
    }
    // Sub-blocks are packed in bit order, so this one follows those of the lower set bits.
    const std::size_t offset = layout.body_size + std::size_t{kSubBlockSize} * std::popcount(present & (bit - 1));
    out.emplace_back(std::string(sb.key), read_sub_block(sb, body.data() + offset));
  }
  return out;
}

}  // namespace sigtap::sbf
