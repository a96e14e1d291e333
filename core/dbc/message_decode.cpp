// Decoding a payload into signal values. The codec calls this for every
// received frame: a message without multiplexing whose signals all fit the
// data takes one pass that allocates nothing but the output list.
#include <algorithm>
#include <bit>
#include <string>

#include "core/dbc/database.hpp"
#include "core/dbc/mux_chain.hpp"
#include "core/fields_pool.hpp"

namespace sigtap::dbc {

namespace {

using detail::Activity;
using detail::Scratch;
constexpr __int128 kInt64Max = INT64_MAX;
constexpr __int128 kInt64Min = INT64_MIN;

/// A decoded value before it becomes a field: no text is copied until appended.
struct Decoded {
  enum class Kind : std::uint8_t { Int, Float, Choice } kind;
  std::int64_t i = 0;
  double f = 0;
  const std::string* text = nullptr;
};

Decoded as_float(double v) { return {Decoded::Kind::Float, 0, v, nullptr}; }
Decoded as_int(std::int64_t v) { return {Decoded::Kind::Int, v, 0, nullptr}; }

const std::string* find_choice(const Signal& signal, const SignalPlan& plan, std::int64_t r) {
  const auto& choices = signal.choices;
  if (plan.choices_sorted) {
    auto it = std::lower_bound(choices.begin(), choices.end(), r,
                               [](const auto& choice, std::int64_t v) { return choice.first < v; });
    return it != choices.end() && it->first == r ? &it->second : nullptr;
  }
  for (const auto& choice : choices) {
    if (choice.first == r) return &choice.second;
  }
  return nullptr;
}

// factor * r + offset exactly, or nothing when it leaves 128 bits.
bool scale_exact(const SignalPlan& plan, __int128 r, __int128& out) {
  __int128 product = 0;
  return !__builtin_mul_overflow(plan.factor, r, &product) && !__builtin_add_overflow(product, plan.offset, &out);
}

// Any signal, any options.
[[gnu::noinline]] Decoded decode_general(const Signal& signal, const SignalPlan& plan, std::uint64_t pattern,
                                         const DecodeOptions& options) {
  if (signal.value_type != SignalKind::Integer) {
    const double x = signal.value_type == SignalKind::Float64
                         ? std::bit_cast<double>(pattern)
                         : static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern)));
    return as_float(options.scaling ? x * signal.factor + signal.offset : x);
  }
  // Sign extension by flipping and subtracting the sign bit: no shift by 64.
  const __int128 r = plan.sign_bit != 0
                         ? __int128{static_cast<std::int64_t>((pattern ^ plan.sign_bit) - plan.sign_bit)}
                         : __int128{pattern};
  if (options.decode_choices && r <= kInt64Max && !signal.choices.empty()) {
    if (const std::string* text = find_choice(signal, plan, static_cast<std::int64_t>(r))) {
      return {Decoded::Kind::Choice, 0, 0, text};
    }
  }
  if (!options.scaling) {
    return r <= kInt64Max ? as_int(static_cast<std::int64_t>(r)) : as_float(static_cast<double>(r));
  }
  __int128 scaled = 0;
  if (plan.exact_scaling && scale_exact(plan, r, scaled)) {
    return scaled >= kInt64Min && scaled <= kInt64Max ? as_int(static_cast<std::int64_t>(scaled))
                                                      : as_float(static_cast<double>(scaled));
  }
  return as_float(static_cast<double>(r) * signal.factor + signal.offset);
}

// The usual case inline: an integer signal whose raw value fits 64 signed
// bits, scaled (if at all) within 64 bits or in doubles. The same results as
// decode_general, which takes everything else.
[[gnu::always_inline]] inline Decoded decode_value(const Signal& signal, const SignalPlan& plan, std::uint64_t pattern,
                                                   const DecodeOptions& options) {
  if (!plan.is_float && (plan.sign_bit != 0 || pattern <= static_cast<std::uint64_t>(INT64_MAX))) {
    const auto r = static_cast<std::int64_t>(plan.sign_bit != 0 ? (pattern ^ plan.sign_bit) - plan.sign_bit : pattern);
    if (options.decode_choices && plan.has_choices) {
      if (const std::string* text = find_choice(signal, plan, r)) return {Decoded::Kind::Choice, 0, 0, text};
    }
    if (!options.scaling || plan.scaling == SignalPlan::Scaling::Identity) return as_int(r);
    // A 64-bit raw value converts to the same double as its 128-bit form.
    if (plan.scaling == SignalPlan::Scaling::Real) {
      return as_float(static_cast<double>(r) * plan.factor_real + plan.offset_real);
    }
    std::int64_t scaled = 0;
    if (plan.scaling == SignalPlan::Scaling::Int64 && !__builtin_mul_overflow(plan.factor64, r, &scaled) &&
        !__builtin_add_overflow(scaled, plan.offset64, &scaled)) {
      return as_int(scaled);
    }
  }
  return decode_general(signal, plan, pattern, options);
}

