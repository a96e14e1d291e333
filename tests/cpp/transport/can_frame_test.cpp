// CAN frame checks and the filter-list grammar, with their exact error texts.
#include "core/transport/can_frame.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/test_util.hpp"

namespace {

using namespace sigtap;
using can_frame::Filter;
using sigtap::test::error_text;

std::string nan(const std::string& shown) { return "filter: \"" + shown + "\" is not a number"; }

TEST(CanFrameNumber, Table) {
  const std::pair<std::string, std::string> cases[] = {  // the number, or the error
      {"0", "0"}, {"12", "12"}, {"+12", "12"}, {"0x+1F", "31"}, {"0X1f", "31"}, {"007", "7"},
      {"4294967295", "4294967295"}, {"0x00000000FFFFFFFF", "4294967295"}, {" \t12\n", "12"},
      {"\u00a012\u3000\u2029", "12"}, {"4294967296", nan("4294967296")}, {"0x100000000", nan("0x100000000")},
      {"-1", nan("-1")}, {"0x", nan("0x")}, {"+", nan("+")}, {"+0x1", nan("+0x1")}, {"1 2", nan("1 2")},
      {"", nan("")}, {" \u2003 ", nan("")}, {"\xff", nan("\\u{fffd}")},
      {" \u200b1 ", nan("\\u{200b}1")},  // zero width is no white space
  };
  for (const auto& [text, expected] : cases) {
    auto r = can_frame::parse_u32(text);
    EXPECT_EQ(r.ok() ? std::to_string(*r) : r.error().fmt(), expected) << text;
    EXPECT_TRUE(r.ok() || r.error().kind() == ErrorKind::Config);
  }
}

TEST(CanFrameFilterList, Table) {
  const std::tuple<std::string, std::vector<Filter>, std::string> cases[] = {
      {"", {}, ""}, {",,,", {}, ""}, {"0x100", {{0x100, 0x7FF, false}}, ""}, {"0x100:", {{0x100, 0x7FF, false}}, ""},
      {"0x800", {{0x800, 0x1FFFFFFF, true}}, ""}, {"0x100:0x700", {{0x100, 0x700, false}}, ""},
      {"0x900:0x7", {{0x900, 0x7, true}}, ""},  // the identifier alone decides the format
      {",0x1,,2048,", {{1, 0x7FF, false}, {2048, 0x1FFFFFFF, true}}, ""}, {"0x100: ", {}, nan("")},
      {"0x100:0x700:1", {}, nan("0x700:1")}, {"x:0x700,0x1:y", {}, nan("x")}, {"0x1:y,x", {}, nan("y")},
  };
  for (const auto& [text, filters, error] : cases) {
    auto r = Filter::parse_list(text);
    EXPECT_EQ(error_text(r), error) << text;
    EXPECT_TRUE(!r.ok() || *r == filters) << text;
  }
}

TEST(CanFrameCheck, Table) {
  const std::string id11 = "identifier 0x800 exceeds the 11-bit maximum 0x7FF";
  const std::string fd = " is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)";
  const std::tuple<CanHeader, std::size_t, std::string> cases[] = {  // the error, if any
      {{0x7FF, false}, 8, ""}, {{0x800, false}, 8, id11}, {{0x1FFFFFFF, true}, 8, ""},
      {{0xFFFFFFFF, false}, 0, "identifier 0xFFFFFFFF exceeds the 11-bit maximum 0x7FF"},
      {{0x20000000, true}, 8, "identifier 0x20000000 exceeds the 29-bit maximum 0x1FFFFFFF"},
      {{0x800, false, false, true}, 9, id11},  // the identifier first
      {{0x1, false, false, true}, 8, "bit rate switch needs a CAN FD frame"}, {{0x1, false, true, true}, 8, ""},
      {{0x1, false, false, true}, 12, ""},  // a long frame is FD by its length
      {{0x1, false}, 12, ""}, {{0x1, false}, 64, ""}, {{0x1, false}, 9, "9 bytes" + fd},
      {{0x1, false, true}, 11, "11 bytes" + fd}, {{0x1, false}, 65, "65 bytes" + fd},
  };
  for (const auto& [header, len, error] : cases) {
    auto st = can_frame::check_frame(header, len);
    EXPECT_EQ(error_text(st), error.empty() ? "" : "invalid packet: " + error) << header.id << "/" << len;
    EXPECT_TRUE(st.ok() || st.error().kind() == ErrorKind::InvalidPacket);
  }
}

}  // namespace
