// The block decoder: turns one framed block into its type name and, for the
// block types that have a field mapping, its named fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/fields_pool.hpp"
#include "core/value.hpp"

namespace sigtap::sbf {

/// The outcome of decoding one whole block (sync bytes to the end of the
/// padding; its Length and CRC already checked by the framing).
struct DecodedBlock {
  /// The type name ("PVTGeodetic"), static; nullptr when the block number is
  /// not one the decoder knows or the body cannot be parsed.
  const char* name = nullptr;
  /// The block's fields, with room reserved for one more (the codec adds
  /// the revision); absent for types without a field mapping (and whenever
  /// `name` is nullptr).
  std::optional<Fields> fields;
};

/// Decodes one framed block. Never fails: an unknown number or an
/// unparsable body (shorter than its type's fields, a Length above 65527 or
/// beyond the bytes given, a bad sync) gives a result without a name. The
/// revision bits play no part; the CRC is not checked again.
DecodedBlock decode_block(std::span<const std::uint8_t> block);

/// What decode_block_into found: the name as decode_block gives it, and
/// whether the block's fields were written.
struct BlockName {
  const char* name = nullptr;
  bool has_fields = false;
};

/// As decode_block, with the fields appended by `out` (see FieldWriter:
/// over a recycled list when `out` starts without storage) and room
/// reserved for one more; nothing is written when there are no fields.
BlockName decode_block_into(std::span<const std::uint8_t> block, FieldWriter& out);

}  // namespace sigtap::sbf
