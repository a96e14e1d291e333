// The DBC parser's token readers, the statement dispatch and the network
// structure (VERSION, NS_, BS_, BU_, BO_ with its SG_ lines). Numbers keep
// the kind their written form gives them; none is read through the locale.
#include "core/dbc/parser.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace sigtap::dbc {
namespace {

// Every statement keyword of the format, also the ones that only appear in
// the NS_ list: a name list (BU_ nodes, SG_ receivers) ends at any of them.
constexpr std::string_view kKeywords[] = {
    "VERSION",     "NS_",          "NS_DESC_",     "BS_",           "BU_",          "BO_",
    "SG_",         "CM_",          "BA_DEF_",      "BA_DEF_DEF_",   "BA_",          "VAL_",
    "VAL_TABLE_",  "SIG_VALTYPE_", "SG_MUL_VAL_",  "BO_TX_BU_",     "EV_",          "ENVVAR_DATA_",
    "EV_DATA_",    "SIG_GROUP_",   "SGTYPE_",      "SGTYPE_VAL_",   "SIG_TYPE_REF_", "SIGTYPE_VALTYPE_",
    "BA_DEF_SGTYPE_", "BA_SGTYPE_", "BA_DEF_REL_", "BA_REL_",       "BA_DEF_DEF_REL_", "BU_SG_REL_",
    "BU_EV_REL_",  "BU_BO_REL_",   "CAT_DEF_",     "CAT_",          "FILTER",
};

bool is_float_form(std::string_view raw) { return raw.find_first_of(".eE") != std::string_view::npos; }

// Whether a decimal text too large or too small for a double is large: its
// order of magnitude from the digits and the exponent.
bool overflows(std::string_view raw) {
  const std::size_t e = raw.find_first_of("eE");
  const std::string_view mantissa = raw.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::size_t i = e + 1;
    bool negative = false;
    if (i < raw.size() && (raw[i] == '+' || raw[i] == '-')) negative = raw[i++] == '-';
    for (; i < raw.size(); ++i) exponent = std::min(exponent * 10 + (raw[i] - '0'), 1000000000LL);
    if (negative) exponent = -exponent;
  }
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return false;
  const long long magnitude = first < point ? static_cast<long long>(point - first)
                                            : -static_cast<long long>(first - point - 1);
  return magnitude + exponent > 0;
}

double to_double(std::string_view raw) {
  double v = 0;
  auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), v);
  (void)end;
  if (ec == std::errc::result_out_of_range) return overflows(raw) ? std::numeric_limits<double>::infinity() : 0.0;
  return v;
}

bool to_unsigned(std::string_view raw, std::uint64_t& out) {
  if (is_float_form(raw)) return false;
  auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
  return ec == std::errc() && end == raw.data() + raw.size();
}

}  // namespace

Error Parser::fail(std::string_view what) const {
  const Token& t = lex_.peek();
  std::string text = "line " + std::to_string(t.line) + ", column " + std::to_string(t.column) + ": ";
  if (t.kind == TokenKind::Unterminated) return Error::dbc_parse(text + "expected '\"' to end the text that starts here");
  return Error::dbc_parse(text + "expected " + std::string(what));
}

bool Parser::accept_punct(char c) {
  if (!lex_.peek().is_punct(c)) return false;
  lex_.next();
  return true;
}

Status Parser::expect_punct(char c, std::string_view what) {
  if (!accept_punct(c)) return fail(what);
  return {};
}

Status Parser::expect_keyword(std::string_view word, std::string_view what) {
  if (!lex_.peek().is_identifier(word)) return fail(what);
  lex_.next();
  return {};
}

Result<std::string> Parser::expect_identifier(std::string_view what) {
  if (lex_.peek().kind != TokenKind::Identifier) return fail(what);
  return std::string(lex_.next().raw);
}

Result<std::string> Parser::expect_string(std::string_view what) {
  if (lex_.peek().kind != TokenKind::String) return fail(what);
  return std::move(lex_.next().text);
}

