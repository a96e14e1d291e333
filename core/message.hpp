// Packets (raw bytes as a transport moves them) and messages (what channels exchange).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/bytes.hpp"
#include "core/value.hpp"

namespace sigtap {

/// The CAN part of a packet that is a CAN frame.
struct CanHeader {
  std::uint32_t id = 0;
  bool extended = false;  ///< 29-bit identifier
  bool fd = false;        ///< CAN FD frame
  bool brs = false;       ///< bit rate switch

  friend bool operator==(const CanHeader&, const CanHeader&) = default;
};

/// One unit of raw bytes. Copies are deep.
struct Packet {
  /// Read-only: owned, or the storage a read went into (see PacketBytes).
  PacketBytes data;
  std::optional<CanHeader> can;
  /// Seconds since the Unix epoch; stamped by the transport that received it.
  std::optional<double> timestamp;
  /// The TCP connection the bytes came from (numbered from 1 per process).
  std::optional<std::uint64_t> source;

  /// All four fields equal; a NaN timestamp never compares equal.
  bool eq(const Packet& other) const;
  friend bool operator==(const Packet& a, const Packet& b) { return a.eq(b); }
};

/// What a channel receives and sends: a name and fields, and the packet they
/// came from or encode to. A message without a name is a raw packet.
struct Message {
  std::optional<std::string> name;
  Fields fields;
  std::optional<Packet> packet;

  Message clone() const { return *this; }
  friend bool operator==(const Message& a, const Message& b);
};

}  // namespace sigtap