// Message fields are written over a recycled list when there is one (see
// FieldWriter): a steady stream of frames then decodes without allocating.
struct FieldSink {
  FieldWriter writer;

  void reserve(std::size_t n) { writer.reserve(n); }
  void append(const std::string& name, const Decoded& d) {
    switch (d.kind) {
      case Decoded::Kind::Int: writer.add_int(name, d.i); break;
      case Decoded::Kind::Float: writer.add_float(name, d.f); break;
      case Decoded::Kind::Choice: writer.add_text(name, *d.text); break;
    }
  }
};

struct NamedSink {
  NamedValues& out;

  void reserve(std::size_t n) { out.reserve(out.size() + n); }
  void append(const std::string& name, const Decoded& d) {
    switch (d.kind) {
      case Decoded::Kind::Int: out.emplace_back(name, dbc::Value(d.i)); break;
      case Decoded::Kind::Float: out.emplace_back(name, dbc::Value(d.f)); break;
      case Decoded::Kind::Choice: out.emplace_back(name, dbc::Value(*d.text)); break;
    }
  }
};

// Trivial, so that the inline scratch table is not constructed twice.
struct Slot {
  std::uint64_t pattern;
  bool fits;
};

// Resolves the activity of signal i (and of the switches above it).
void decode_active(const Message& message, std::size_t i, Scratch<Slot>& slots, Scratch<Activity>& act,
                   Scratch<std::uint32_t>& path) {
  const std::ptrdiff_t n = detail::walk_chain(message, i, act, path);
  if (n < 0) {
    // A loop of switches: nothing on it, nor below it, is ever present.
    for (std::size_t k = i; act[k] == Activity::Visiting; k = message.signals[k].mux->multiplexor) {
      act[k] = Activity::Inactive;
    }
    return;
  }
  for (std::ptrdiff_t k = n - 1; k >= 0; --k) {
    const std::uint32_t node = path[static_cast<std::size_t>(k)];
    const Multiplexing& mux = *message.signals[node].mux;
    const Activity of_switch = act[mux.multiplexor];
    Activity result = of_switch;
    if (of_switch == Activity::Active) {
      const Slot& sw = slots[mux.multiplexor];
      result = !sw.fits ? Activity::Unknown
                        : (detail::selects(mux, sw.pattern) ? Activity::Active : Activity::Inactive);
    }
    act[node] = result;
  }
}

template <class Sink>
Status decode_to(const Message& message, const MessagePlan& plan, std::span<const std::uint8_t> data,
                 const DecodeOptions& options, Sink& out) {
  const std::size_t count = message.signals.size();
  if (!plan.has_mux && data.size() >= plan.min_length) {
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const SignalPlan& sp = plan.signals[i];
      out.append(message.signals[i].name, decode_value(message.signals[i], sp, sp.read(data.data()), options));
    }
    return {};
  }
  Scratch<Slot> slots(count, Slot{0, false});
  Scratch<Activity> act(count, Activity::Pending);
  Scratch<std::uint32_t> path(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const SignalPlan& sp = plan.signals[i];
    if (sp.min_length <= data.size()) slots[i] = {sp.read(data.data()), true};
  }
  // Every failure is found before anything is appended: nothing partial is returned.
  std::size_t present = 0;
  for (std::size_t i = 0; i < count; ++i) {
    decode_active(message, i, slots, act, path);
    if (act[i] == Activity::Inactive) continue;
    if (act[i] == Activity::Unknown) {
      return Error::decode(std::to_string(data.size()) + " bytes is too short for message " + message.name + " (" +
                           std::to_string(message.size) + " bytes)");
    }
    if (!slots[i].fits) {
      return Error::decode(std::to_string(data.size()) + " bytes is too short for signal " +
                           message.signals[i].name + " of " + message.name + " (" + std::to_string(message.size) +
                           " bytes)");
    }
    ++present;
  }
  out.reserve(present);
  for (std::size_t i = 0; i < count; ++i) {
    if (act[i] != Activity::Active) continue;
    out.append(message.signals[i].name, decode_value(message.signals[i], plan.signals[i], slots[i].pattern, options));
  }
  return {};
}

// A message assembled by hand may not have been through Database::create.
template <class Sink>
Status decode_checked(const Message& message, std::span<const std::uint8_t> data, const DecodeOptions& options,
                      Sink& out) {
  if (message.plan.signals.size() == message.signals.size()) {
    return decode_to(message, message.plan, data, options, out);
  }
  Message planned = message;
  build_plan(planned);
  return decode_to(planned, planned.plan, data, options, out);
}

}  // namespace

Result<NamedValues> Message::decode(std::span<const std::uint8_t> data, const DecodeOptions& options) const {
  NamedValues out;
  NamedSink sink{out};
  SIGTAP_TRY(decode_checked(*this, data, options, sink));
  return out;
}

Status Message::decode_into(std::span<const std::uint8_t> data, const DecodeOptions& options, Fields& out) const {
  FieldSink sink{FieldWriter(out)};
  return decode_checked(*this, data, options, sink);
}

}  // namespace sigtap::dbc
