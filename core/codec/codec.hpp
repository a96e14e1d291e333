// The codec interface and the process-wide codec registry.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/endpoint.hpp"
#include "core/message.hpp"
#include "core/options.hpp"
#include "core/result.hpp"

namespace sigtap {

/// Turns messages into packets and back. Owned by one channel and only used
/// under that channel's codec lock, so implementations may keep state freely.
class Codec {
 public:
  virtual ~Codec() = default;
  /// Encodes a named message into the packets to send, in order.
  virtual Result<std::vector<Packet>> encode(const Message& message) = 0;
  /// Decodes one received packet into zero or more messages, appended to
  /// `out` (which the channel reuses, so a steady stream allocates nothing
  /// here). On error, whatever was appended is discarded by the caller.
  virtual Status decode(Packet packet, std::vector<Message>& out) = 0;
  /// True when decode() passes every packet through unchanged, as one
  /// nameless message: the bytes a transport read are then the message's own.
  virtual bool passes_packets_through() const { return false; }
};

using CodecPtr = std::unique_ptr<Codec>;
/// Builds a codec from a parsed codec name and argument; consumes its options.
using CodecFactory = std::function<Result<CodecPtr>(CodecSpec)>;

namespace codec {

/// Parses the codec name[:argument] text and calls the factory registered under the name (outside
/// the registry lock).
Result<CodecPtr> open(std::string_view spec, Options options);
/// Registered codec names, sorted.
std::vector<std::string> names();
/// Adds or replaces the factory for a name (lower-cased in ASCII).
void register_factory(std::string_view name, CodecFactory factory);

}  // namespace codec
}  // namespace sigtap
