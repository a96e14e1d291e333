// seeds: sbf
// Fuzzes the block decoder: the input is the body of one block, its number
// taken from the first two bytes (mostly one of the known types).
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/sbf/block_decoder.hpp"
#include "core/sbf/block_names.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sigtap::sbf;
  std::uint16_t selector = 0;
  if (size >= 2) {
    selector = static_cast<std::uint16_t>(data[0] | data[1] << 8);
    data += 2;
    size -= 2;
  }
  // Bit 15 clear (most inputs): a known type with any revision; set: any ID.
  const auto types = block_types();
  const std::uint16_t id = (selector & 0x8000) == 0
                               ? static_cast<std::uint16_t>(types[(selector & 0xFF) % types.size()].number |
                                                            (selector & 0x7000) << 1)
                               : static_cast<std::uint16_t>(selector << 1 | (selector >> 14 & 1));
  // Bit 8 asks for the Length as given, odd or not; otherwise the padded size.
  const std::size_t padded = (8 + size + 3) / 4 * 4;
  std::vector<std::uint8_t> block(padded, 0);
  const std::size_t length = (selector & 0x8100) == 0x0100 && size >= 2 ? (data[0] | data[1] << 8) : padded;
  const std::uint8_t header[8] = {0x24, 0x40, 0, 0, static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
                                  static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
  std::memcpy(block.data(), header, sizeof header);
  if (size > 0) std::memcpy(block.data() + 8, data, size);

  const DecodedBlock d = decode_block(block);
  if (d.fields && d.name == nullptr) __builtin_trap();
  if (d.name != nullptr && d.name != block_name(id & 0x1FFF)) __builtin_trap();
  if (d.fields && d.fields->capacity() != d.fields->size() + 1) __builtin_trap();
  for (const auto& [key, value] : d.fields ? *d.fields : sigtap::Fields{}) {
    if (key.empty()) __builtin_trap();
    (void)value.fmt();
  }
  return 0;
}
