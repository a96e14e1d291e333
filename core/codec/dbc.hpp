// The dbc codec: CAN frames to named messages and back through a DBC
// database; decoding runs for every received frame, so it allocates nothing
// but the message's own field list.
#pragma once

#include <string>
#include <utility>

#include "core/codec/codec.hpp"
#include "core/dbc/database.hpp"

namespace sigtap {

/// Owns its database (read-only) and the options read at open; keeps no
/// state between calls.
class Dbc final : public Codec {
 public:
  Dbc(dbc::Database database, dbc::EncodeOptions encode_options, dbc::DecodeOptions decode_options)
      : database_(std::move(database)), encode_options_(encode_options), decode_options_(decode_options) {}

  /// The "dbc:FILE" factory: Config errors for a missing file argument and
  /// for options, then the database's Io or DbcParse error.
  static Result<CodecPtr> open(CodecSpec spec);
  /// One CAN frame for the named message: UnknownMessage for a name the
  /// database lacks, else Encode errors. FD frames are padded to a CAN FD length.
  Result<std::vector<Packet>> encode(const Message& message) override;
  /// One message: named with its fields for a frame the database defines,
  /// else the packet alone. Decode errors for data too short for the message.
  Status decode(Packet packet, std::vector<Message>& out) override;

  const dbc::Database& database() const { return database_; }

 private:
  dbc::Database database_;
  dbc::EncodeOptions encode_options_;
  dbc::DecodeOptions decode_options_;
};

namespace codec {
/// One message field as a signal value: Bool becomes 1 or 0; Null and Map
/// fail with "signal NAME: VALUE is not a signal value".
Result<std::pair<std::string, dbc::Value>> to_dbc_value(const Field& field);
/// The CAN FD frame length that holds `length` bytes, or Encode
/// "N bytes exceeds CAN FD" past 64.
Result<std::size_t> fd_length(std::size_t length);
}  // namespace codec

}  // namespace sigtap
