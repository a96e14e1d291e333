// The raw codec: received packets pass through as nameless messages.
#pragma once

#include "core/codec/codec.hpp"

namespace sigtap {

/// Stateless; has no named messages of its own.
class Raw final : public Codec {
 public:
  /// Refuses any argument ("raw:" included) and any option.
  static Result<CodecPtr> open(CodecSpec spec);
  Result<std::vector<Packet>> encode(const Message& message) override;
  Status decode(Packet packet, std::vector<Message>& out) override;
  bool passes_packets_through() const override { return true; }
};

}  // namespace sigtap
