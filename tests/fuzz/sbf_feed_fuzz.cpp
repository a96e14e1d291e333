// seeds: sbf
// Fuzzes the SBF framing: the stream is fed whole and in chunks whose sizes
// come from the input, directly and through the codec with three sources.
// Every block must be a valid frame, and chunking must not change the blocks;
// the codec's messages, written over the lists of earlier ones, must carry
// what a fresh decode of their block gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/codec/sbf.hpp"
#include "core/fields_pool.hpp"
#include "core/sbf/decoder.hpp"

namespace {

using Bytes = sigtap::Bytes;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::uint16_t bitwise_crc(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

void check_block(const Bytes& b) {
  check(b.size() >= 8 && b.size() % 4 == 0 && b.size() <= sigtap::sbf::kMaxBlockLength, "block size");
  check(b[0] == 0x24 && b[1] == 0x40, "sync bytes");
  check((b[6] | b[7] << 8) == static_cast<int>(b.size()), "Length matches the block");
  check((b[2] | b[3] << 8) == bitwise_crc(b.data() + 4, b.size() - 4), "CRC");
}

// A small generator so that the chunk sizes depend only on the input.
struct Chunker {
  std::uint32_t state;
  std::size_t next() {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t r = state >> 8;
    return r % 4 == 0 ? 0 : (r % 3 == 0 ? r % 4096 : r % 17);  // empty, large and small chunks
  }
};

// The fields of one whole block, decoded into fresh lists, as the codec adds them.
std::string fresh_fields(const Bytes& block) {
  std::vector<sigtap::sbf::Block> blocks = sigtap::sbf::Decoder().feed(block);
  check(blocks.size() == 1, "a message's bytes are one block");
  const sigtap::sbf::Block& b = blocks[0];
  sigtap::Fields fields;
  if (b.fields) {
    fields = *b.fields;
  } else {
    const auto optional = [](auto v) { return v ? sigtap::Value::integer(*v) : sigtap::Value::null(); };
    fields = {{"tow", optional(b.tow)}, {"wnc", optional(b.wnc)}};
  }
  fields.emplace_back("revision", sigtap::Value::integer(b.revision));
  return sigtap::Value::map(std::move(fields)).fmt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sigtap::sbf::Block;
  using sigtap::sbf::Decoder;
  if (size < 4) return 0;
  Chunker chunker{static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24)};
  const std::uint8_t* stream = data + 4;
  const std::size_t n = size - 4;

  std::vector<Bytes> whole;
  for (Block& b : Decoder().feed({stream, n})) whole.push_back(std::move(b.block_bytes));

  Decoder chunked;
  std::vector<Bytes> got;
  sigtap::codec::sbf::Sbf codec;
  const std::optional<std::uint64_t> sources[] = {std::nullopt, 1, 2};
  Bytes per_source[3];
  std::vector<Bytes> from_codec[3];
  std::vector<sigtap::Message> out;
  for (std::size_t at = 0, i = 0; at < n; ++i) {
    const std::size_t len = std::min(chunker.next(), n - at);
    std::vector<Block> blocks = chunked.feed({stream + at, len});
    check(chunked.buffered() <= sigtap::sbf::kMaxBlockLength, "held bytes stay within one block");
    for (Block& b : blocks) {
      check_block(b.block_bytes);
      check(b.number == ((b.block_bytes[4] | b.block_bytes[5] << 8) & 0x1FFF) && b.revision == b.block_bytes[5] >> 5,
            "number and revision");
      got.push_back(std::move(b.block_bytes));
    }
    const std::size_t s = i % 3;
    per_source[s].insert(per_source[s].end(), stream + at, stream + at + len);
    out.clear();
    check(codec.decode(sigtap::Packet{Bytes(stream + at, stream + at + len), {}, 1.0, sources[s]}, out).ok(), "decode");
    for (sigtap::Message& m : out) {
      check(m.name && !m.name->empty() && !m.fields.empty() && m.fields.back().first == "revision", "message shape");
      check(m.packet && m.packet->timestamp == 1.0 && !m.packet->source, "message packet");
      if (*m.name == "PVTGeodetic" || *m.name == "AttEuler") check(codec.encode(m).ok(), "a decoded block re-encodes");
      check(sigtap::Value::map(m.fields).fmt() == fresh_fields(m.packet->data.make_owned()), "recycled lists decode as fresh ones");
      sigtap::recycle_fields(m.fields);
      from_codec[s].push_back(std::move(m.packet->data.make_owned()));
    }
    at += len;
  }
  check(got == whole, "chunking changes nothing");
  for (int s = 0; s < 3; ++s) {
    std::vector<Bytes> want;
    for (Block& b : Decoder().feed(per_source[s])) want.push_back(std::move(b.block_bytes));
    check(from_codec[s] == want, "each source is framed on its own");
  }
  return 0;
}
