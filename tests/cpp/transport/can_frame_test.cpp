// CAN frame checks, filter matching and the filter-list grammar.
#include "core/transport/can_frame.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using sigtap::CanHeader;
using sigtap::ErrorKind;
using sigtap::can_frame::Filter;
using sigtap::can_frame::check_frame;
using sigtap::can_frame::parse_u32;

struct NumberCase {
  std::string text;
  std::optional<std::uint32_t> value;  // nothing: fails
  std::string error = {};
};

TEST(CanFrameNumber, Table) {
  const NumberCase cases[] = {
      {"0", 0},
      {"12", 12},
      {"+12", 12},
      {"0x+1F", 31},
      {"0X1f", 31},
      {"007", 7},
      {"4294967295", 4294967295u},
      {"0xFFFFFFFF", 4294967295u},
      {"0x00000000FFFFFFFF", 4294967295u},
      {" \t12\n", 12},
      {"\u00a012\u3000\u2029", 12},
      {"4294967296", std::nullopt, R"(filter: "4294967296" is not a number)"},
      {"0x100000000", std::nullopt, R"(filter: "0x100000000" is not a number)"},
      {"-1", std::nullopt, R"(filter: "-1" is not a number)"},
      {"0x", std::nullopt, R"(filter: "0x" is not a number)"},
      {"+", std::nullopt, R"(filter: "+" is not a number)"},
      {"++1", std::nullopt, R"(filter: "++1" is not a number)"},
      {"+0x1", std::nullopt, R"(filter: "+0x1" is not a number)"},
      {"1 2", std::nullopt, R"(filter: "1 2" is not a number)"},
      {"12h", std::nullopt, R"(filter: "12h" is not a number)"},
      {"", std::nullopt, R"(filter: "" is not a number)"},
      {" \u2003 ", std::nullopt, R"(filter: "" is not a number)"},
      {" \u200b1 ", std::nullopt, R"(filter: "\u{200b}1" is not a number)"},  // zero width is no white space
      {"\xff", std::nullopt, R"(filter: "\u{fffd}" is not a number)"},
  };
  for (const auto& c : cases) {
    auto r = parse_u32(c.text);
    if (c.value) {
      ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().fmt();
      EXPECT_EQ(*r, *c.value) << c.text;
    } else {
      ASSERT_FALSE(r.ok()) << c.text;
      EXPECT_EQ(r.error().kind(), ErrorKind::Config);
      EXPECT_EQ(r.error().fmt(), c.error) << c.text;
    }
  }
}

struct ListCase {
  std::string text;
  std::vector<Filter> filters;
  std::string error = {};
};

TEST(CanFrameFilterList, Table) {
  const ListCase cases[] = {
      {"", {}},
      {",,,", {}},
      {"0x100", {{0x100, 0x7FF, false}}},
      {"0x100:", {{0x100, 0x7FF, false}}},
      {"0x800", {{0x800, 0x1FFFFFFF, true}}},
      {"0x100:0x700", {{0x100, 0x700, false}}},
      {"0x900:0x7", {{0x900, 0x7, true}}},  // the identifier alone decides the format
      {",0x1,,2048,", {{1, 0x7FF, false}, {2048, 0x1FFFFFFF, true}}},
      {"0x100: ", {}, R"(filter: "" is not a number)"},
      {"0x100:0x700:1", {}, R"(filter: "0x700:1" is not a number)"},
      {"0x1, ", {}, R"(filter: "" is not a number)"},
      {"x:0x700,0x1:y", {}, R"(filter: "x" is not a number)"},
      {"0x1:y,x", {}, R"(filter: "y" is not a number)"},
  };
  for (const auto& c : cases) {
    auto r = Filter::parse_list(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().fmt();
      EXPECT_EQ(*r, c.filters) << c.text;
    } else {
      ASSERT_FALSE(r.ok()) << c.text;
      EXPECT_EQ(r.error().fmt(), c.error) << c.text;
    }
  }
}

TEST(CanFrameFilter, Matches) {
  const Filter range = Filter::parse_list("0x100:0x700")->front();
  for (std::uint32_t id : {0x100u, 0x1FFu, 0x155u}) EXPECT_TRUE(range.matches(CanHeader{id, false})) << id;
  for (std::uint32_t id : {0x0FFu, 0x200u, 0x500u}) EXPECT_FALSE(range.matches(CanHeader{id, false})) << id;
  EXPECT_FALSE(range.matches(CanHeader{0x100, true}));  // format must agree

  const Filter ext = Filter::parse_list("0x18FF0000")->front();
  EXPECT_TRUE(ext.matches(CanHeader{0x18FF0000, true}));
  EXPECT_FALSE(ext.matches(CanHeader{0x18FF0001, true}));
  EXPECT_FALSE(ext.matches(CanHeader{0x18FF0000, false}));
}

struct FrameCase {
  CanHeader header;
  std::size_t len;
  std::string error;  // empty: valid
};

TEST(CanFrameCheck, Table) {
  const FrameCase cases[] = {
      {{0x7FF, false}, 8, ""},
      {{0x800, false}, 8, "identifier 0x800 exceeds the 11-bit maximum 0x7FF"},
      {{0xFFFFFFFF, false}, 0, "identifier 0xFFFFFFFF exceeds the 11-bit maximum 0x7FF"},
      {{0x1FFFFFFF, true}, 8, ""},
      {{0x20000000, true}, 8, "identifier 0x20000000 exceeds the 29-bit maximum 0x1FFFFFFF"},
      {{0x800, false, false, true}, 9, "identifier 0x800 exceeds the 11-bit maximum 0x7FF"},  // identifier first
      {{0x1, false, false, true}, 8, "bit rate switch needs a CAN FD frame"},
      {{0x1, false, false, true}, 0, "bit rate switch needs a CAN FD frame"},
      {{0x1, false, true, true}, 8, ""},
      {{0x1, false, false, true}, 12, ""},  // a long frame is FD by its length
      {{0x1, false}, 12, ""},
      {{0x1, false}, 64, ""},
      {{0x1, false}, 9, "9 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {{0x1, false}, 10, "10 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {{0x1, false, true}, 11, "11 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
      {{0x1, false}, 65, "65 bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)"},
  };
  for (const auto& c : cases) {
    auto st = check_frame(c.header, c.len);
    if (c.error.empty()) {
      EXPECT_TRUE(st.ok()) << c.header.id << "/" << c.len << ": " << st.error().fmt();
    } else {
      ASSERT_FALSE(st.ok()) << c.header.id << "/" << c.len;
      EXPECT_EQ(st.error().kind(), ErrorKind::InvalidPacket);
      EXPECT_EQ(st.error().fmt(), "invalid packet: " + c.error);
    }
  }
}

}  // namespace
