// Building the read/write plans: one pass over each signal's bit range,
// cut at byte boundaries.
#include "core/dbc/plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/dbc/database.hpp"

namespace sigtap::dbc {

namespace {

// Signal bits form one run of sequential indices: DBC numbers for little
// endian; for big endian, indices counted from the most significant bit of
// byte 0, the run ending at the least significant raw bit.
void plan_layout(const Signal& signal, SignalPlan& plan) {
  if (signal.size > 64) {
    plan.min_length = SignalPlan::kNever;
    return;
  }
  if (signal.size == 0) return;
  const std::uint64_t first = signal.big_endian ? (signal.start_bit ^ 7u) : signal.start_bit;
  const std::uint64_t last = first + signal.size - 1;
  plan.min_length = last / 8 + 1;
  for (std::uint64_t k = first / 8; k <= last / 8; ++k) {
    const std::uint64_t lo = std::max(first, 8 * k);
    const std::uint64_t hi = std::min(last, 8 * k + 7);
    const auto count = static_cast<unsigned>(hi - lo + 1);
    unsigned low_bit = 0;
    std::uint64_t raw_bit = 0;
    if (signal.big_endian) {
      low_bit = static_cast<unsigned>(7 - (hi - 8 * k));  // the least significant bit sits at hi
      raw_bit = last - hi;
    } else {
      low_bit = static_cast<unsigned>(lo - 8 * k);
      raw_bit = lo - first;
    }
    ByteSpan& span = plan.spans[plan.span_count++];
    span.byte = static_cast<std::uint32_t>(k);
    span.mask = static_cast<std::uint8_t>(((1u << count) - 1) << low_bit);
    span.right = static_cast<std::uint8_t>(low_bit);
    span.left = static_cast<std::uint8_t>(raw_bit);
  }
}

// Integral values within 128 bits scale exactly; anything else takes the float path.
bool as_int128(double v, __int128& out) {
  if (!std::isfinite(v) || std::trunc(v) != v || std::fabs(v) >= 0x1p127) return false;
  out = static_cast<__int128>(v);
  return true;
}

bool fits_int64(__int128 v) { return v >= INT64_MIN && v <= INT64_MAX; }

void plan_scaling(const Signal& signal, SignalPlan& sp) {
  sp.factor_real = signal.factor;
  sp.offset_real = signal.offset;
  sp.exact_scaling = as_int128(signal.factor, sp.factor) && as_int128(signal.offset, sp.offset);
  if (!sp.exact_scaling) sp.scaling = SignalPlan::Scaling::Real;
  if (!sp.exact_scaling || !fits_int64(sp.factor) || !fits_int64(sp.offset)) return;
  sp.factor64 = static_cast<std::int64_t>(sp.factor);
  sp.offset64 = static_cast<std::int64_t>(sp.offset);
  sp.scaling = sp.factor64 == 1 && sp.offset64 == 0 ? SignalPlan::Scaling::Identity : SignalPlan::Scaling::Int64;
}

}  // namespace

void build_plan(Message& message) {
  MessagePlan& plan = message.plan;
  plan = MessagePlan{};
  plan.signals.resize(message.signals.size());
  for (std::size_t i = 0; i < message.signals.size(); ++i) {
    const Signal& signal = message.signals[i];
    SignalPlan& sp = plan.signals[i];
    plan_layout(signal, sp);
    plan.min_length = std::max(plan.min_length, sp.min_length);
    if (signal.is_signed && signal.size >= 1 && signal.size <= 64) sp.sign_bit = std::uint64_t{1} << (signal.size - 1);
    plan_scaling(signal, sp);
    sp.is_float = signal.value_type != SignalKind::Integer;
    sp.has_choices = !signal.choices.empty();
    sp.choices_sorted = std::is_sorted(signal.choices.begin(), signal.choices.end(),
                                       [](const auto& a, const auto& b) { return a.first < b.first; });
    plan.has_mux = plan.has_mux || signal.mux.has_value();
    plan.by_name.push_back(static_cast<std::uint32_t>(i));
  }
  std::stable_sort(plan.by_name.begin(), plan.by_name.end(), [&](std::uint32_t a, std::uint32_t b) {
    return message.signals[a].name < message.signals[b].name;
  });
}

}  // namespace sigtap::dbc
