// The DBC lexer: byte-wise scanning with line and column kept as it goes,
// columns counted in characters so that non-ASCII texts do not shift them.
#include "core/dbc/lexer.hpp"

namespace sigtap::dbc {
namespace {

bool is_ident_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }

}  // namespace

Lexer::Lexer(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  advance();
}

Token Lexer::next() {
  Token t = std::move(current_);
  advance();
  return t;
}

void Lexer::bump(std::size_t n) {
  for (std::size_t end = pos_ + n; pos_ < end; ++pos_) {
    const auto b = static_cast<unsigned char>(text_[pos_]);
    if (b == '\n') {
      ++line_;
      column_ = 1;
    } else if ((b & 0xC0) != 0x80) {
      ++column_;
    }
  }
}

void Lexer::skip_blanks() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
      bump(1);
    } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
      std::size_t end = text_.find('\n', pos_);
      bump((end == std::string_view::npos ? text_.size() : end) - pos_);
    } else {
      return;
    }
  }
}

void Lexer::advance() {
  skip_blanks();
  current_ = Token{};
  current_.line = line_;
  current_.column = column_;
  if (pos_ >= text_.size()) {
    current_.kind = TokenKind::End;
    return;
  }
  const std::size_t start = pos_;
  const char c = text_[pos_];
  if (is_ident_start(c)) {
    std::size_t end = pos_ + 1;
    while (end < text_.size() && is_ident_char(text_[end])) ++end;
    current_.kind = TokenKind::Identifier;
    bump(end - pos_);
  } else if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) {
    lex_number();
  } else if (c == '"') {
    lex_string();
  } else {
    // One character, whole if it is a multi-byte UTF-8 sequence, so that it
    // can be shown as written.
    std::size_t end = pos_ + 1;
    while (end < text_.size() && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80 && end - pos_ < 4) ++end;
    current_.kind = TokenKind::Punct;
    bump(end - pos_);
  }
  current_.raw = text_.substr(start, pos_ - start);
}

void Lexer::lex_number() {
  std::size_t end = pos_;
  while (end < text_.size() && is_digit(text_[end])) ++end;
  if (end < text_.size() && text_[end] == '.') {
    ++end;
    while (end < text_.size() && is_digit(text_[end])) ++end;
  }
  // An exponent only when digits follow, so that "1e" stays a number and a name.
  if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
    std::size_t exp = end + 1;
    if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
    if (exp < text_.size() && is_digit(text_[exp])) {
      end = exp;
      while (end < text_.size() && is_digit(text_[end])) ++end;
    }
  }
  current_.kind = TokenKind::Number;
  bump(end - pos_);
}

void Lexer::lex_string() {
  // DBC escapes only the quote and the backslash; any other backslash is kept.
  std::size_t i = pos_ + 1;
  std::string& out = current_.text;
  while (i < text_.size()) {
    const char c = text_[i];
    if (c == '"') {
      current_.kind = TokenKind::String;
      bump(i + 1 - pos_);
      return;
    }
    if (c == '\\' && i + 1 < text_.size() && (text_[i + 1] == '"' || text_[i + 1] == '\\')) {
      out.push_back(text_[i + 1]);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  current_.kind = TokenKind::Unterminated;
  out.clear();
  bump(text_.size() - pos_);
}

}  // namespace sigtap::dbc
