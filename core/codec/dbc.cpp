// The dbc codec: look-ups and value conversions around message encoding and
// decoding; it keeps no state between calls, so the channel may reuse it freely.
#include "core/codec/dbc.hpp"

#include <array>

#include "core/codec/builtin.hpp"

namespace sigtap {

namespace codec {

Result<std::pair<std::string, dbc::Value>> to_dbc_value(const Field& field) {
  const auto& [name, value] = field;
  switch (value.kind()) {
    case Value::Kind::Bool: return std::pair{name, dbc::Value(std::int64_t{value.as_bool() ? 1 : 0})};
    case Value::Kind::Int: return std::pair{name, dbc::Value(value.as_int())};
    case Value::Kind::Float: return std::pair{name, dbc::Value(value.as_float())};
    case Value::Kind::Str: return std::pair{name, dbc::Value(value.as_str())};
    case Value::Kind::Null:
    case Value::Kind::Map: break;
  }
  return Error::encode("signal " + name + ": " + value.fmt() + " is not a signal value");
}

Result<std::size_t> fd_length(std::size_t length) {
  static constexpr std::array<std::size_t, 7> kLengths = {12, 16, 20, 24, 32, 48, 64};
  if (length <= 8) return length;
  for (std::size_t l : kLengths) {
    if (length <= l) return l;
  }
  return Error::encode(std::to_string(length) + " bytes exceeds CAN FD");
}

}  // namespace codec

Result<CodecPtr> Dbc::open(CodecSpec spec) {
  if (!spec.argument) return Error::config("the dbc codec needs a file: \"dbc:path/to/file.dbc\"");
  SIGTAP_ASSIGN_OR_RETURN(const bool strict, spec.options.take_bool("strict", true));
  SIGTAP_ASSIGN_OR_RETURN(const bool scaling, spec.options.take_bool("scaling", true));
  SIGTAP_ASSIGN_OR_RETURN(const bool decode_choices, spec.options.take_bool("decode_choices", true));
  SIGTAP_TRY(spec.options.finish("the dbc codec"));
  SIGTAP_ASSIGN_OR_RETURN(dbc::Database database, dbc::Database::from_file(*spec.argument));
  return CodecPtr(std::make_unique<Dbc>(std::move(database), dbc::EncodeOptions{scaling, strict},
                                        dbc::DecodeOptions{decode_choices, scaling}));
}

Result<std::vector<Packet>> Dbc::encode(const Message& message) {
  SIGTAP_ASSIGN_OR_RETURN(const dbc::Message* def, database_.message_by_name(message.name.value_or("")));
  dbc::NamedValues values;
  values.reserve(message.fields.size());
  for (const Field& field : message.fields) {
    SIGTAP_ASSIGN_OR_RETURN(auto value, codec::to_dbc_value(field));
    values.push_back(std::move(value));
  }
  SIGTAP_ASSIGN_OR_RETURN(Bytes payload, def->encode(values, encode_options_));
  if (def->fd) {
    SIGTAP_ASSIGN_OR_RETURN(const std::size_t length, codec::fd_length(payload.size()));
    payload.resize(length, 0);
  }
  std::vector<Packet> out(1);
  out[0].data = std::move(payload);
  // Every FD frame asks for the bit rate switch.
  out[0].can = CanHeader{def->id, def->extended, def->fd, def->fd};
  return out;
}

Status Dbc::decode(Packet packet, std::vector<Message>& out) {
  const dbc::Message* def = packet.can ? database_.find_by_id(packet.can->id, packet.can->extended) : nullptr;
  Message& message = out.emplace_back();
  if (def != nullptr) {
    Status st = def->decode_into(packet.data, decode_options_, message.fields);
    if (!st.ok()) {
      out.pop_back();  // the frame is dropped
      return st;
    }
    message.name = def->name;
  }
  message.packet = std::move(packet);
  return {};
}

namespace codec::builtin {
Result<CodecPtr> dbc(CodecSpec spec) { return Dbc::open(std::move(spec)); }
}  // namespace codec::builtin

}  // namespace sigtap
