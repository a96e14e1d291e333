// Placeholder until encoding and decoding land.
#include "core/dbc/database.hpp"

namespace sigtap::dbc {

Result<std::vector<std::uint8_t>> Message::encode(const NamedValues&, const EncodeOptions&) const {
  return Error::encode("not built yet");
}
Result<NamedValues> Message::decode(std::span<const std::uint8_t>, const DecodeOptions&) const {
  return Error::decode("not built yet");
}
Status Message::decode_into(std::span<const std::uint8_t>, const DecodeOptions&, Fields&) const {
  return Error::decode("not built yet");
}

}  // namespace sigtap::dbc
