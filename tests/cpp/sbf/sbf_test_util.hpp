// Test helpers for SBF: a bitwise CRC and a block builder independent of the library's own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sigtap::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t bitwise_crc(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// A framed block: header, body, zero padding to a multiple of 4. `length`
// overrides the Length field and `crc_xor` spoils the CRC.
inline Bytes sbf_block(std::uint16_t id, Bytes body, int length = -1, std::uint16_t crc_xor = 0) {
  Bytes b((body.size() + 8 + 3) / 4 * 4, 0);
  b[0] = 0x24, b[1] = 0x40, b[4] = std::uint8_t(id), b[5] = std::uint8_t(id >> 8);
  std::copy(body.begin(), body.end(), b.begin() + 8);
  const auto len = static_cast<std::uint16_t>(length < 0 ? b.size() : length);
  b[6] = std::uint8_t(len), b[7] = std::uint8_t(len >> 8);
  const auto crc = static_cast<std::uint16_t>(bitwise_crc(b.data() + 4, b.size() - 4) ^ crc_xor);
  b[2] = std::uint8_t(crc), b[3] = std::uint8_t(crc >> 8);
  return b;
}

template <class T> Bytes le_bytes(const T& v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

// A file of ../shared/data/sbf/pysbf2 beside the repository (or under $SIGTAP_DATA).
inline Bytes read_recording(const std::string& name) {
  const char* env = std::getenv("SIGTAP_DATA");
  const auto data = env ? std::filesystem::path(env) : std::filesystem::path(__FILE__).parent_path() / "../../../../shared/data";
  std::ifstream in(data / "sbf/pysbf2" / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace sigtap::test
