// CAN frame rules outside any database: frame validity checks and acceptance filters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/message.hpp"
#include "core/result.hpp"

namespace sigtap::can_frame {

/// One acceptance filter: a frame passes when its extended flag equals the
/// filter's and its identifier agrees with `id` on every bit set in `mask`.
struct Filter {
  std::uint32_t id = 0;
  std::uint32_t mask = 0;
  bool extended = false;

  bool matches(const CanHeader& header) const {
    return header.extended == extended && ((id ^ header.id) & mask) == 0;
  }

  /// Reads "id[:mask],id[:mask],..." in order. Empty pieces are skipped (so
  /// "" and ",," give no filter). An identifier of 0x800 or more makes an
  /// extended filter; a missing or empty mask selects every identifier bit
  /// (0x7FF or 0x1FFFFFFF). The first bad number fails with Error::Config.
  static Result<std::vector<Filter>> parse_list(std::string_view text);

  friend bool operator==(const Filter&, const Filter&) = default;
};

/// A 32-bit number in decimal or "0x" hexadecimal, each with one optional
/// "+", after trimming Unicode white space from both ends. Fails with
/// Error::Config "filter: <quoted trimmed text> is not a number".
Result<std::uint32_t> parse_u32(std::string_view text);

/// Whether a frame with this header and `len` data bytes can exist on a CAN
/// or CAN FD bus; Error::InvalidPacket naming the first rule broken. A length
/// above 8 counts as CAN FD whatever the header's fd flag says.
Status check_frame(const CanHeader& header, std::size_t len);

/// True for the characters of the Unicode White_Space property.
bool is_white_space(char32_t cp);

}  // namespace sigtap::can_frame
