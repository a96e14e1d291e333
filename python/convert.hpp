// Conversions between Python objects and the core's values, fields, options, messages and durations.
//
// Every function needs the interpreter lock, may run Python code of the
// objects it is given, and reports failure as a set Python exception (an
// empty optional, nullptr or false); none goes through the core's Error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/duration.hpp"
#include "core/message.hpp"
#include "core/options.hpp"
#include "core/value.hpp"
#include "python/py.hpp"

namespace sigtap::py {

/// Sets the wrong-type TypeError: "'T' object is not an instance of 'E'"
/// (T the qualified name of the object's type), or "'None' is not an
/// instance of 'E'" for None.
void set_wrong_type(PyObject* obj, const char* expected);

/// Makes way for a conversion's own error: clears the error that the
/// object's code (or the conversion) raised, if any, and returns true. An
/// error that is no Exception (KeyboardInterrupt, SystemExit) asks the
/// program to stop: it stays set, unchanged, and the result is false.
bool clear_ordinary_error();

/// The UTF-8 text of a str (or subclass); the wrong-type TypeError naming
/// str otherwise; the interpreter's encoding error for a lone surrogate.
std::optional<std::string> text_from_py(PyObject* obj);
/// A bool (an int such as 1 is refused with the wrong-type TypeError).
std::optional<bool> bool_from_py(PyObject* obj);
/// An int (or an object with __index__) in 0..=4294967295: OverflowError
/// "out of range integral type conversion attempted" outside it, the
/// interpreter's OverflowError beyond 64 signed bits, its TypeError for a
/// non-integer.
std::optional<std::uint32_t> u32_from_py(PyObject* obj);
/// A new str from UTF-8 text; invalid bytes become U+FFFD. New reference.
PyObject* text_to_py(std::string_view text);

/// A field value from None, bool, int, float, str, a mapping (anything with
/// `items`), or an object with __float__. Maps nested deeper than
/// Value::kMaxDepth (a self-referential mapping included) raise
/// RecursionError.
std::optional<Value> value_from_py(PyObject* obj);
/// A field list from a dict (its items at this moment) or from any object's
/// items(), in iteration order; repeated names are kept.
std::optional<Fields> fields_from_py(PyObject* obj);
/// A new Python object for a value (maps as new dicts). New reference.
PyObject* value_to_py(const Value& value);
/// A new dict in field order; a repeated name keeps its first position and
/// its last value. New reference.
PyObject* fields_to_py(const Fields& fields);
/// A new dict of the options, in their (sorted) order. New reference.
PyObject* options_to_py(const Options& options);

/// The message that send, every and update take: a copy of a sigtap.Message
/// (then `fields` must be absent), or a name with optional fields and no
/// packet. `fields` nullptr or None counts as absent.
std::optional<Message> message_arg(PyObject* message, PyObject* fields);
/// Seconds as a Duration, rounded to the nearest nanosecond (ties to even).
/// Negative, NaN, infinite or >= 2^64 seconds raise ValueError
/// "invalid NAME: VALUE" with VALUE in decimal form.
std::optional<Duration> duration(std::string_view name, double seconds);
/// A copy of the message's packet; ValueError "the message has no data"
/// without one.
std::optional<Packet> message_packet(const Message& message);
/// A copy of the core message held by a sigtap.Message; the wrong-type
/// TypeError naming Message for any other object.
std::optional<Message> extract(PyObject* obj);

}  // namespace sigtap::py
