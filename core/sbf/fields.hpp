// Turning a block body into named field values by walking its layout table;
// one reservation per block, loads by memcpy, one switch per field.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/fields_pool.hpp"
#include "core/sbf/block_layouts.hpp"
#include "core/value.hpp"

namespace sigtap::sbf {

/// The PVT mode display text of m = Mode AND 15 ("RTK Fixed", "Unknown(9)").
const char* pvt_mode_name(std::uint8_t mode);

/// The attitude mode name of m = Mode AND 15; "NoAttitude" for m above 4.
const char* attitude_mode_name(std::uint16_t mode);

/// The named fields of `body` (the bytes after the 8-byte header) laid out
/// as `layout` says, with room for one more field, or nothing when the body
/// is too short for them. Bytes past the known fields are ignored.
std::optional<Fields> read_fields(const BlockLayout& layout, std::span<const std::uint8_t> body);

/// As read_fields, appended by `out` (over a recycled list, names, texts and
/// maps included, when its list starts without storage) with room reserved
/// for one more; false, with nothing written, when the body is too short.
bool read_fields_into(const BlockLayout& layout, std::span<const std::uint8_t> body, FieldWriter& out);

}  // namespace sigtap::sbf
