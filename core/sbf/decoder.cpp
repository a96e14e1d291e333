// SBF stream framing: one pass over the bytes per call, one move of the kept tail.
#include "core/sbf/decoder.hpp"

#include <cstring>

#include "core/sbf/block_decoder.hpp"
#include "core/sbf/crc.hpp"

namespace sigtap::sbf {
namespace {

std::uint16_t load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The first offset in [pos, n - 1) where the two sync bytes start, or n.
std::size_t find_sync(const std::uint8_t* d, std::size_t pos, std::size_t n) {
  for (std::size_t p = pos; p + 1 < n; ++p) {
    std::uint16_t pair;
    std::memcpy(&pair, d + p, 2);
    if (pair == kSync) return p;
  }
  return n;
}

Block make_block(const std::uint8_t* d, std::size_t length) {
  Block b;
  b.block_bytes.assign(d, d + length);
  const std::uint16_t id = load16(d + 4);
  b.number = id & 0x1FFF;
  b.revision = static_cast<std::uint8_t>(id >> 13);
  if (length >= 12) {
    if (std::uint32_t tow = load32(d + 8); tow != 0xFFFFFFFFu) b.tow = tow;
  }
  if (length >= 14) {
    if (std::uint16_t wnc = load16(d + 12); wnc != 0xFFFF) b.wnc = wnc;
  }
  DecodedBlock decoded = decode_block(b.block_bytes);
  if (decoded.name) {
    b.name = decoded.name;
    b.fields = std::move(decoded.fields);
  }
  return b;
}

// Frames every whole block of `d[0, n)` into `out` and returns the offset
// from which the bytes must be kept for the next call (n: keep nothing).
std::size_t scan(const std::uint8_t* d, std::size_t n, std::vector<Block>& out) {
  std::size_t pos = 0;
  while (n - pos >= 2) {
    const std::size_t p = find_sync(d, pos, n);
    if (p == n) break;
    if (n - p < 8) return p;  // the header is still incomplete
    const std::size_t length = load16(d + p + 6);
    if (length % 4 != 0 || length < 8) {
      pos = p + 1;  // only the false sync's first byte is spent: a block may start inside it
      continue;
    }
    // Waiting comes before the CRC check, so a false sync with a plausible
    // Length holds the stream back until that many bytes have arrived.
    if (n - p < length) return p;
    if (crc16({d + p + 4, length - 4}) != load16(d + p + 2)) {
      pos = p + 1;
      continue;
    }
    out.push_back(make_block(d + p, length));
    pos = p + length;
  }
  // No sync left: only a trailing '$' can still become one.
  if (pos < n && d[n - 1] == 0x24) return n - 1;
  return n;
}

}  // namespace

void Decoder::feed(std::span<const std::uint8_t> bytes, std::vector<Block>& out) {
  if (buf_.empty()) {
    // Nothing held back: frame straight from the caller's bytes and copy
    // only the tail that must wait.
    const std::size_t keep = scan(bytes.data(), bytes.size(), out);
    buf_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(keep), bytes.end());
    return;
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  const std::size_t keep = scan(buf_.data(), buf_.size(), out);
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(keep));
}

std::vector<Block> Decoder::feed(std::span<const std::uint8_t> bytes) {
  std::vector<Block> out;
  feed(bytes, out);
  return out;
}

}  // namespace sigtap::sbf
