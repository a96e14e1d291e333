// Precomputed read/write plans of a message's signals (where each signal's
// bits live), built once with the database so that decoding a frame is a few
// masks and shifts per signal and allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sigtap::dbc {

struct Message;

/// The part of a signal that lies in one payload byte:
///
///   pattern |= ((data[byte] & mask) >> right) << left
///
/// `left` is the raw bit index of the lowest bit taken from the byte (0..63),
/// `right` the payload bit index of that bit (0..7).
struct ByteSpan {
  std::uint32_t byte = 0;
  std::uint8_t mask = 0;
  std::uint8_t right = 0;
  std::uint8_t left = 0;
};

/// One signal's plan. A signal of at most 64 bits touches at most 9 bytes.
struct SignalPlan {
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
  /// Payload bytes the signal needs (0 for a 0-bit signal); kNever when it
  /// cannot be placed at all (wider than a 64-bit pattern).
  std::uint64_t min_length = 0;
  /// For a signed integer signal, its sign bit; else 0.
  std::uint64_t sign_bit = 0;
  /// Factor and offset as integers when both are integral and within 128 bits,
  /// so integer values scale exactly.
  __int128 factor = 0;
  __int128 offset = 0;
  bool exact_scaling = false;
  /// How decoding scales an integer signal's raw value that fits 64 signed
  /// bits: not at all (factor 1, offset 0), in 64-bit integers (both
  /// integral and within 64 bits; wider results take the general way), in
  /// doubles (factor or offset not integral), or the general way.
  enum class Scaling : std::uint8_t { Identity, Int64, Real, General };
  Scaling scaling = Scaling::General;
  std::int64_t factor64 = 0;
  std::int64_t offset64 = 0;
  /// The signal's factor and offset, kept here for the decode loop.
  double factor_real = 1;
  double offset_real = 0;
  /// A float signal (decoded from its IEEE bits), not an integer one.
  bool is_float = false;
  bool has_choices = false;
  /// Choices sorted by value (always, for a loaded database): looked up by bisection.
  bool choices_sorted = true;
  std::uint8_t span_count = 0;
  std::array<ByteSpan, 9> spans{};

  /// The raw bit pattern; the caller has checked `min_length` against the data.
  std::uint64_t read(const std::uint8_t* data) const {
    std::uint64_t pattern = 0;
    for (std::uint8_t i = 0; i < span_count; ++i) {
      const ByteSpan& s = spans[i];
      pattern |= static_cast<std::uint64_t>((data[s.byte] & s.mask) >> s.right) << s.left;
    }
    return pattern;
  }
  /// Writes the pattern's bits over the signal's bits, leaving the others.
  void write(std::uint8_t* data, std::uint64_t pattern) const {
    for (std::uint8_t i = 0; i < span_count; ++i) {
      const ByteSpan& s = spans[i];
      const auto bits = static_cast<std::uint8_t>((pattern >> s.left) << s.right);
      data[s.byte] = static_cast<std::uint8_t>((data[s.byte] & ~s.mask) | (bits & s.mask));
    }
  }
};

/// The plans of a message's signals, in signal order.
struct MessagePlan {
  std::vector<SignalPlan> signals;
  /// Signal indices sorted by name, the first signal of a name first.
  std::vector<std::uint32_t> by_name;
  /// Payload bytes every signal fits in (kNever when one never fits).
  std::uint64_t min_length = 0;
  /// Whether any signal is multiplexed.
  bool has_mux = false;
};

/// Computes `message.plan` from its signals. Called by Database::create.
void build_plan(Message& message);

}  // namespace sigtap::dbc
