// The table walker: the body size is checked once up front, so every load
// after it is in bounds; each field costs one switch and one emplace.
#include "core/sbf/fields.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "core/sbf/float_digits.hpp"

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

// Every value of m = Mode AND 15, so that a name is never built.
constexpr std::array<const char*, 16> kPvtModeNames = {
    "No PVT",      "Stand Alone",          "Differential",         "Fixed Location",
    "RTK Fixed",   "RTK Float",            "SBAS",                 "Moving Base RTK Fixed",
    "Moving Base RTK Float", "Unknown(9)", "PPP",                  "Unknown(11)",
    "Unknown(12)", "Unknown(13)",          "Unknown(14)",          "Unknown(15)",
};

constexpr std::array<const char*, 5> kAttitudeModeNames = {
    "NoAttitude", "HeadingPitchFloat", "HeadingPitchFixed", "HeadingPitchRollFloat",
    "HeadingPitchRollFixed",
};

std::uint16_t attitude_mode(std::uint16_t raw) {
  const std::uint16_t m = raw & 15;
  return m < kAttitudeModeNames.size() ? m : 0;
}

// Fields appended to a fresh list, reserved to the exact length.
struct FreshSink {
  Fields& out;

  void reserve(std::size_t n) { out.reserve(out.size() + n); }
  void add_int(std::string_view name, std::int64_t v) { out.emplace_back(std::string(name), Value::integer(v)); }
  void add_float(std::string_view name, double v) { out.emplace_back(std::string(name), Value::real(v)); }
  void add_null(std::string_view name) { out.emplace_back(std::string(name), Value::null()); }
  void add_bool(std::string_view name, bool v) { out.emplace_back(std::string(name), Value::boolean(v)); }
  void add_text(std::string_view name, std::string_view v) { out.emplace_back(std::string(name), Value::str(std::string(v))); }
  FreshSink add_map(std::string_view name) { return {out.emplace_back(std::string(name), Value::map({})).second.as_map()}; }
};

template <class Sink>
void put_value(const FieldLayout& f, const std::uint8_t* body, Sink& sink) {
  const std::uint8_t* p = body + f.offset;
  std::uint64_t raw = 0;
  switch (op_width(f.op)) {
    case 1: raw = *p; break;
    case 2: raw = load<std::uint16_t>(p); break;
    case 4: raw = load<std::uint32_t>(p); break;
    default: raw = load<std::uint64_t>(p); break;
  }
  if (f.nullable && raw == f.no_value) return sink.add_null(f.name);
  switch (f.op) {
    case Op::kU8: case Op::kU16: case Op::kU32: return sink.add_int(f.name, static_cast<std::int64_t>(raw));
    case Op::kI8: return sink.add_int(f.name, static_cast<std::int8_t>(raw));
    case Op::kF32: return sink.add_float(f.name, shortest_value(std::bit_cast<float>(static_cast<std::uint32_t>(raw))));
    case Op::kF64: return sink.add_float(f.name, std::bit_cast<double>(raw));
    case Op::kLow4: return sink.add_int(f.name, static_cast<std::int64_t>(raw & 15));
    case Op::kPvtModeName: return sink.add_text(f.name, pvt_mode_name(static_cast<std::uint8_t>(raw)));
    case Op::kMode2d: return sink.add_bool(f.name, (raw & 0x80) != 0);
    case Op::kDop: return sink.add_float(f.name, static_cast<double>(raw) / 100.0);
    case Op::kAttMode: return sink.add_int(f.name, attitude_mode(static_cast<std::uint16_t>(raw)));
    case Op::kAttModeName: return sink.add_text(f.name, attitude_mode_name(static_cast<std::uint16_t>(raw)));
  }
}

// A sub-block's three f32 members into its map, each null on -2e10.
template <class Sink>
void put_sub_block(const SubBlockLayout& sb, const std::uint8_t* p, Sink&& members) {
  members.reserve(sb.members.size());
  for (std::size_t k = 0; k < sb.members.size(); ++k) {
    const auto bits = load<std::uint32_t>(p + 4 * k);
    if (bits == no_value_code(Op::kF32)) {
      members.add_null(sb.members[k]);
    } else {
      members.add_float(sb.members[k], shortest_value(std::bit_cast<float>(bits)));
    }
  }
}

// Set bits of a sub-block mask, by table: std::popcount is a library call
// where the target may lack the instruction.
constexpr std::array<std::uint8_t, kSubBlockMask + 1> kSetBits = [] {
  std::array<std::uint8_t, kSubBlockMask + 1> table{};
  for (unsigned mask = 1; mask <= kSubBlockMask; ++mask) table[mask] = static_cast<std::uint8_t>(table[mask >> 1] + (mask & 1));
  return table;
}();

// The sub-block mask when the body holds every fixed field and every selected
// sub-block (emitted or not), else nothing.
std::optional<unsigned> present_sub_blocks(const BlockLayout& layout, std::span<const std::uint8_t> body) {
  if (body.size() < layout.body_size) return std::nullopt;
  if (layout.sub_blocks.empty()) return 0u;
  const unsigned present = load<std::uint16_t>(body.data() + layout.sub_mask_offset) & kSubBlockMask;
  if (body.size() < layout.body_size + std::size_t{kSubBlockSize} * kSetBits[present]) return std::nullopt;
  return present;
}

// One walk of the table; the body was checked by present_sub_blocks.
template <class Sink>
void put_fields(const BlockLayout& layout, const std::uint8_t* body, unsigned present, Sink& sink) {
  // One spare slot: the codec appends the block revision to every list.
  sink.reserve(layout.fields.size() + layout.sub_blocks.size() + 1);
  for (const FieldLayout& f : layout.fields) put_value(f, body, sink);
  for (const SubBlockLayout& sb : layout.sub_blocks) {
    const unsigned bit = 1u << sb.bit;
    if ((present & bit) == 0) {
      sink.add_null(sb.key);
      continue;
    }
    // Sub-blocks are packed in bit order, so this one follows those of the lower set bits.
    const std::size_t offset = layout.body_size + std::size_t{kSubBlockSize} * kSetBits[present & (bit - 1)];
    put_sub_block(sb, body + offset, sink.add_map(sb.key));
  }
}

}  // namespace

const char* pvt_mode_name(std::uint8_t mode) { return kPvtModeNames[mode & 15u]; }

const char* attitude_mode_name(std::uint16_t mode) { return kAttitudeModeNames[attitude_mode(mode)]; }

std::optional<Fields> read_fields(const BlockLayout& layout, std::span<const std::uint8_t> body) {
  const std::optional<unsigned> present = present_sub_blocks(layout, body);
  if (!present) return std::nullopt;
  Fields out;
  FreshSink sink{out};
  put_fields(layout, body.data(), *present, sink);
  return out;
}

bool read_fields_into(const BlockLayout& layout, std::span<const std::uint8_t> body, FieldWriter& out) {
  const std::optional<unsigned> present = present_sub_blocks(layout, body);
  if (!present) return false;
  put_fields(layout, body.data(), *present, out);
  return true;
}

}  // namespace sigtap::sbf
