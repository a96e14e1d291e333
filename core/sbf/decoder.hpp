// SBF stream framing: chunks of one byte stream in, whole CRC-checked blocks out.
//
// Chunks arrive as the transport cuts them (datagrams, 64 KiB reads), so a
// block may span several chunks and a chunk may hold several blocks; the
// decoder never fails and keeps at most one incomplete candidate block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/value.hpp"

namespace sigtap::sbf {

/// The two sync bytes "$@" read as one little-endian 16-bit value.
inline constexpr std::uint16_t kSync = 0x4024;
/// The largest Length a block can have (a multiple of 4 that fits 16 bits).
inline constexpr std::size_t kMaxBlockLength = 65532;

/// One framed block whose Length and CRC were checked. Owns its bytes and fields.
struct Block {
  /// The whole block as received, sync bytes to the end of the padding.
  Bytes block_bytes;
  /// The decoded fields; absent for unknown, unparsable or unmapped blocks.
  std::optional<Fields> fields;
  /// Header TOW in ms; absent below Length 12 or when it is the do-not-use code.
  std::optional<std::uint32_t> tow;
  /// The type name ("PVTGeodetic"), static text; absent for unknown or unparsable blocks.
  std::optional<std::string_view> name;
  /// Header week number; absent below Length 14 or when it is the do-not-use code.
  std::optional<std::uint16_t> wnc;
  std::uint16_t number = 0;   ///< ID bits 0 to 12
  std::uint8_t revision = 0;  ///< ID bits 13 to 15
};

/// The header fields of a framed block (8 bytes or more), as Block has them.
struct BlockHeader {
  std::optional<std::uint32_t> tow;
  std::optional<std::uint16_t> wnc;
  std::uint16_t number = 0;
  std::uint8_t revision = 0;
};
/// The header fields of `block`, which holds at least its 8-byte header.
BlockHeader read_header(std::span<const std::uint8_t> block);

/// Takes each block the framing completes, in stream order: its whole bytes
/// (Length and CRC checked), valid only during the call.
class BlockSink {
 public:
  virtual void on_block(std::span<const std::uint8_t> block) = 0;

 protected:
  ~BlockSink() = default;
};

/// The framing state of one byte stream. Not thread-safe: one caller at a time.
class Decoder {
 public:
  /// Hands the blocks completed by `bytes` to `sink`, in stream order.
  /// Never fails: bytes that cannot start a block are dropped, an incomplete
  /// block is kept for the next call.
  void feed(std::span<const std::uint8_t> bytes, BlockSink& sink);
  /// As above, appending the blocks, decoded, to `out`. `out` may be reused
  /// to avoid allocating.
  void feed(std::span<const std::uint8_t> bytes, std::vector<Block>& out);
  /// As above, returning the completed blocks.
  std::vector<Block> feed(std::span<const std::uint8_t> bytes);
  /// Bytes held back for the next call (an incomplete block or a lone '$').
  std::size_t buffered() const { return buf_.size(); }

 private:
  // Bytes the candidate held back needs before the framing can pass it.
  std::size_t missing() const;

  std::vector<std::uint8_t> buf_;
};

}  // namespace sigtap::sbf
