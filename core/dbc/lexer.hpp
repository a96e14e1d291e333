// The DBC lexer: turns text into tokens with line and column, one token at a
// time, so that a large file is never held twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sigtap::dbc {

enum class TokenKind {
  Identifier,    ///< [A-Za-z_][A-Za-z0-9_]*
  Number,        ///< digits with an optional fraction and exponent, no sign
  String,        ///< a quoted text; `text` holds it with escapes resolved
  Punct,         ///< one character: `text` holds it
  Unterminated,  ///< a quote without its closing quote
  End,
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::string_view raw;  ///< the token as written (for strings: with quotes)
  std::string text;      ///< strings only: the text inside the quotes
  std::uint32_t line = 1;
  std::uint32_t column = 1;  ///< in characters, from 1

  bool is_punct(char c) const { return kind == TokenKind::Punct && raw.size() == 1 && raw[0] == c; }
  bool is_identifier(std::string_view word) const { return kind == TokenKind::Identifier && raw == word; }
};

/// Reads tokens from a text that outlives it. Blanks, line ends (LF or CRLF),
/// "//" comments and a leading UTF-8 byte-order mark separate tokens.
class Lexer {
 public:
  explicit Lexer(std::string_view text);

  /// The current token, without consuming it.
  const Token& peek() const { return current_; }
  /// Consumes the current token and returns it.
  Token next();

 private:
  void advance();
  void skip_blanks();
  void bump(std::size_t n);
  void lex_string();
  void lex_number();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint32_t line_ = 1;
  std::uint32_t column_ = 1;
  Token current_;
};

}  // namespace sigtap::dbc
