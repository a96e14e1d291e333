// The sbf codec: SBF block streams in, PVTGeodetic and AttEuler blocks out.
//
// Each packet source (a TCP connection, or the one absent source of UDP and
// files) has its own framing state while it holds part of a block; these are
// bounded so that a listener that sees many short-lived connections does not
// grow without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/codec/codec.hpp"
#include "core/sbf/decoder.hpp"

namespace sigtap::codec::sbf {

/// The encoder's working copy of a message's fields. Every read takes the
/// first entry with its key out (keeping the order of the rest), so that
/// finish() can name the first entry nobody read.
class Fields {
 public:
  explicit Fields(sigtap::Fields fields) : fields_(std::move(fields)) {}

  /// An unsigned integer of T (uint8_t, uint16_t or uint32_t): a bool, an
  /// in-range integer or an integral float; nothing when absent or null.
  template <class T>
  Result<std::optional<T>> integer(std::string_view key);
  /// Any bool, integer or float; nothing when absent or null.
  Result<std::optional<double>> f64(std::string_view key);
  /// A bool; false when absent or null.
  Result<bool> boolean(std::string_view key);
  /// Drops the keys that decoding adds and encoding does not take.
  void ignore_decoded();
  /// Fails naming the first entry left over.
  Status finish(std::string_view block_name) const;

 private:
  std::optional<Value> take(std::string_view key);

  sigtap::Fields fields_;
};

/// A GPS time of week (ms) and week number (kept to 16 bits).
struct GpsTime {
  std::uint32_t tow = 0;
  std::uint16_t wnc = 0;
};

/// The GPS time of a wall-clock instant in seconds since the Unix epoch
/// (18 leap seconds); instants before the GPS epoch, and NaN, give week 0, tow 0.
GpsTime gps_time(double unix_seconds);

/// Seconds since the Unix epoch, from the system clock.
double wall_clock();

/// The codec. Used under its channel's codec lock only.
class Sbf final : public Codec {
 public:
  /// How many sources may hold part of a block between packets (a source
  /// whose bytes all framed into whole blocks holds nothing); one more drops
  /// the incomplete block of the least recently fed of them.
  static constexpr std::size_t kMaxStreams = 1024;

  /// Refuses any argument ("sbf:" included), then any option.
  static Result<CodecPtr> open(CodecSpec spec);

  /// `clock` gives the time that fills "tow" and "wnc" when a message has none.
  explicit Sbf(double (*clock)() = wall_clock) : clock_(clock) {}

  /// Writes a PVTGeodetic (revision 2) or AttEuler (revision 1) block from
  /// the message's fields; one packet.
  Result<std::vector<Packet>> encode(const Message& message) override;
  /// Appends one message per block the packet completes in its source's
  /// stream; never fails.
  Status decode(Packet packet, std::vector<Message>& out) override;
  /// Sources that hold part of a block.
  std::size_t stream_count() const { return streams_.size(); }

 private:
  using Source = std::optional<std::uint64_t>;
  struct Stream {
    Source source;
    sigtap::sbf::Decoder decoder;
  };

  // Frames the bytes in the source's stream, handing the blocks to `sink`.
  void feed(const Source& source, std::span<const std::uint8_t> bytes, sigtap::sbf::BlockSink& sink);

  double (*clock_)();
  std::list<Stream> streams_;  // those holding part of a block, most recently fed first
  std::unordered_map<Source, std::list<Stream>::iterator> index_;
  sigtap::sbf::Decoder spare_;  // frames a source that holds nothing; always empty between calls
};

}  // namespace sigtap::codec::sbf
