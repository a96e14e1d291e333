// Encoding signal values into a payload. Each signal's pattern is computed at
// most once per call, so a switch read while deciding another signal's
// presence is the pattern written for the switch itself.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/dbc/bits.hpp"
#include "core/dbc/database.hpp"
#include "core/dbc/mux_chain.hpp"
#include "core/text.hpp"

namespace sigtap::dbc {

namespace {

using detail::Activity;
using detail::Scratch;

// Trivial, so that the inline scratch table is not constructed twice.
struct Slot {
  const Value* value;
  std::uint64_t bits;
  bool has_bits;
};

// One encode call: the given values, the memo of patterns and of presence.
class Encoder {
 public:
  Encoder(const Message& message, const EncodeOptions& options)
      : message_(message),
        options_(options),
        slots_(message.signals.size(), Slot{nullptr, 0, false}),
        act_(message.signals.size(), Activity::Pending),
        path_(message.signals.size(), 0) {}

  Result<Bytes> run(const NamedValues& values);

 private:
  Status take_values(const NamedValues& values);
  Result<bool> encode_active(std::size_t i);
  Result<std::uint64_t> signal_bits(std::size_t i);
  Result<std::uint64_t> number_bits(const Signal& signal, const SignalPlan& plan, const Value& value);

  const Message& message_;
  const EncodeOptions& options_;
  Scratch<Slot> slots_;
  Scratch<Activity> act_;
  Scratch<std::uint32_t> path_;
};

Status Encoder::take_values(const NamedValues& values) {
  const auto& by_name = message_.plan.by_name;
  for (const auto& [name, value] : values) {
    auto it = std::lower_bound(by_name.begin(), by_name.end(), name,
                               [&](std::uint32_t i, const std::string& n) { return message_.signals[i].name < n; });
    if (it == by_name.end() || message_.signals[*it].name != name) {
      return Error::encode("message " + message_.name + " has no signal " + quoted(name));
    }
    slots_[*it].value = &value;  // a later field of the same name wins
  }
  return {};
}

Result<bool> Encoder::encode_active(std::size_t i) {
  const std::ptrdiff_t n = detail::walk_chain(message_, i, act_, path_);
  if (n < 0) return Error::encode("cyclic multiplexing");
  // From the switch nearest the root down to i, as a recursion would unwind.
  for (std::ptrdiff_t k = n - 1; k >= 0; --k) {
    const std::uint32_t node = path_[static_cast<std::size_t>(k)];
    const Multiplexing& mux = *message_.signals[node].mux;
    Activity result = Activity::Inactive;
    if (act_[mux.multiplexor] == Activity::Active) {
      SIGTAP_ASSIGN_OR_RETURN(const std::uint64_t pattern, signal_bits(mux.multiplexor));
      if (detail::selects(mux, pattern)) result = Activity::Active;
    }
    act_[node] = result;
  }
  return act_[i] == Activity::Active;
}

Result<std::uint64_t> Encoder::signal_bits(std::size_t i) {
  Slot& slot = slots_[i];
  if (slot.has_bits) return slot.bits;
  const Signal& signal = message_.signals[i];
  std::uint64_t bits = 0;
  if (slot.value == nullptr) {
    if (options_.strict) {
      return Error::encode("missing value for signal " + signal.name + " of " + message_.name +
                           " (pass strict=False to use its initial value)");
    }
    // The initial value is raw: neither scaled nor checked against min/max.
    if (signal.initial) {
      SIGTAP_ASSIGN_OR_RETURN(bits, raw_to_bits(signal, *signal.initial));
    }
  } else if (const auto* text = std::get_if<std::string>(slot.value)) {
    auto it = std::find_if(signal.choices.begin(), signal.choices.end(),
                           [&](const auto& choice) { return choice.second == *text; });
    if (it == signal.choices.end()) {
      std::string names;
      for (const auto& choice : signal.choices) {
        if (!names.empty()) names += ", ";
        names += choice.second;
      }
      return Error::encode(quoted(*text) + " is not a value of signal " + signal.name + " (choices: " + names + ")");
    }
    SIGTAP_ASSIGN_OR_RETURN(bits, raw_to_bits(signal, Int128{it->first}));
  } else {
    SIGTAP_ASSIGN_OR_RETURN(bits, number_bits(signal, message_.plan.signals[i], *slot.value));
  }
  slot.bits = bits;
  slot.has_bits = true;
  return bits;
}

// (value - offset) / factor exactly, when the factor divides it and every
// step stays within 128 bits.
bool unscale_exact(const SignalPlan& plan, std::int64_t value, Int128& raw) {
  Int128 d = 0;
  if (!plan.exact_scaling || plan.factor == 0 || __builtin_sub_overflow(Int128{value}, plan.offset, &d)) return false;
  if (plan.factor == -1) return !__builtin_sub_overflow(Int128{0}, d, &raw);  // -MIN does not exist
  if (d % plan.factor != 0) return false;
  raw = d / plan.factor;
  return true;
}

Result<std::uint64_t> Encoder::number_bits(const Signal& signal, const SignalPlan& plan, const Value& value) {
  const auto* as_int = std::get_if<std::int64_t>(&value);
  const double v = as_int ? static_cast<double>(*as_int) : std::get<double>(value);
  const bool integer = signal.value_type == SignalKind::Integer;
  if (integer && !std::isfinite(v)) return Error::encode("signal " + signal.name + " cannot hold " + decimal(v));
  if (options_.strict) {
    const double physical = options_.scaling ? v : v * signal.factor + signal.offset;
    const double tolerance = std::fabs(signal.factor) * 1e-6;
    // Written so that NaN passes both tests.
    if (signal.min && physical < *signal.min - tolerance) {
      return Error::encode("signal " + signal.name + ": " + decimal(physical) + " is below the minimum " +
                           decimal(*signal.min));
    }
    if (signal.max && physical > *signal.max + tolerance) {
      return Error::encode("signal " + signal.name + ": " + decimal(physical) + " is above the maximum " +
                           decimal(*signal.max));
    }
  }
  if (!integer) {
    return raw_to_bits(signal, options_.scaling ? (v - signal.offset) / signal.factor : v);
  }
  if (!options_.scaling) return raw_to_bits(signal, as_int ? Int128{*as_int} : bits::round_to_int128(v));
  Int128 raw = 0;
  if (!(as_int && unscale_exact(plan, *as_int, raw))) raw = bits::round_to_int128((v - signal.offset) / signal.factor);
  return raw_to_bits(signal, raw);
}

Result<Bytes> Encoder::run(const NamedValues& values) {
  SIGTAP_TRY(take_values(values));
  Bytes payload(message_.size);
  for (std::size_t i = 0; i < message_.signals.size(); ++i) {
    const Signal& signal = message_.signals[i];
    SIGTAP_ASSIGN_OR_RETURN(const bool present, encode_active(i));
    if (!present) {
      if (options_.strict && slots_[i].value != nullptr) {
        return Error::encode("signal " + signal.name + " of " + message_.name +
                             " is not present for the given multiplexor value");
      }
      continue;
    }
    SIGTAP_ASSIGN_OR_RETURN(const std::uint64_t bits, signal_bits(i));
    const SignalPlan& plan = message_.plan.signals[i];
    // Loading refuses such signals; a message assembled by hand may still hold one.
    if (plan.min_length > message_.size) {
      return Error::encode("signal " + signal.name + " of " + message_.name + ": " + std::to_string(signal.size) +
                           " bits from bit " + std::to_string(signal.start_bit) + " do not fit in " +
                           std::to_string(message_.size) + " bytes");
    }
    plan.write(payload.data(), bits);
  }
  return payload;
}

}  // namespace

Result<Bytes> Message::encode(const NamedValues& values, const EncodeOptions& options) const {
  if (plan.signals.size() != signals.size()) {
    Message planned = *this;
    build_plan(planned);
    return planned.encode(values, options);
  }
  return Encoder(*this, options).run(values);
}

}  // namespace sigtap::dbc
