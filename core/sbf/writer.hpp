// The SBF block writer: frames a body and writes PVTGeodetic and AttEuler blocks.
//
// Absent values are written as the block's do-not-use codes; nothing is
// scaled, only 64-bit floats are narrowed where the block field is 32-bit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.hpp"
#include "core/result.hpp"

namespace sigtap::sbf {

/// Frames `body` as one block: header, body, zero padding to a multiple of 4,
/// CRC. Fails with Error::sbf when number exceeds 13 bits or revision 3 bits,
/// or when the block would exceed 65532 bytes.
Result<Bytes> frame_block(std::uint16_t number, std::uint8_t revision,
                                              std::span<const std::uint8_t> body);

/// A PVTGeodetic (block 4007, revision 2) record; an absent value is written
/// as its do-not-use code.
struct PvtGeodetic {
  std::optional<std::uint32_t> tow{};  ///< ms of the GPS week
  std::optional<std::uint16_t> wnc{};  ///< GPS week
  std::uint8_t mode = 0;             ///< bit 7: 2D; bits 0 to 3: PVT mode
  std::uint8_t error = 0;
  std::optional<double> latitude{}, longitude{}, height{};
  /// Written as 32-bit floats.
  std::optional<double> undulation{}, vn{}, ve{}, vu{}, cog{};
  std::optional<double> rx_clk_bias{};
  std::optional<double> rx_clk_drift{};  ///< written as a 32-bit float
  std::optional<std::uint8_t> time_system{}, datum{}, nr_sv{};
  std::uint8_t wa_corr_info = 0;
  std::optional<std::uint16_t> reference_id{}, mean_corr_age{};
  std::uint32_t signal_info = 0;
  std::uint8_t alert_flag = 0;
  std::uint8_t nr_bases = 0;
  std::uint16_t ppp_info = 0;
  std::optional<std::uint16_t> latency{}, h_accuracy{}, v_accuracy{};
  std::uint8_t misc = 0;

  /// The 96-byte block (87-byte body and one padding byte).
  Result<Bytes> encode() const;
};

/// An AttEuler (block 5938, revision 1) record; an absent value is written as
/// its do-not-use code.
struct AttEuler {
  std::optional<std::uint32_t> tow{};
  std::optional<std::uint16_t> wnc{};
  std::optional<std::uint8_t> nr_sv{};
  std::uint8_t error = 0;
  std::uint16_t mode = 0;
  /// Written as 32-bit floats.
  std::optional<double> heading{}, pitch{}, roll{}, pitch_dot{}, roll_dot{}, heading_dot{};

  /// The 44-byte block; it cannot fail.
  Bytes encode() const;
};

}  // namespace sigtap::sbf
