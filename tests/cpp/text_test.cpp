// Quoted, decimal and value forms of texts and floats: exact, because users compare them.
#include "core/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using sigtap::decimal;
using sigtap::float_value_form;

TEST(QuotedForm, Table) {
  const std::pair<std::string, const char*> cases[] = {
      {"", R"("")"},
      {"plain text ~!", R"("plain text ~!")"},
      {"a\"\\", R"("a\"\\")"},
      {std::string("\t\0'\u00a0", 5), R"("\t\0'\u{a0}")"},
      {"\n\r\x01\x1f\x7f", R"("\n\r\u{1}\u{1f}\u{7f}")"},
      {"\u0085\u009f\u00ad", R"("\u{85}\u{9f}\u{ad}")"},
      {"\u00e9\u00a1", "\"\u00e9\u00a1\""},  // precomposed letter and the first printable past U+00A0 kept
      {"e\u0301", R"("e\u{301}")"},            // combining mark escaped
      {"\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000",
       R"("\u{1680}\u{2000}\u{200a}\u{2028}\u{2029}\u{202f}\u{205f}\u{3000}")"},
      {"a\u200bb\ufeff", R"("a\u{200b}b\u{feff}")"},  // zero width, BOM (Cf)
      {"\ue000\U000ffffd\U0010fffd", R"("\u{e000}\u{ffffd}\u{10fffd}")"},
      {"\xef\xbf\xbe\xef\xbf\xbf\U0010ffff", R"("\u{fffe}\u{ffff}\u{10ffff}")"},
      {"\u0378\U000e0001", R"("\u{378}\u{e0001}")"},  // unassigned, tag (Cf)
      {"\u4e2d\u6587 \U0001f600 \u03a9", "\"\u4e2d\u6587 \U0001f600 \u03a9\""},
      {"\xff", R"("\u{fffd}")"},
      {"a\x80z", R"("a\u{fffd}z")"},
      {"\xc0\xaf", R"("\u{fffd}\u{fffd}")"},                          // overlong
      {"\xed\xa0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},              // surrogate
      {"\xf4\x90\x80\x80", R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"},  // > U+10FFFF
      {"\xe2\x82", R"("\u{fffd}\u{fffd}")"},                          // truncated
      {"\xe2\x82" "a", R"("\u{fffd}\u{fffd}a")"},
  };
  // Qualified: std::quoted would be found through the std::string argument.
  for (const auto& [input, expected] : cases) EXPECT_EQ(sigtap::quoted(input), expected);
}

// The Python suite checks thousands more against the interpreter's own forms.
TEST(NumberForms, Table) {
  constexpr double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::tuple<double, const char*, std::string> cases[] = {  // value, value form, decimal form
      {0.0, "0.0", "0"}, {-0.0, "-0.0", "-0"}, {-1.0, "-1.0", "-1"}, {100.0, "100.0", "100"}, {0.1, "0.1", "0.1"},
      {1234.5, "1234.5", "1234.5"}, {0.0001, "0.0001", "0.0001"}, {0.00009, "9e-5", "0.00009"},
      {1.5e-7, "1.5e-7", "0.00000015"}, {9999999999999998.0, "9999999999999998.0", "9999999999999998"},
      {1e16, "1e16", "10000000000000000"}, {-2.5e20, "-2.5e20", "-250000000000000000000"},
      {std::nextafter(0.0001, 0.0), "9.999999999999999e-5", "0.00009999999999999999"},
      {std::numeric_limits<double>::denorm_min(), "5e-324", "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308", "17976931348623157" + std::string(292, '0')},
      {nan, "NaN", "NaN"}, {-nan, "NaN", "NaN"}, {inf, "inf", "inf"}, {-inf, "-inf", "-inf"},
  };
  for (const auto& [value, value_form, decimal_form] : cases) {
    EXPECT_EQ(decimal(value), decimal_form) << value_form;
    EXPECT_EQ(float_value_form(value), value_form);
  }
  std::string out = "v=";  // the append forms add to what is there
  sigtap::append_float_value_form(out, 2.0), sigtap::append_decimal(out, -3.0), sigtap::append_quoted(out, "y");
  EXPECT_EQ(out, R"(v=2.0-3"y")");
}

}  // namespace
