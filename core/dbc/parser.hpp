// The DBC parser: recursive descent over the lexer's tokens, one function per
// keyword, each returning a Status so that the first error ends the parse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/dbc/ast.hpp"
#include "core/dbc/lexer.hpp"
#include "core/result.hpp"

namespace sigtap::dbc {

/// One parse of one text; run() may be called once.
class Parser {
 public:
  explicit Parser(std::string_view text) : lex_(text) {}
  /// The syntax tree, or Error::DbcParse "line L, column C: expected ...".
  Result<ast::Dbc> run();

 private:
  // Errors at the current token.
  Error fail(std::string_view what) const;

  // Token readers: each consumes what it reads or fails with "expected <what>".
  bool accept_punct(char c);
  Status expect_punct(char c, std::string_view what);
  Status expect_keyword(std::string_view word, std::string_view what);
  Result<std::string> expect_identifier(std::string_view what);
  Result<std::string> expect_string(std::string_view what);
  Result<std::uint64_t> expect_unsigned(std::string_view what);
  Result<ast::NumericValue> expect_number(std::string_view what);
  Result<double> expect_float(std::string_view what);
  Result<std::int64_t> expect_integer(std::string_view what);
  Result<ast::MessageId> expect_message_id();
  Result<ast::AttributeValue> expect_attribute_value();
  Status end_statement(std::string_view keyword);
  Status skip_statement(std::string_view keyword);
  bool at_keyword() const;
  Status identifier_list(std::vector<std::string>* out);

  Status statement();
  Status version();
  Status new_symbols();
  Status bit_timing();
  Status nodes();
  Status message();
  Status signal(ast::Message& message);
  Status comment();
  Status attribute_definition(bool relation);
  Status attribute_type(ast::AttributeDefinition& def);
  Status attribute_default(bool relation);
  Status attribute();
  Status attribute_relation();
  Status value_descriptions();
  Status value_table();
  Status value_pairs(std::vector<std::pair<std::int64_t, std::string>>* out);
  Status signal_value_type();
  Status extended_multiplex();
  Status message_transmitters();
  Status environment_variable();
  Status environment_variable_data();
  Status signal_group();
  Status signal_type_ref();

  Lexer lex_;
  ast::Dbc dbc_;
};

}  // namespace sigtap::dbc
