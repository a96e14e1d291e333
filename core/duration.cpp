// Saturating arithmetic between Duration and the steady clock.
#include "core/duration.hpp"

#include <limits>

namespace sigtap {

Clock::duration Duration::to_clock() const {
  using Rep = Clock::duration::rep;
  using Period = Clock::duration::period;
  static_assert(Period::num == 1 && Period::den == 1'000'000'000, "steady_clock ticks in nanoseconds");
  constexpr auto kMax = std::numeric_limits<Rep>::max();
  if (secs > static_cast<std::uint64_t>(kMax / 1'000'000'000)) return Clock::duration{kMax};
  Rep ns = static_cast<Rep>(secs) * 1'000'000'000;
  if (ns > kMax - nanos) return Clock::duration{kMax};
  return Clock::duration{ns + nanos};
}

std::optional<Instant> deadline_after(Instant now, Duration d) {
  auto span = d.to_clock();
  if (span == Clock::duration::max()) return std::nullopt;
  if (now.time_since_epoch() > Clock::duration::max() - span) return std::nullopt;
  return now + span;
}

Duration remaining(Instant deadline, Instant now) {
  if (now >= deadline) return Duration{};
  return to_duration(deadline - now);
}

Duration to_duration(Clock::duration d) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  if (ns <= 0) return Duration{};
  return Duration::from_nanos(static_cast<std::uint64_t>(ns));
}

double wall_clock_timestamp() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  if (ns < 0) return 0.0;
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

}  // namespace sigtap
