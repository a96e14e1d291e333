// The field tables of the eleven block types with named fields. Offsets are
// from the start of the body (after the 8-byte header), little-endian; keys
// are listed in the order they appear in a message, not in wire order.
#include "core/sbf/block_layouts.hpp"

#include <cstddef>
#include <iterator>

#include "core/sbf/number_index.hpp"

namespace sigtap::sbf {
namespace {

constexpr FieldLayout kTow = or_null("tow", 0, Op::kU32);
constexpr FieldLayout kWnc = or_null("wnc", 4, Op::kU16);

constexpr FieldLayout kDop[] = {
    kTow, kWnc,
    zero_null("nr_sv", 6, Op::kU8),
    zero_null("pdop", 8, Op::kDop),
    zero_null("tdop", 10, Op::kDop),
    zero_null("hdop", 12, Op::kDop),
    zero_null("vdop", 14, Op::kDop),
    or_null("hpl", 16, Op::kF32),
    or_null("vpl", 20, Op::kF32),
};

// PVTGeodetic and PVTCartesian share one wire layout; they differ in the
// names of the position and velocity fields and in "mode_2d" (Geodetic only).
struct PvtNames {
  std::string_view pos[3];
  std::string_view vel[3];
  bool mode_2d;
};

template <std::size_t N>
constexpr std::array<FieldLayout, N> pvt_fields(const PvtNames& n) {
  std::array<FieldLayout, N> out{};
  std::size_t i = 0;
  for (const FieldLayout& f : {kTow, kWnc, always("mode", 6, Op::kLow4), always("mode_name", 6, Op::kPvtModeName)}) out[i++] = f;
  if (n.mode_2d) out[i++] = always("mode_2d", 6, Op::kMode2d);
  out[i++] = always("error", 7, Op::kU8);
  for (std::uint16_t k = 0; k < 3; ++k) out[i++] = or_null(n.pos[k], 8 + 8 * k, Op::kF64);
  out[i++] = or_null("undulation", 32, Op::kF32);
  for (std::uint16_t k = 0; k < 3; ++k) out[i++] = or_null(n.vel[k], 36 + 4 * k, Op::kF32);
  for (const FieldLayout& f : {
           or_null("cog", 48, Op::kF32), or_null("rx_clk_bias", 52, Op::kF64),
           or_null("rx_clk_drift", 60, Op::kF32), or_null("time_system", 64, Op::kU8),
           or_null("datum", 65, Op::kU8), or_null("nr_sv", 66, Op::kU8),
           or_null("reference_id", 68, Op::kU16), or_null("mean_corr_age", 70, Op::kU16),
           always("signal_info", 72, Op::kU32), always("nr_bases", 77, Op::kU8),
           or_null("latency", 80, Op::kU16), or_null("h_accuracy", 82, Op::kU16),
           or_null("v_accuracy", 84, Op::kU16)}) {
    out[i++] = f;
  }
  return out;
}

constexpr auto kPvtGeodetic =
    pvt_fields<26>({{"latitude", "longitude", "height"}, {"vn", "ve", "vu"}, true});
constexpr auto kPvtCartesian = pvt_fields<25>({{"x", "y", "z"}, {"vx", "vy", "vz"}, false});

constexpr FieldLayout kInsNavGeod[] = {
    kTow, kWnc,
    always("error", 7, Op::kU8),
    always("info", 8, Op::kU16),
    always("gnss_mode", 6, Op::kLow4),
    or_null("gnss_age", 10, Op::kU16),
    or_null("latitude", 12, Op::kF64),
    or_null("longitude", 20, Op::kF64),
    or_null("height", 28, Op::kF64),
    or_null("undulation", 36, Op::kF32),
    or_null("accuracy", 40, Op::kU16),
    or_null("latency", 42, Op::kU16),
    or_null("datum", 44, Op::kU8),
    always("sb_list", 46, Op::kU16),
};
// Bits 5 to 7 (the three covariance sub-blocks) take space but give no key.
constexpr SubBlockLayout kInsNavGeodSubBlocks[] = {
    {"pos_std_dev", 0, {"latitude", "longitude", "height"}},
    {"att", 1, {"heading", "pitch", "roll"}},
    {"att_std_dev", 2, {"heading", "pitch", "roll"}},
    {"vel", 3, {"ve", "vn", "vu"}},
    {"vel_std_dev", 4, {"ve", "vn", "vu"}},
};

// PosCovGeodetic and VelCovGeodetic: a mode and an error byte, then ten f32.
constexpr std::array<FieldLayout, 14> cov_fields(const std::array<std::string_view, 10>& names) {
  std::array<FieldLayout, 14> out{kTow, kWnc, always("mode", 6, Op::kLow4), always("error", 7, Op::kU8)};
  for (std::uint16_t k = 0; k < 10; ++k) out[4 + k] = or_null(names[k], 8 + 4 * k, Op::kF32);
  return out;
}

constexpr auto kPosCovGeodetic =
    cov_fields({"cov_latlat", "cov_lonlon", "cov_hgthgt", "cov_bb", "cov_latlon", "cov_lathgt",
                "cov_latb", "cov_lonhgt", "cov_lonb", "cov_hb"});
constexpr auto kVelCovGeodetic =
    cov_fields({"cov_vnvn", "cov_veve", "cov_vuvu", "cov_dd", "cov_vnve", "cov_vnvu", "cov_vnd",
                "cov_vevu", "cov_ved", "cov_vud"});

constexpr FieldLayout kReceiverTime[] = {
    kTow, kWnc,
    or_null("utc_year", 6, Op::kI8),
    or_null("utc_month", 7, Op::kI8),
    or_null("utc_day", 8, Op::kI8),
    or_null("utc_hour", 9, Op::kI8),
    or_null("utc_min", 10, Op::kI8),
    or_null("utc_sec", 11, Op::kI8),
    or_null("delta_ls", 12, Op::kI8),
    always("sync_level", 13, Op::kU8),
};

// The Error byte (7) and the reserved u16 (10) are read past, not emitted.
constexpr FieldLayout kAttEuler[] = {
    kTow, kWnc,
    or_null("nr_sv", 6, Op::kU8),
    always("mode", 8, Op::kAttMode),
    always("mode_name", 8, Op::kAttModeName),
    or_null("heading", 12, Op::kF32),
    or_null("pitch", 16, Op::kF32),
    or_null("roll", 20, Op::kF32),
    or_null("pitch_dot", 24, Op::kF32),
    or_null("roll_dot", 28, Op::kF32),
    or_null("heading_dot", 32, Op::kF32),
};

// The epoch markers carry only their time stamp.
constexpr FieldLayout kEpochMarker[] = {kTow, kWnc};

constexpr BlockLayout kLayouts[] = {
    {4001, 24, kDop, {}},
    {4006, 87, kPvtCartesian, {}},
    {4007, 87, kPvtGeodetic, {}},
    {4226, 48, kInsNavGeod, kInsNavGeodSubBlocks, 46},
    {5906, 48, kPosCovGeodetic, {}},
    {5908, 48, kVelCovGeodetic, {}},
    {5914, 14, kReceiverTime, {}},
    {5921, 6, kEpochMarker, {}},
    {5922, 6, kEpochMarker, {}},
    {5938, 36, kAttEuler, {}},
    {5943, 6, kEpochMarker, {}},
};

// Every field and the sub-block mask must lie inside the checked body size,
// so the walker can load without further bounds checks; an empty name is a
// slot a table builder left unfilled.
constexpr bool fields_fit() {
  for (const BlockLayout& layout : kLayouts) {
    for (const FieldLayout& f : layout.fields) {
      if (f.name.empty() || f.offset + op_width(f.op) > layout.body_size) return false;
    }
    if (!layout.sub_blocks.empty() && layout.sub_mask_offset + 2 > layout.body_size) return false;
    for (const SubBlockLayout& sb : layout.sub_blocks) {
      if (sb.bit >= 8) return false;
    }
  }
  return true;
}
static_assert(fields_fit(), "a field lies outside its block's body size");

// The layouts are listed by number, so the first and the last bound the index.
constexpr NumberIndex<kLayouts[0].number, kLayouts[std::size(kLayouts) - 1].number> kLayoutByNumber(kLayouts);

}  // namespace

std::span<const BlockLayout> block_layouts() { return kLayouts; }

const BlockLayout* find_layout(std::uint16_t number) {
  const int at = kLayoutByNumber.find(number);
  return at < 0 ? nullptr : &kLayouts[at];
}

}  // namespace sigtap::sbf
