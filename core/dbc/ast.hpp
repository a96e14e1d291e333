// The syntax tree of a DBC file: plain data that the parser fills and the
// database converts once, then forgets. Statements nothing reads are dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.hpp"

namespace sigtap::dbc::ast {

/// A BO_ number as written. Bit 31 marks an extended identifier made of the
/// low 29 bits. Real files also number 29-bit messages without that flag, so
/// an unflagged number above 0x7FF is an extended identifier of its low 29
/// bits too; numbers up to 0x7FF are standard identifiers.
struct MessageId {
  std::uint32_t raw = 0;
  bool extended() const { return (raw & 0x80000000u) != 0 || raw > 0x7FFu; }
  std::uint32_t number() const { return extended() ? (raw & 0x1FFFFFFFu) : raw; }
  /// Identifiers compare by kind and number, not by how they were written.
  friend bool operator==(MessageId a, MessageId b) {
    return a.extended() == b.extended() && a.number() == b.number();
  }
};

/// A number of an SG_ range: written without sign or point it is unsigned,
/// with a minus sign and no point or exponent it is signed, otherwise a float.
using NumericValue = std::variant<std::uint64_t, std::int64_t, double>;
/// An attribute value (BA_, BA_DEF_DEF_): the three number kinds or a text.
using AttributeValue = std::variant<std::uint64_t, std::int64_t, double, std::string>;

enum class Multiplex { Plain, Switch, Multiplexed, MultiplexedSwitch };

struct Signal {
  std::string name;
  Multiplex multiplex = Multiplex::Plain;
  std::uint64_t multiplex_value = 0;  ///< the N of "mN" / "mNM"
  std::uint64_t start_bit = 0;
  std::uint64_t size = 0;
  bool big_endian = false;  ///< byte-order digit 0
  bool is_signed = false;   ///< value type "-"
  double factor = 1;
  double offset = 0;
  NumericValue min = std::uint64_t{0};
  NumericValue max = std::uint64_t{0};
  std::string unit;
  std::vector<std::string> receivers;
};

struct Message {
  MessageId id;
  std::string name;
  std::uint64_t size = 0;
  std::optional<std::string> transmitter;  ///< absent for Vector__XXX
  std::vector<Signal> signals;
};

enum class ObjectType { Network, Node, Message, Signal, EnvironmentVariable };

struct AttributeDefinition {
  ObjectType object = ObjectType::Network;
  std::string name;
  bool is_enum = false;
  std::vector<std::string> enum_labels;  ///< only for the enumeration type
};

struct MessageComment {
  MessageId id;
  std::string text;
};
struct SignalComment {
  MessageId id;
  std::string signal;
  std::string text;
};
struct SignalValueType {
  MessageId id;
  std::string signal;
  int kind = 0;  ///< 0 integer, 1 IEEE single, 2 IEEE double
};
struct ExtendedMultiplex {
  MessageId id;
  std::string signal;       ///< the multiplexed signal
  std::string multiplexor;  ///< the switch, as written
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
};
struct AttributeDefault {
  std::string name;
  AttributeValue value;
};
struct MessageAttribute {
  MessageId id;
  std::string name;
  AttributeValue value;
};
struct SignalAttribute {
  MessageId id;
  std::string signal;
  std::string name;
  AttributeValue value;
};
struct ValueDescriptions {
  MessageId id;
  std::string signal;
  std::vector<std::pair<std::int64_t, std::string>> values;  ///< file order
};

struct LookupIndex;

/// A whole file, every list in file order.
struct Dbc {
  std::string version;
  std::vector<std::string> nodes;
  std::vector<Message> messages;
  std::vector<AttributeDefinition> attribute_definitions;
  std::vector<MessageComment> message_comments;
  std::vector<SignalComment> signal_comments;
  std::vector<SignalValueType> value_types;
  std::vector<ExtendedMultiplex> extended_multiplex;
  std::vector<AttributeDefault> attribute_defaults;
  std::vector<MessageAttribute> message_attributes;
  std::vector<SignalAttribute> signal_attributes;
  std::vector<ValueDescriptions> value_descriptions;

  // The four look-ups the database needs; each gives the first match in file
  // order, or nullptr.
  const std::string* signal_comment(MessageId id, std::string_view signal) const;
  const std::vector<std::pair<std::int64_t, std::string>>* signal_values(MessageId id,
                                                                          std::string_view signal) const;
  /// The BA_ SG_ value, without any default.
  const AttributeValue* signal_attribute(MessageId id, std::string_view signal, std::string_view name) const;
  /// The BA_ BO_ value, else the BA_DEF_DEF_ default of that name.
  const AttributeValue* resolved_message_attribute(MessageId id, std::string_view name) const;

  // Further first-match look-ups of the conversion.
  const std::string* message_comment(MessageId id) const;
  /// The first BA_DEF_DEF_ default of that name.
  const AttributeValue* attribute_default(std::string_view name) const;
  /// The first SIG_VALTYPE_ entry of the signal.
  const SignalValueType* value_type(MessageId id, std::string_view signal) const;
  /// Every SG_MUL_VAL_ entry of the multiplexed signal, in file order.
  std::vector<const ExtendedMultiplex*> multiplex_entries(MessageId id, std::string_view signal) const;

  /// Builds the tables behind the look-ups (parse does it). Without them, or
  /// after a list has grown or shrunk since, the look-ups scan the lists.
  void build_index();
  std::shared_ptr<const LookupIndex> index;
};

/// Parses a whole DBC text. Fails with Error::DbcParse whose text names the
/// line and column and what was expected there
/// ("line 12, column 7: expected ':' after the message name").
Result<Dbc> parse(std::string_view text);

/// The text of file bytes that are not valid UTF-8: a byte-order mark selects
/// UTF-8 or UTF-16 (LE/BE) and is dropped; otherwise the bytes are
/// windows-1252 as browsers decode it. Nothing when malformed after a mark.
std::optional<std::string> decode_non_utf8(std::string_view bytes);

}  // namespace sigtap::dbc::ast
