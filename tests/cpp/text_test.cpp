#include "core/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using sigtap::decimal;
using sigtap::float_value_form;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double min_subnormal = std::numeric_limits<double>::denorm_min();

struct TextCase {
    std::string input;
    const char* expected;
};

TEST(QuotedForm, Table) {
    const TextCase cases[] = {
        {"", R"("")"},
        {"plain text ~!", R"("plain text ~!")"},
        {"a\"\\", R"("a\"\\")"},
        {std::string("\t\0'\u00a0", 5), R"("\t\0'\u{a0}")"},
        {"\n\r\x01\x1f\x7f", R"("\n\r\u{1}\u{1f}\u{7f}")"},
        {"\u0085\u009f\u00ad", R"("\u{85}\u{9f}\u{ad}")"},
        {"\u00e9", "\"\u00e9\""},                        // precomposed letter kept
        {"e\u0301", R"("e\u{301}")"},                     // combining mark escaped
        {"\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000",
         R"("\u{1680}\u{2000}\u{200a}\u{2028}\u{2029}\u{202f}\u{205f}\u{3000}")"},
        {"a\u200bb\ufeff", R"("a\u{200b}b\u{feff}")"},   // zero width, BOM (Cf)
        {"\ue000\U000ffffd\U0010fffd", R"("\u{e000}\u{ffffd}\u{10fffd}")"},
        {"\xef\xbf\xbe\xef\xbf\xbf\U0010ffff", R"("\u{fffe}\u{ffff}\u{10ffff}")"},
        {"\u0378\U000e0001", R"("\u{378}\u{e0001}")"},   // unassigned, tag (Cf)
        {"\u4e2d\u6587 \U0001f600 \u03a9", "\"\u4e2d\u6587 \U0001f600 \u03a9\""},
        {"\xff", R"("\u{fffd}")"},
        {"a\x80z", R"("a\u{fffd}z")"},
        {"\xc0\xaf", R"("\u{fffd}\u{fffd}")"},                    // overlong
        {"\xed\xa0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},        // surrogate
        {"\xf4\x90\x80\x80", R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"},  // > U+10FFFF
        {"\xe2\x82", R"("\u{fffd}\u{fffd}")"},                    // truncated
        {"\xe2\x82" "a", R"("\u{fffd}\u{fffd}a")"},
    };
    for (const auto& c : cases) {
        // Qualified: std::quoted would be found through the std::string argument.
        EXPECT_EQ(sigtap::quoted(c.input), c.expected);
    }
    std::string out = "x=";
    sigtap::append_quoted(out, "y");
    EXPECT_EQ(out, R"(x="y")");
}

TEST(QuotedForm, EscapeTableLookup) {
    for (char32_t cp : {0x1, 0x7f, 0xa0, 0xad, 0x300, 0x1680, 0x200b, 0xe000, 0xfffe, 0xffff,
                        0x10ffff}) {
        EXPECT_TRUE(sigtap::needs_unicode_escape(cp)) << std::hex << static_cast<unsigned>(cp);
    }
    for (char32_t cp : {0x20, 0x41, 0x7e, 0xa1, 0xe9, 0x4e2d, 0xd800, 0x1f600, 0x110000}) {
        EXPECT_FALSE(sigtap::needs_unicode_escape(cp)) << std::hex << static_cast<unsigned>(cp);
    }
}

struct NumberCase {
    double value;
    const char* value_form;
    const char* decimal_form;
};

TEST(NumberForms, Table) {
    const NumberCase cases[] = {
        {0.0, "0.0", "0"},           {-0.0, "-0.0", "-0"},         {1.0, "1.0", "1"},
        {-1.0, "-1.0", "-1"},        {100.0, "100.0", "100"},      {0.5, "0.5", "0.5"},
        {0.1, "0.1", "0.1"},         {2.25, "2.25", "2.25"},       {1234.5, "1234.5", "1234.5"},
        {0.0001, "0.0001", "0.0001"}, {0.00009, "9e-5", "0.00009"}, {1e-5, "1e-5", "0.00001"},
        {1e-7, "1e-7", "0.0000001"}, {1.5e-7, "1.5e-7", "0.00000015"},
        {9999999999999998.0, "9999999999999998.0", "9999999999999998"},
        {1e16, "1e16", "10000000000000000"}, {1e21, "1e21", "1000000000000000000000"},
        {-2.5e20, "-2.5e20", "-250000000000000000000"},
        {nan, "NaN", "NaN"}, {-nan, "NaN", "NaN"}, {inf, "inf", "inf"}, {-inf, "-inf", "-inf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decimal(c.value), c.decimal_form) << c.value_form;
        EXPECT_EQ(float_value_form(c.value), c.value_form);
    }
}

TEST(NumberForms, ExtremeMagnitudes) {
    EXPECT_EQ(decimal(1e300), "1" + std::string(300, '0'));
    EXPECT_EQ(decimal(min_subnormal), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(float_value_form(min_subnormal), "5e-324");
    EXPECT_EQ(float_value_form(std::numeric_limits<double>::max()), "1.7976931348623157e308");
    EXPECT_EQ(float_value_form(std::nextafter(0.0001, 0.0)), "9.999999999999999e-5");
    std::string out = "v=";
    sigtap::append_float_value_form(out, 2.0);
    sigtap::append_decimal(out, -3.0);
    EXPECT_EQ(out, "v=2.0-3");
}

}  // namespace
