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

// The value of f's fewest round-tripping digits by writing them and reading
// them back: exact at every magnitude, and the reference for the fast path.
double shortest_value_by_text(float f) {
  // Only the exponent form gives the fewest digits at every magnitude: where
  // the plain form is as short, it writes every digit of a large float
  // (-20000002048 for -2.0000002e10f).
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
  return d;
}

// Powers of ten that a double holds exactly.
constexpr std::array<double, 23> kPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// 10^j for j in [-22, 22] at index j + 22, the negative powers rounded.
constexpr std::array<double, 45> kPow10Near = {
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8,
    1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,  1e7,
    1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21, 1e22};

// The fewest digits that read back to f, read as a double: the value a
// person sees printed, not f's binary expansion.
//
// With 10^k <= a = |f| < 10^(k + 1), p digits are a * 10^j (j = p - 1 - k)
// rounded to an integer n, and they read back to f when n lies within half
// of f's unit in the last place (hs, scaled alike) of a * 10^j. Whenever p
// digits fit, so do p + 1 (the nearest p + 1 digits are at least as near),
// and 9 always fit: the tries go down from 9 and stop at the first count
// that does not fit, usually after two or three, and the value is the last
// n that fit times 10^-j, in one correctly rounded operation since n and
// 10^|j| are exact. The products are off by at most 2.3e-7 (a * 10^j is
// below 10^9), so each test is exact unless it lies within a margin of 1e-6
// of the edge (a tie in the rounding, or n at the edge of f's interval);
// those floats, and those that need inexact powers of ten (below 1e-14 and
// above 1e22), powers of two (whose float below is nearer than the one
// above) and subnormals, are written out and read back.
double shortest_value(float f) {
  if (std::isnan(f)) return std::numeric_limits<double>::quiet_NaN();
  if (std::isinf(f) || f == 0) return f;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  const int exponent = static_cast<int>(bits >> 23 & 0xFF) - 127;
  const int k0 = (exponent * 1233) >> 12;  // floor(exponent * log10(2)): k or k - 1
  if ((bits & 0x7FFFFF) == 0 || exponent == -127 || k0 < -15 || k0 > 21) return shortest_value_by_text(f);
  constexpr double kMargin = 1e-6;
  const double a = std::fabs(static_cast<double>(f));
  // 10^(k0 + 1): exact from 1 on; below, a float must be clear of it.
  const double next = kPow10Near[k0 + 1 + 22];
  if (k0 + 1 < 0 && std::fabs(a - next) < kMargin * next) return shortest_value_by_text(f);
  const int k = k0 + (a >= next ? 1 : 0);
  if (k < -14 || k > 22) return shortest_value_by_text(f);
  const double half_unit = std::bit_cast<double>(static_cast<std::uint64_t>(exponent - 24 + 1023) << 52);
  int digits = 0;
  double n = 0;
  for (int p = 9; p >= 1; --p) {
    const double scale = kPow10Near[p - 1 - k + 22];
    const double t = a * scale;
    const double rounded = static_cast<double>(static_cast<std::int64_t>(t + 0.5));
    const double off = std::fabs(rounded - t);
    const double hs = half_unit * scale;
    if (std::fabs(off - 0.5) < kMargin || std::fabs(off - hs) < kMargin) return shortest_value_by_text(f);
    if (!(off < hs)) break;
    digits = p;
    n = rounded;
  }
  if (digits == 0) return shortest_value_by_text(f);  // 9 digits always fit: never taken
  const int j = digits - 1 - k;
  return std::copysign(j >= 0 ? n / kPow10[j] : n * kPow10[-j], static_cast<double>(f));
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
  Fields& add_map(std::string_view name) { return out.emplace_back(std::string(name), Value::map({})).second.as_map(); }
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
void put_sub_block(const SubBlockLayout& sb, const std::uint8_t* p, Fields& members) {
  members.reserve(sb.members.size());
  for (std::size_t k = 0; k < sb.members.size(); ++k) {
    const auto bits = load<std::uint32_t>(p + 4 * k);
    members.emplace_back(std::string(sb.members[k]), bits == no_value_code(Op::kF32)
                                                         ? Value::null()
                                                         : Value::real(shortest_value(std::bit_cast<float>(bits))));
  }
}

// The sub-block mask when the body holds every fixed field and every selected
// sub-block (emitted or not), else nothing.
std::optional<unsigned> present_sub_blocks(const BlockLayout& layout, std::span<const std::uint8_t> body) {
  if (body.size() < layout.body_size) return std::nullopt;
  if (layout.sub_blocks.empty()) return 0u;
  const unsigned present = load<std::uint16_t>(body.data() + layout.sub_mask_offset) & kSubBlockMask;
  if (body.size() < layout.body_size + std::size_t{kSubBlockSize} * std::popcount(present)) return std::nullopt;
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
    const std::size_t offset = layout.body_size + std::size_t{kSubBlockSize} * std::popcount(present & (bit - 1));
    put_sub_block(sb, body + offset, sink.add_map(sb.key));
  }
}

}  // namespace

Value into_field(float f) { return Value::real(shortest_value(f)); }

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
