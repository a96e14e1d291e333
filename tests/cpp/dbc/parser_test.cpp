// Parser tests: positions in error texts, the tree facts the database reads,
// and the decoding of files that are not UTF-8.
#include <gtest/gtest.h>

#include "core/dbc/ast.hpp"

namespace sigtap::dbc::ast {
namespace {

std::string parse_error(std::string_view text) {
  auto r = parse(text);
  return r.ok() ? "" : r.error().text();
}

TEST(DbcParse, ErrorTextsNameLineAndColumn) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"BO_ 1 Foo 8 X", "line 1, column 11: expected ':' after the message name"},
      {"VERSION \"\"\r\n\r\nBO_ 1 M: 8 X\r\n\tSG_ s : 0|8@2+ (1,0) [0|0] \"\" X",
       "line 4, column 14: expected the byte order 0 or 1 after '@'"},
      {"BO_ 4294967296 M: 8 X", "line 1, column 5: expected a message identifier (a whole number up to 4294967295)"},
      {"VERSION \"\"\nFOO_ 1;", "line 2, column 1: expected a DBC keyword, found FOO_"},
      {" SG_ s : 0|8@1+ (1,0) [0|0] \"\" X", "Signal defined without an associated message"},
      {"CM_ \"abc", "line 1, column 5: expected '\"' to end the text that starts here"},
      {"CM_ \"\xC3\xA9\" x;", "line 1, column 9: expected ';' to end the CM_ statement"},
      {"BO_ 1 M: 8 X\n SG_ s m : 0|8@1+ (1,0) [0|0] \"\" X", "line 2, column 8: expected a multiplexer indicator (M, mN or mNM) or ':' after the signal name"},
      {"VAL_ 1 s 1.5 \"x\";", "line 1, column 10: expected a value (a whole number)"},
      {"SIG_VALTYPE_ 1 s : 3;", "line 1, column 20: expected the value type 0, 1 or 2"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(parse_error(text), error) << text;
}

TEST(DbcParse, MessageIdentifierKinds) {
  const std::tuple<std::uint32_t, bool, std::uint32_t> cases[] = {
      {0x7FF, false, 0x7FF}, {0x800, true, 0x800}, {0x80000100, true, 0x100}, {0x10400000, true, 0x10400000},
      {0xFFFFFFFF, true, 0x1FFFFFFF},
  };
  for (const auto& [raw, extended, number] : cases) {
    EXPECT_EQ(MessageId{raw}.extended(), extended) << raw;
    EXPECT_EQ(MessageId{raw}.number(), number) << raw;
  }
}

constexpr std::string_view kTree =
    "\xEF\xBB\xBFVERSION \"1.0\" // a comment\r\n"
    "NS_ :\n\tCM_\n\tBA_DEF_\n\tSG_MUL_VAL_\n\nBS_: 500 : 1, 2\nBU_: A B\n"
    "BO_ 2147483905 M: 8 Vector__XXX\n"
    " SG_ sw M : 0|8@1+ (1,0) [0|0] \"\" A,B\n"
    " SG_ a m3 : 8|8@0- (0.5,-1E+2) [-5|1.5] \"\xC2\xB0\" A\n"
    " SG_ b m1M : 16|8@1+ (1,0) [0|18446744073709551616] \"\" A\n"
    "EV_ e: 0 [0|1] \"\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\n"
    "CM_ SG_ 2147483905 a \"first \\\"quoted\\\"\";\nCM_ SG_ 2147483905 a \"second\";\n"
    "BA_DEF_ BO_ \"F\" ENUM \"x\",\"y\";\nBA_DEF_ \"N\" INT 0 10;\nBA_DEF_DEF_ \"F\" 1;\n"
    "BA_ \"F\" BO_ 2147483905 \"text\";\nBA_ \"S\" SG_ 2147483905 a -3;\nBA_ \"N\" 4;\n"
    "BA_REL_ \"R\" BU_SG_REL_ A SG_ 1 a 5;\nVAL_ 2147483905 a 3 \"c\" -1 \"m\" ;\nVAL_ e 0 \"off\";\n"
    "SIG_VALTYPE_ 2147483905 b : 2;\nSG_MUL_VAL_ 2147483905 b sw 1-2, 5-5;\nCAT_DEF_ 1 X 0;\n";

TEST(DbcParse, TreeFactsAndLookups) {
  auto r = parse(kTree);
  ASSERT_TRUE(r.ok()) << r.error().fmt();
  const Dbc& d = *r;
  EXPECT_EQ(d.version, "1.0");
  EXPECT_EQ(d.nodes, (std::vector<std::string>{"A", "B"}));
  ASSERT_EQ(d.messages.size(), 1u);
  // Multiplexing, byte order, sign, receivers, units and the sender are
  // checked through the database (DbcDatabase tests); here the number forms.
  const Message& m = d.messages[0];
  ASSERT_EQ(m.signals.size(), 3u);
  const Signal& a = m.signals[1];
  EXPECT_EQ(a.offset, -100);
  EXPECT_EQ(a.min, NumericValue{std::int64_t{-5}});
  EXPECT_EQ(a.max, NumericValue{1.5});
  EXPECT_EQ(m.signals[2].max, NumericValue{18446744073709551616.0});
  EXPECT_EQ(m.signals[0].max, NumericValue{std::uint64_t{0}});

  const MessageId id{0x80000101};
  ASSERT_TRUE(d.signal_comment(id, "a"));
  EXPECT_EQ(*d.signal_comment(id, "a"), "first \"quoted\"");
  EXPECT_FALSE(d.signal_comment(MessageId{0x101}, "a"));
  EXPECT_EQ(*d.signal_values(id, "a"), (std::vector<std::pair<std::int64_t, std::string>>{{3, "c"}, {-1, "m"}}));
  EXPECT_EQ(*d.signal_attribute(id, "a", "S"), AttributeValue{std::int64_t{-3}});
  EXPECT_EQ(*d.resolved_message_attribute(id, "F"), AttributeValue{std::string("text")});
  EXPECT_EQ(*d.resolved_message_attribute(MessageId{7}, "F"), AttributeValue{std::uint64_t{1}});
  EXPECT_EQ(d.attribute_definitions[0].enum_labels, (std::vector<std::string>{"x", "y"}));

  // Without the tables the look-ups scan and give the same first matches.
  Dbc plain = d;
  plain.index.reset();
  EXPECT_EQ(plain.signal_comment(id, "a"), &plain.signal_comments[0].text);
  EXPECT_EQ(plain.resolved_message_attribute(MessageId{7}, "F"), &plain.attribute_defaults[0].value);
}

TEST(DbcParse, DecodesNonUtf8Bytes) {
  using std::nullopt;
  const std::pair<std::string_view, std::optional<std::string>> cases[] = {
      {"\xB0" "C", "\xC2\xB0" "C"},
      {"\x80\x81\x9F", "\xE2\x82\xAC\xC2\x81\xC5\xB8"},
      {std::string_view("\xFF\xFE" "A\0", 4), "A"},
      {std::string_view("\xFE\xFF\0A", 4), "A"},
      {std::string_view("\xFF\xFE\x3D\xD8\x00\xDE", 6), "\xF0\x9F\x98\x80"},
      {"\xFF\xFE" "A", nullopt},
      {std::string_view("\xFF\xFE\0\xD8", 4), nullopt},
      {"\xEF\xBB\xBF\xB0", nullopt},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(decode_non_utf8(bytes), text);
}

}  // namespace
}  // namespace sigtap::dbc::ast
