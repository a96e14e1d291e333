// CAN frame checks and the filter-list grammar, with their exact error texts.
#include "core/transport/can_frame.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using can_frame::Filter;
using sigtap::test::error_text;

TEST(CanFrameNumber, Table) {
  const std::pair<std::string, std::string> cases[] = {  // the number, or the error
      {"0", "0"},
      {"12", "12"},
      {"+12", "12"},
      {"0x+1F", "31"},
      {"0X1f", "31"},
      {"007", "7"},
      {"4294967295", "4294967295"},
      {"0x00000000FFFFFFFF", "4294967295"},
      {" \t12\n", "12"},
      {"\u00a012\u3000\u2029", "12"},
      {"4294967296", R"(filter: "4294967296" is not a number)"},
      {"0x100000000", R"(filter: "0x100000000" is not a number)"},
      {"-1", R"(filter: "-1" is not a number)"},
      {"0x", R"(filter: "0x" is not a number)"},
      {"+", R"(filter: "+" is not a number)"},
      {"+0x1", R"(filter: "+0x1" is not a number)"},
      {"1 2", R"(filter: "1 2" is not a number)"},
      {"", R"(filter: "" is not a number)"},
      {" \u2003 ", R"(filter: "" is not a number)"},
      {" \u200b1 ", R"(filter: "\u{200b}1" is not a number)"},  // zero width is no white space
      {"\xff", R"(filter: "\u{fffd}" is not a number)"},
  };
  for (const auto& [text, expected] : cases) {
    auto r = can_frame::parse_u32(text);
    EXPECT_EQ(r.ok() ? std::to_string(*r) : r.error().fmt(), expected) << text;
    EXPECT_TRUE(r.ok() || r.error().kind() == ErrorKind::Config);
  }
}

TEST(CanFrameFilterList, Table) {
  const std::tuple<std::string, std::vector<Filter>, std::string> cases[] = {
      {"", {}, ""},
      {",,,", {}, ""},
      {"0x100", {{0x100, 0x7FF, false}}, ""},
      {"0x100:", {{0x100, 0x7FF, false}}, ""},
      {"0x800", {{0x800, 0x1FFFFFFF, true}}, ""},
      {"0x100:0x700", {{0x100, 0x700, false}}, ""},
      {"0x900:0x7", {{0x900, 0x7, true}}, ""},  // the identifier alone decides the format
      {",0x1,,2048,", {{1, 0x7FF, false}, {2048, 0x1FFFFFFF, true}}, ""},
      {"0x100: ", {}, R"(filter: "" is not a number)"},
      {"0x100:0x700:1", {}, R"(filter: "0x700:1" is not a number)"},
      {"x:0x700,0x1:y", {}, R"(filter: "x" is not a number)"},
      {"0x1:y,x", {}, R"(filter: "y" is not a number)"},
  };
  for (const auto& [text, filters, error] : cases) {
    auto r = Filter::parse_list(text);
    EXPECT_EQ(error_text(r), error) << text;
    EXPECT_TRUE(!r.ok() || *r == filters) << text;
  }
}

TEST(CanFrameCheck, Table) {
  const std::tuple<CanHeader, std::size_t, std::string> cases[] = {  // the error, if any
      {{0x7FF, false}, 8, ""},
      {{0x800, false}, 8, "identifier 0x800 exceeds the 11-bit maximum 0x7FF"},
      {{0xFFFFFFFF, false}, 0, "identifier 0xFFFFFFFF exceeds the 11-bit maximum 0x7FF"},
      {{0x1FFFFFFF, true}, 8, ""},
      {{0x20000000, true}, 8, "identifier 0x20000000 exceeds the 29-bit maximum 0x1FFFFFFF"},
      {{0x800, false, false, true}, 9, "identifier 0x800 exceeds the 11-bit maximum 0x7FF"},  // identifier first
      {{0x1, false, false, true}, 8, "bit rate switch needs a CAN FD frame"},
      {{0x1, false, true, true}, 8, ""},
      {{0x1, false, false, true}, 12, ""},  // a long frame is FD by its length
      {{0x1, false}, 12, ""},
      {{0x1, false}, 64, ""},
      {{0x1, false}, 9, "9 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {{0x1, false, true}, 11, "11 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {{0x1, false}, 65, "65 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
  };
  for (const auto& [header, len, error] : cases) {
    auto st = can_frame::check_frame(header, len);
    EXPECT_EQ(error_text(st), error.empty() ? "" : "invalid packet: " + error) << header.id << "/" << len;
    EXPECT_TRUE(st.ok() || st.error().kind() == ErrorKind::InvalidPacket);
  }
}

}  // namespace
