// CRC-16/XMODEM: the standard check value and agreement with a bitwise CRC.
#include <gtest/gtest.h>

#include <random>

#include "core/sbf/crc.hpp"
#include "tests/cpp/sbf/sbf_test_util.hpp"

namespace sigtap::test {

TEST(SbfCrc, CheckValueAndBitwiseAgreement) {
  const std::string digits = "123456789";
  EXPECT_EQ(sbf::crc16({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}), 0x31C3);
  std::mt19937 rng(7);
  Bytes data(4096);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  EXPECT_EQ(sbf::crc16(data), bitwise_crc(data.data(), data.size()));
  // Continuing from a remainder equals one pass over the whole.
  EXPECT_EQ(sbf::crc16({data.data() + 100, data.size() - 100}, sbf::crc16({data.data(), 100})), sbf::crc16(data));
}

}  // namespace sigtap::test
