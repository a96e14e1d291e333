// Equality of packets and messages.
#include "core/message.hpp"

namespace sigtap {

bool Packet::eq(const Packet& o) const {
  if (data != o.data) return false;
  if (can.has_value() != o.can.has_value()) return false;
  if (can && !(*can == *o.can)) return false;
  if (timestamp.has_value() != o.timestamp.has_value()) return false;
  if (timestamp && !(*timestamp == *o.timestamp)) return false;
  return source == o.source;
}

bool operator==(const Message& a, const Message& b) {
  if (a.name != b.name) return false;
  if (!fields_equal(a.fields, b.fields)) return false;
  if (a.packet.has_value() != b.packet.has_value()) return false;
  return !a.packet || a.packet->eq(*b.packet);
}

}  // namespace sigtap
