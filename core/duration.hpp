// Durations and deadlines: every wait of the library is measured on the steady clock.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>

namespace sigtap {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

/// A non-negative span of time: whole seconds and nanoseconds (0..999999999).
/// Wider than std::chrono::nanoseconds so that the binding can hold any period
/// a script asks for (up to 2^64 seconds) and give it back unchanged.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  static constexpr Duration from_nanos(std::uint64_t ns) {
    return Duration{ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u)};
  }
  static constexpr Duration from_millis(std::uint64_t ms) { return from_nanos(ms * 1'000'000u); }

  constexpr bool is_zero() const { return secs == 0 && nanos == 0; }
  /// Seconds as a float: whole seconds plus nanoseconds / 1e9.
  double as_secs_f64() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
  /// The span on the steady clock's scale, saturated at the largest representable value.
  Clock::duration to_clock() const;

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

/// now + d, or nothing when the instant cannot be represented (callers treat
/// that as "no deadline": a huge timeout must never wrap around).
std::optional<Instant> deadline_after(Instant now, Duration d);
inline std::optional<Instant> deadline_after(Duration d) { return deadline_after(Clock::now(), d); }
/// Deadline for an optional timeout: none without a timeout.
inline std::optional<Instant> deadline_for(const std::optional<Duration>& timeout) {
  return timeout ? deadline_after(*timeout) : std::nullopt;
}
/// The time left until `deadline`, zero once it has passed.
Duration remaining(Instant deadline, Instant now = Clock::now());
/// A steady-clock span as a Duration (negative spans become zero).
Duration to_duration(Clock::duration d);

/// Wall-clock time as seconds since the Unix epoch (0 before the epoch): the
/// timestamp every transport puts on the packets it receives.
double wall_clock_timestamp();

}  // namespace sigtap
