// The SBF block writer: little-endian bodies with do-not-use codes for absent values.
#include "core/sbf/writer.hpp"

#include <bit>
#include <cmath>
#include <string>

#include "core/sbf/crc.hpp"

namespace sigtap::sbf {
namespace {

constexpr double kDoNotUseFloat = -2e10;
// Half an ulp above the largest float: from here on rounding to nearest
// gives infinity, so the narrowing below never casts an out-of-range value.
constexpr double kFloatOverflow = 0x1.ffffffp127;

float narrow(double x) {
  if (std::fabs(x) >= kFloatOverflow) return x > 0 ? HUGE_VALF : -HUGE_VALF;
  return static_cast<float>(x);
}

// Writes little-endian values one after the other into a buffer sized in advance.
class BodyWriter {
 public:
  explicit BodyWriter(std::uint8_t* at) : at_(at) {}
  void u8(std::uint8_t v) { *at_++ = v; }
  void u16(std::uint16_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void f32(std::optional<double> v) {
    u32(std::bit_cast<std::uint32_t>(v ? narrow(*v) : static_cast<float>(kDoNotUseFloat)));
  }
  void f64(std::optional<double> v) { put(std::bit_cast<std::uint64_t>(v.value_or(kDoNotUseFloat)), 8); }

 private:
  void put(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) *at_++ = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::uint8_t* at_;
};

constexpr std::size_t kPvtBodySize = 87;
constexpr std::size_t kAttBodySize = 36;
constexpr std::size_t kAttBlockSize = 8 + kAttBodySize;
// The CRC of the constant AttEuler ID (0x3732) and Length (44) bytes.
constexpr std::uint16_t kAttHeaderCrc = 0xC23F;

}  // namespace

Result<Bytes> frame_block(std::uint16_t number, std::uint8_t revision,
                                              std::span<const std::uint8_t> body) {
  if ((number & 0xE000) != 0 || revision >= 8) {
    return Error::sbf("block number " + std::to_string(number) + " / revision " + std::to_string(revision) +
                      " out of range (13 / 3 bits)");
  }
  const std::size_t size = (body.size() + 8 + 3) / 4 * 4;
  if (size > 65532) return Error::sbf("a " + std::to_string(size) + "-byte block exceeds 65535 bytes");
  Bytes block(size);
  BodyWriter header(block.data());
  header.u8(0x24);
  header.u8(0x40);
  header.u16(0);
  header.u16(static_cast<std::uint16_t>(number | (revision << 13)));
  header.u16(static_cast<std::uint16_t>(size));
  std::copy(body.begin(), body.end(), block.begin() + 8);
  const std::uint16_t crc = crc16({block.data() + 4, size - 4});
  block[2] = static_cast<std::uint8_t>(crc);
  block[3] = static_cast<std::uint8_t>(crc >> 8);
  return block;
}

Result<Bytes> PvtGeodetic::encode() const {
  std::uint8_t body[kPvtBodySize];
  BodyWriter w(body);
  w.u32(tow.value_or(0xFFFFFFFFu));
  w.u16(wnc.value_or(0xFFFF));
  w.u8(mode);
  w.u8(error);
  w.f64(latitude);
  w.f64(longitude);
  w.f64(height);
  w.f32(undulation);
  w.f32(vn);
  w.f32(ve);
  w.f32(vu);
  w.f32(cog);
  w.f64(rx_clk_bias);
  w.f32(rx_clk_drift);
  w.u8(time_system.value_or(0xFF));
  w.u8(datum.value_or(0xFF));
  w.u8(nr_sv.value_or(0xFF));
  w.u8(wa_corr_info);
  w.u16(reference_id.value_or(0xFFFF));
  w.u16(mean_corr_age.value_or(0xFFFF));
  w.u32(signal_info);
  w.u8(alert_flag);
  w.u8(nr_bases);
  w.u16(ppp_info);
  w.u16(latency.value_or(0xFFFF));
  w.u16(h_accuracy.value_or(0xFFFF));
  w.u16(v_accuracy.value_or(0xFFFF));
  w.u8(misc);
  return frame_block(4007, 2, body);
}

Bytes AttEuler::encode() const {
  Bytes block(kAttBlockSize);
  BodyWriter w(block.data());
  w.u8(0x24);
  w.u8(0x40);
  w.u16(0);
  w.u16(5938 | (1 << 13));
  w.u16(kAttBlockSize);
  w.u32(tow.value_or(0xFFFFFFFFu));
  w.u16(wnc.value_or(0xFFFF));
  w.u8(nr_sv.value_or(0xFF));
  w.u8(error);
  w.u16(mode);
  w.u16(0);
  w.f32(heading);
  w.f32(pitch);
  w.f32(roll);
  w.f32(pitch_dot);
  w.f32(roll_dot);
  w.f32(heading_dot);
  // The four ID and Length bytes never change, so the CRC starts from their remainder.
  const std::uint16_t crc = crc16({block.data() + 8, kAttBodySize}, kAttHeaderCrc);
  block[2] = static_cast<std::uint8_t>(crc);
  block[3] = static_cast<std::uint8_t>(crc >> 8);
  return block;
}

}  // namespace sigtap::sbf
