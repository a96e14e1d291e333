// SBF stream framing: one pass over the bytes per call, one move of the kept tail.
#include "core/sbf/decoder.hpp"

#include <algorithm>
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

// Collects blocks, decoded, into a list.
class BlockList final : public BlockSink {
 public:
  explicit BlockList(std::vector<Block>& out) : out_(out) {}
  void on_block(std::span<const std::uint8_t> block) override {
    Block& b = out_.emplace_back();
    b.block_bytes.assign(block.begin(), block.end());
    const BlockHeader h = read_header(block);
    b.tow = h.tow;
    b.wnc = h.wnc;
    b.number = h.number;
    b.revision = h.revision;
    DecodedBlock decoded = decode_block(block);
    if (decoded.name) {
      b.name = decoded.name;
      b.fields = std::move(decoded.fields);
    }
  }

 private:
  std::vector<Block>& out_;
};

// Frames every whole block of `d[0, n)` into `sink` and returns the offset
// from which the bytes must be kept for the next call (n: keep nothing).
std::size_t scan(const std::uint8_t* d, std::size_t n, BlockSink& sink) {
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
    sink.on_block({d + p, length});
    pos = p + length;
  }
  // No sync left: only a trailing '$' can still become one.
  if (pos < n && d[n - 1] == 0x24) return n - 1;
  return n;
}

}  // namespace

BlockHeader read_header(std::span<const std::uint8_t> block) {
  const std::uint8_t* d = block.data();
  BlockHeader h;
  const std::uint16_t id = load16(d + 4);
  h.number = id & 0x1FFF;
  h.revision = static_cast<std::uint8_t>(id >> 13);
  if (block.size() >= 12) {
    if (std::uint32_t tow = load32(d + 8); tow != 0xFFFFFFFFu) h.tow = tow;
  }
  if (block.size() >= 14) {
    if (std::uint16_t wnc = load16(d + 12); wnc != 0xFFFF) h.wnc = wnc;
  }
  return h;
}

void Decoder::feed(std::span<const std::uint8_t> bytes, BlockSink& sink) {
  // What is held back starts with a candidate block (or a lone '$'): it gets
  // only the bytes it lacks, until the framing has passed it, and the rest
  // is framed straight from the caller's bytes, not copied behind it.
  std::size_t used = 0;
  while (!buf_.empty() && used < bytes.size()) {
    const std::size_t take = std::min(missing(), bytes.size() - used);
    buf_.insert(buf_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(used),
                bytes.begin() + static_cast<std::ptrdiff_t>(used + take));
    used += take;
    const std::size_t keep = scan(buf_.data(), buf_.size(), sink);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(keep));
  }
  if (!buf_.empty()) return;
  // Only the tail that must wait is copied.
  const std::size_t keep = scan(bytes.data() + used, bytes.size() - used, sink);
  buf_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(used + keep), bytes.end());
}

std::size_t Decoder::missing() const {
  if (buf_.size() < 8) return 8 - buf_.size();  // the header first
  // A Length the framing takes: the rest of the block. (It holds nothing
  // with another Length, so buf_ then starts a new candidate.)
  const std::size_t length = load16(buf_.data() + 6);
  return length > buf_.size() ? length - buf_.size() : 1;
}

void Decoder::feed(std::span<const std::uint8_t> bytes, std::vector<Block>& out) {
  BlockList sink(out);
  feed(bytes, sink);
}

std::vector<Block> Decoder::feed(std::span<const std::uint8_t> bytes) {
  std::vector<Block> out;
  feed(bytes, out);
  return out;
}

}  // namespace sigtap::sbf