Result<std::uint64_t> Parser::expect_unsigned(std::string_view what) {
  std::uint64_t v = 0;
  if (lex_.peek().kind != TokenKind::Number || !to_unsigned(lex_.peek().raw, v)) return fail(what);
  lex_.next();
  return v;
}

Result<ast::NumericValue> Parser::expect_number(std::string_view what) {
  bool negative = false;
  if (lex_.peek().is_punct('-') || lex_.peek().is_punct('+')) negative = lex_.next().raw[0] == '-';
  if (lex_.peek().kind != TokenKind::Number) return fail(what);
  const std::string_view raw = lex_.next().raw;
  std::uint64_t u = 0;
  if (to_unsigned(raw, u)) {
    if (!negative) return ast::NumericValue{u};
    if (u <= std::uint64_t{1} << 63) return ast::NumericValue{static_cast<std::int64_t>(0 - u)};
  }
  // Integers beyond 64 bits keep their value as a float.
  const double d = to_double(raw);
  return ast::NumericValue{negative ? -d : d};
}

Result<double> Parser::expect_float(std::string_view what) {
  SIGTAP_ASSIGN_OR_RETURN(ast::NumericValue v, expect_number(what));
  return std::visit([](auto x) { return static_cast<double>(x); }, v);
}

Result<std::int64_t> Parser::expect_integer(std::string_view what) {
  const Token at = lex_.peek();
  SIGTAP_ASSIGN_OR_RETURN(ast::NumericValue v, expect_number(what));
  // A 64-bit unsigned value keeps its bit pattern, as a 64-bit raw value has it.
  if (auto* u = std::get_if<std::uint64_t>(&v)) return static_cast<std::int64_t>(*u);
  if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
  const double d = std::get<double>(v);
  if (d >= -0x1p63 && d < 0x1p63 && d == std::trunc(d)) return static_cast<std::int64_t>(d);
  return Error::dbc_parse("line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                          ": expected " + std::string(what) + " (a whole number)");
}

Result<ast::MessageId> Parser::expect_message_id() {
  const Token at = lex_.peek();
  std::uint64_t v = 0;
  if (at.kind != TokenKind::Number || !to_unsigned(at.raw, v) || v > 0xFFFFFFFFu)
    return fail("a message identifier (a whole number up to 4294967295)");
  lex_.next();
  return ast::MessageId{static_cast<std::uint32_t>(v)};
}

Result<ast::AttributeValue> Parser::expect_attribute_value() {
  if (lex_.peek().kind == TokenKind::String) return ast::AttributeValue{std::move(lex_.next().text)};
  SIGTAP_ASSIGN_OR_RETURN(ast::NumericValue v, expect_number("an attribute value (a number or a text)"));
  return std::visit([](auto x) { return ast::AttributeValue{x}; }, v);
}

Status Parser::end_statement(std::string_view keyword) {
  return expect_punct(';', "';' to end the " + std::string(keyword) + " statement");
}

Status Parser::skip_statement(std::string_view keyword) {
  while (!lex_.peek().is_punct(';')) {
    if (lex_.peek().kind == TokenKind::End || lex_.peek().kind == TokenKind::Unterminated)
      return fail("';' to end the " + std::string(keyword) + " statement");
    lex_.next();
  }
  lex_.next();
  return {};
}

bool Parser::at_keyword() const {
  const Token& t = lex_.peek();
  if (t.kind != TokenKind::Identifier) return false;
  for (std::string_view k : kKeywords)
    if (t.raw == k) return true;
  return false;
}

Status Parser::identifier_list(std::vector<std::string>* out) {
  // Names are separated by commas or blanks; the list ends at the next keyword.
  while (lex_.peek().kind == TokenKind::Identifier && !at_keyword()) {
    std::string name(lex_.next().raw);
    if (out) out->push_back(std::move(name));
    if (accept_punct(',') && (lex_.peek().kind != TokenKind::Identifier || at_keyword())) return fail("a name after ','");
  }
  return {};
}

Result<ast::Dbc> Parser::run() {
  while (lex_.peek().kind != TokenKind::End) SIGTAP_TRY(statement());
  dbc_.build_index();
  return std::move(dbc_);
}

Status Parser::statement() {
  using Handler = Status (*)(Parser&);
  static constexpr std::pair<std::string_view, Handler> kHandlers[] = {
      {"BA_", [](Parser& p) { return p.attribute(); }},
      {"VAL_", [](Parser& p) { return p.value_descriptions(); }},
      {"BO_", [](Parser& p) { return p.message(); }},
      {"CM_", [](Parser& p) { return p.comment(); }},
      {"BA_DEF_DEF_", [](Parser& p) { return p.attribute_default(false); }},
      {"BA_DEF_", [](Parser& p) { return p.attribute_definition(false); }},
      {"VAL_TABLE_", [](Parser& p) { return p.value_table(); }},
      {"SG_MUL_VAL_", [](Parser& p) { return p.extended_multiplex(); }},
      {"SIG_VALTYPE_", [](Parser& p) { return p.signal_value_type(); }},
      {"BO_TX_BU_", [](Parser& p) { return p.message_transmitters(); }},
      {"VERSION", [](Parser& p) { return p.version(); }},
      {"NS_", [](Parser& p) { return p.new_symbols(); }},
      {"BS_", [](Parser& p) { return p.bit_timing(); }},
      {"BU_", [](Parser& p) { return p.nodes(); }},
      {"EV_", [](Parser& p) { return p.environment_variable(); }},
      {"ENVVAR_DATA_", [](Parser& p) { return p.environment_variable_data(); }},
      {"SIG_GROUP_", [](Parser& p) { return p.signal_group(); }},
      {"SIG_TYPE_REF_", [](Parser& p) { return p.signal_type_ref(); }},
      {"BA_DEF_REL_", [](Parser& p) { return p.attribute_definition(true); }},
      {"BA_DEF_DEF_REL_", [](Parser& p) { return p.attribute_default(true); }},
      {"BA_REL_", [](Parser& p) { return p.attribute_relation(); }},
  };
  const Token& t = lex_.peek();
  if (t.kind == TokenKind::Identifier) {
    for (const auto& [word, handler] : kHandlers)
      if (t.raw == word) return handler(*this);
    if (t.raw == "SG_") {
      // An SG_ line separated from its BO_ by other statements still belongs
      // to the last message; before any message it belongs to none.
      if (dbc_.messages.empty()) return Error::dbc_parse("Signal defined without an associated message");
      return signal(dbc_.messages.back());
    }
    if (at_keyword()) {
      // Statements nothing reads (categories, filters, signal types, ...).
      std::string keyword(lex_.next().raw);
      return skip_statement(keyword);
    }
  }
  std::string found = t.kind == TokenKind::End ? std::string("the end of the file") : std::string(t.raw.substr(0, 40));
  return fail("a DBC keyword, found " + found);
}

Status Parser::version() {
  lex_.next();
  SIGTAP_ASSIGN_OR_RETURN(dbc_.version, expect_string("the version text after VERSION"));
  return {};
}

Status Parser::new_symbols() {
  lex_.next();
  SIGTAP_TRY(expect_punct(':', "':' after NS_"));
  // The symbol list has no end mark: it runs while the names are indented,
  // and BS_, BU_ or BO_ end it in any case.
  while (lex_.peek().kind == TokenKind::Identifier && lex_.peek().column != 1 && !lex_.peek().is_identifier("BS_") &&
         !lex_.peek().is_identifier("BU_") && !lex_.peek().is_identifier("BO_"))
    lex_.next();
  return {};
}

Status Parser::bit_timing() {
  lex_.next();
  SIGTAP_TRY(expect_punct(':', "':' after BS_"));
  if (lex_.peek().kind != TokenKind::Number) return {};
  SIGTAP_TRY(expect_unsigned("the baud rate"));
  if (accept_punct(':')) {
    SIGTAP_TRY(expect_unsigned("the first bit timing register"));
    SIGTAP_TRY(expect_punct(',', "',' between the bit timing registers"));
    SIGTAP_TRY(expect_unsigned("the second bit timing register"));
  }
  return {};
}

Status Parser::nodes() {
  lex_.next();
  SIGTAP_TRY(expect_punct(':', "':' after BU_"));
  return identifier_list(&dbc_.nodes);
}

Status Parser::message() {
  lex_.next();
  ast::Message m;
  SIGTAP_ASSIGN_OR_RETURN(m.id, expect_message_id());
  SIGTAP_ASSIGN_OR_RETURN(m.name, expect_identifier("the message name"));
  SIGTAP_TRY(expect_punct(':', "':' after the message name"));
  SIGTAP_ASSIGN_OR_RETURN(m.size, expect_unsigned("the message size in bytes"));
  if (lex_.peek().kind == TokenKind::Identifier && !at_keyword()) {
    std::string transmitter(lex_.next().raw);
    if (transmitter != "Vector__XXX") m.transmitter = std::move(transmitter);
  }
  dbc_.messages.push_back(std::move(m));
  while (lex_.peek().is_identifier("SG_")) SIGTAP_TRY(signal(dbc_.messages.back()));
  return {};
}

Status Parser::signal(ast::Message& message) {
  lex_.next();
  ast::Signal s;
  SIGTAP_ASSIGN_OR_RETURN(s.name, expect_identifier("the signal name"));
  if (lex_.peek().kind == TokenKind::Identifier) {
    // "M" is a switch, "mN" a signal present when the switch is N, "mNM" both.
    std::string_view word = lex_.peek().raw;
    bool ok = true;
    if (word == "M") {
      s.multiplex = ast::Multiplex::Switch;
    } else if (word.size() >= 2 && word[0] == 'm') {
      std::string_view digits = word.substr(1);
      if (digits.back() == 'M') {
        s.multiplex = ast::Multiplex::MultiplexedSwitch;
        digits.remove_suffix(1);
      } else {
        s.multiplex = ast::Multiplex::Multiplexed;
      }
      ok = to_unsigned(digits, s.multiplex_value) && !digits.empty() && digits[0] >= '0' && digits[0] <= '9';
    } else {
      ok = false;
    }
    if (!ok) return fail("a multiplexer indicator (M, mN or mNM) or ':' after the signal name");
    lex_.next();
  }
  SIGTAP_TRY(expect_punct(':', "':' after the signal name"));
  SIGTAP_ASSIGN_OR_RETURN(s.start_bit, expect_unsigned("the start bit"));
  SIGTAP_TRY(expect_punct('|', "'|' after the start bit"));
  SIGTAP_ASSIGN_OR_RETURN(s.size, expect_unsigned("the signal size in bits"));
  SIGTAP_TRY(expect_punct('@', "'@' after the signal size"));
  const Token& order = lex_.peek();
  if (order.kind != TokenKind::Number || (order.raw != "0" && order.raw != "1"))
    return fail("the byte order 0 or 1 after '@'");
  s.big_endian = lex_.next().raw == "0";
  if (lex_.peek().is_punct('-')) {
    s.is_signed = true;
  } else if (!lex_.peek().is_punct('+')) {
    return fail("'+' or '-' after the byte order");
  }
  lex_.next();
  SIGTAP_TRY(expect_punct('(', "'(' before the factor"));
  SIGTAP_ASSIGN_OR_RETURN(s.factor, expect_float("the factor"));
  SIGTAP_TRY(expect_punct(',', "',' after the factor"));
  SIGTAP_ASSIGN_OR_RETURN(s.offset, expect_float("the offset"));
  SIGTAP_TRY(expect_punct(')', "')' after the offset"));
  SIGTAP_TRY(expect_punct('[', "'[' before the minimum"));
  SIGTAP_ASSIGN_OR_RETURN(s.min, expect_number("the minimum"));
  SIGTAP_TRY(expect_punct('|', "'|' after the minimum"));
  SIGTAP_ASSIGN_OR_RETURN(s.max, expect_number("the maximum"));
  SIGTAP_TRY(expect_punct(']', "']' after the maximum"));
  SIGTAP_ASSIGN_OR_RETURN(s.unit, expect_string("the unit text"));
  SIGTAP_TRY(identifier_list(&s.receivers));
  message.signals.push_back(std::move(s));
  return {};
}

}  // namespace sigtap::dbc
