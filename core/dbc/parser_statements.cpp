// The DBC parser's statements about the network structure: comments,
// attributes, value descriptions, value types, extended multiplexing and the
// statements that are read only to be dropped (environment variables,
// signal groups, relation attributes).
#include "core/dbc/parser.hpp"

namespace sigtap::dbc {

Status Parser::comment() {
  lex_.next();
  if (lex_.peek().kind == TokenKind::String) {
    lex_.next();
  } else if (lex_.peek().is_identifier("BU_") || lex_.peek().is_identifier("EV_")) {
    lex_.next();
    SIGTAP_TRY(expect_identifier("a name after BU_ or EV_"));
    SIGTAP_TRY(expect_string("the comment text"));
  } else if (lex_.peek().is_identifier("BO_")) {
    lex_.next();
    ast::MessageComment c;
    SIGTAP_ASSIGN_OR_RETURN(c.id, expect_message_id());
    SIGTAP_ASSIGN_OR_RETURN(c.text, expect_string("the comment text"));
    dbc_.message_comments.push_back(std::move(c));
  } else if (lex_.peek().is_identifier("SG_")) {
    lex_.next();
    ast::SignalComment c;
    SIGTAP_ASSIGN_OR_RETURN(c.id, expect_message_id());
    SIGTAP_ASSIGN_OR_RETURN(c.signal, expect_identifier("the signal name"));
    SIGTAP_ASSIGN_OR_RETURN(c.text, expect_string("the comment text"));
    dbc_.signal_comments.push_back(std::move(c));
  } else {
    return fail("a comment text or BU_, BO_, SG_ or EV_ after CM_");
  }
  return end_statement("CM_");
}

Status Parser::attribute_definition(bool relation) {
  lex_.next();
  ast::AttributeDefinition def;
  if (relation) {
    const Token& t = lex_.peek();
    if (!t.is_identifier("BU_SG_REL_") && !t.is_identifier("BU_EV_REL_") && !t.is_identifier("BU_BO_REL_"))
      return fail("BU_SG_REL_, BU_EV_REL_ or BU_BO_REL_ after BA_DEF_REL_");
    lex_.next();
  } else if (lex_.peek().kind == TokenKind::Identifier) {
    static constexpr std::pair<std::string_view, ast::ObjectType> kObjects[] = {
        {"BU_", ast::ObjectType::Node},
        {"BO_", ast::ObjectType::Message},
        {"SG_", ast::ObjectType::Signal},
        {"EV_", ast::ObjectType::EnvironmentVariable},
    };
    bool known = false;
    for (const auto& [word, object] : kObjects) {
      if (lex_.peek().raw == word) {
        def.object = object;
        known = true;
      }
    }
    if (!known) return fail("BU_, BO_, SG_, EV_ or the attribute name after BA_DEF_");
    lex_.next();
  }
  SIGTAP_ASSIGN_OR_RETURN(def.name, expect_string("the attribute name"));
  SIGTAP_TRY(attribute_type(def));
  SIGTAP_TRY(end_statement(relation ? "BA_DEF_REL_" : "BA_DEF_"));
  if (!relation) dbc_.attribute_definitions.push_back(std::move(def));
  return {};
}

Status Parser::attribute_type(ast::AttributeDefinition& def) {
  const Token& t = lex_.peek();
  if (t.is_identifier("INT") || t.is_identifier("HEX") || t.is_identifier("FLOAT")) {
    lex_.next();
    SIGTAP_TRY(expect_number("the attribute minimum"));
    SIGTAP_TRY(expect_number("the attribute maximum"));
  } else if (t.is_identifier("STRING")) {
    lex_.next();
  } else if (t.is_identifier("ENUM")) {
    lex_.next();
    def.is_enum = true;
    while (lex_.peek().kind == TokenKind::String) {
      def.enum_labels.push_back(std::move(lex_.next().text));
      if (!accept_punct(',')) break;
    }
  } else {
    return fail("an attribute type (INT, HEX, FLOAT, STRING or ENUM)");
  }
  return {};
}

Status Parser::attribute_default(bool relation) {
  lex_.next();
  ast::AttributeDefault def;
  SIGTAP_ASSIGN_OR_RETURN(def.name, expect_string("the attribute name"));
  SIGTAP_ASSIGN_OR_RETURN(def.value, expect_attribute_value());
  SIGTAP_TRY(end_statement(relation ? "BA_DEF_DEF_REL_" : "BA_DEF_DEF_"));
  if (!relation) dbc_.attribute_defaults.push_back(std::move(def));
  return {};
}

Status Parser::attribute() {
  lex_.next();
  SIGTAP_ASSIGN_OR_RETURN(std::string name, expect_string("the attribute name"));
  const Token& t = lex_.peek();
  if (t.is_identifier("BO_")) {
    lex_.next();
    ast::MessageAttribute a;
    a.name = std::move(name);
    SIGTAP_ASSIGN_OR_RETURN(a.id, expect_message_id());
    SIGTAP_ASSIGN_OR_RETURN(a.value, expect_attribute_value());
    dbc_.message_attributes.push_back(std::move(a));
  } else if (t.is_identifier("SG_")) {
    lex_.next();
    ast::SignalAttribute a;
    a.name = std::move(name);
    SIGTAP_ASSIGN_OR_RETURN(a.id, expect_message_id());
    SIGTAP_ASSIGN_OR_RETURN(a.signal, expect_identifier("the signal name"));
    SIGTAP_ASSIGN_OR_RETURN(a.value, expect_attribute_value());
    dbc_.signal_attributes.push_back(std::move(a));
  } else if (t.is_identifier("BU_") || t.is_identifier("EV_")) {
    lex_.next();
    SIGTAP_TRY(expect_identifier("a name after BU_ or EV_"));
    SIGTAP_TRY(expect_attribute_value());
  } else {
    SIGTAP_TRY(expect_attribute_value());
  }
  return end_statement("BA_");
}

Status Parser::attribute_relation() {
  lex_.next();
  SIGTAP_TRY(expect_string("the attribute name"));
  const Token& t = lex_.peek();
  if (t.is_identifier("BU_SG_REL_")) {
    lex_.next();
    SIGTAP_TRY(expect_identifier("the node name"));
    SIGTAP_TRY(expect_keyword("SG_", "SG_ after the node name"));
    SIGTAP_TRY(expect_message_id());
    SIGTAP_TRY(expect_identifier("the signal name"));
  } else if (t.is_identifier("BU_EV_REL_")) {
    lex_.next();
    SIGTAP_TRY(expect_identifier("the node name"));
    SIGTAP_TRY(expect_identifier("the environment variable name"));
  } else if (t.is_identifier("BU_BO_REL_")) {
    lex_.next();
    SIGTAP_TRY(expect_identifier("the node name"));
    SIGTAP_TRY(expect_message_id());
  } else {
    return fail("BU_SG_REL_, BU_EV_REL_ or BU_BO_REL_ after the attribute name");
  }
  SIGTAP_TRY(expect_attribute_value());
  return end_statement("BA_REL_");
}

Status Parser::value_pairs(std::vector<std::pair<std::int64_t, std::string>>* out) {
  while (lex_.peek().kind == TokenKind::Number || lex_.peek().is_punct('-') || lex_.peek().is_punct('+')) {
    SIGTAP_ASSIGN_OR_RETURN(std::int64_t value, expect_integer("a value"));
    SIGTAP_ASSIGN_OR_RETURN(std::string text, expect_string("the text of the value"));
    if (out) out->emplace_back(value, std::move(text));
  }
  return {};
}

Status Parser::value_descriptions() {
  lex_.next();
  if (lex_.peek().kind == TokenKind::Identifier) {  // an environment variable's values
    lex_.next();
    SIGTAP_TRY(value_pairs(nullptr));
    return end_statement("VAL_");
  }
  ast::ValueDescriptions v;
  SIGTAP_ASSIGN_OR_RETURN(v.id, expect_message_id());
  SIGTAP_ASSIGN_OR_RETURN(v.signal, expect_identifier("the signal name"));
  SIGTAP_TRY(value_pairs(&v.values));
  SIGTAP_TRY(end_statement("VAL_"));
  dbc_.value_descriptions.push_back(std::move(v));
  return {};
}

Status Parser::value_table() {
  lex_.next();
  SIGTAP_TRY(expect_identifier("the value table name"));
  SIGTAP_TRY(value_pairs(nullptr));
  return end_statement("VAL_TABLE_");
}

Status Parser::signal_value_type() {
  lex_.next();
  ast::SignalValueType v;
  SIGTAP_ASSIGN_OR_RETURN(v.id, expect_message_id());
  SIGTAP_ASSIGN_OR_RETURN(v.signal, expect_identifier("the signal name"));
  accept_punct(':');
  const std::string_view kind = lex_.peek().raw;
  if (lex_.peek().kind != TokenKind::Number || (kind != "0" && kind != "1" && kind != "2"))
    return fail("the value type 0, 1 or 2");
  v.kind = kind[0] - '0';
  lex_.next();
  SIGTAP_TRY(end_statement("SIG_VALTYPE_"));
  dbc_.value_types.push_back(std::move(v));
  return {};
}

Status Parser::extended_multiplex() {
  lex_.next();
  ast::ExtendedMultiplex e;
  SIGTAP_ASSIGN_OR_RETURN(e.id, expect_message_id());
  SIGTAP_ASSIGN_OR_RETURN(e.signal, expect_identifier("the multiplexed signal name"));
  SIGTAP_ASSIGN_OR_RETURN(e.multiplexor, expect_identifier("the multiplexor name"));
  do {
    SIGTAP_ASSIGN_OR_RETURN(std::uint64_t low, expect_unsigned("the low end of a multiplexor range"));
    SIGTAP_TRY(expect_punct('-', "'-' between the ends of a multiplexor range"));
    SIGTAP_ASSIGN_OR_RETURN(std::uint64_t high, expect_unsigned("the high end of a multiplexor range"));
    e.ranges.emplace_back(low, high);
  } while (accept_punct(','));
  SIGTAP_TRY(end_statement("SG_MUL_VAL_"));
  dbc_.extended_multiplex.push_back(std::move(e));
  return {};
}

Status Parser::message_transmitters() {
  lex_.next();
  SIGTAP_TRY(expect_message_id());
  SIGTAP_TRY(expect_punct(':', "':' after the message identifier"));
  SIGTAP_TRY(identifier_list(nullptr));
  return end_statement("BO_TX_BU_");
}

Status Parser::environment_variable() {
  lex_.next();
  SIGTAP_TRY(expect_identifier("the environment variable name"));
  SIGTAP_TRY(expect_punct(':', "':' after the environment variable name"));
  SIGTAP_TRY(expect_unsigned("the environment variable type"));
  SIGTAP_TRY(expect_punct('[', "'[' before the minimum"));
  SIGTAP_TRY(expect_number("the minimum"));
  SIGTAP_TRY(expect_punct('|', "'|' after the minimum"));
  SIGTAP_TRY(expect_number("the maximum"));
  SIGTAP_TRY(expect_punct(']', "']' after the maximum"));
  SIGTAP_TRY(expect_string("the unit text"));
  SIGTAP_TRY(expect_number("the initial value"));
  SIGTAP_TRY(expect_unsigned("the environment variable identifier"));
  SIGTAP_TRY(expect_identifier("the access type"));
  SIGTAP_TRY(identifier_list(nullptr));
  return end_statement("EV_");
}

Status Parser::environment_variable_data() {
  lex_.next();
  SIGTAP_TRY(expect_identifier("the environment variable name"));
  SIGTAP_TRY(expect_punct(':', "':' after the environment variable name"));
  SIGTAP_TRY(expect_unsigned("the data size"));
  return end_statement("ENVVAR_DATA_");
}

Status Parser::signal_group() {
  lex_.next();
  SIGTAP_TRY(expect_message_id());
  SIGTAP_TRY(expect_identifier("the signal group name"));
  SIGTAP_TRY(expect_unsigned("the repetition count"));
  SIGTAP_TRY(expect_punct(':', "':' after the repetition count"));
  SIGTAP_TRY(identifier_list(nullptr));
  return end_statement("SIG_GROUP_");
}

Status Parser::signal_type_ref() {
  lex_.next();
  SIGTAP_TRY(expect_message_id());
  SIGTAP_TRY(expect_identifier("the signal name"));
  SIGTAP_TRY(expect_punct(':', "':' after the signal name"));
  SIGTAP_TRY(expect_identifier("the signal type name"));
  return end_statement("SIG_TYPE_REF_");
}

}  // namespace sigtap::dbc
