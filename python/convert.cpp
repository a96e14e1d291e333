// Python objects to core values, fields, messages and durations, and back.
#include "python/convert.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "core/text.hpp"
#include "python/message.hpp"
#include "python/ref.hpp"

namespace sigtap::py {
namespace {

// Interned once and kept for the life of the process, like the classes.
PyObject* items_name() {
  static PyObject* name = PyUnicode_InternFromString("items");
  return name;
}

// How many maps the conversions on this thread are inside (Python code run
// by a conversion may start another one, which counts on).
thread_local int map_depth = 0;

std::optional<Value> float_fallback(PyObject* obj) {
  PyObject* result = PyObject_CallMethod(obj, "__float__", nullptr);
  if (result) {
    double d = PyFloat_AsDouble(result);
    Py_DECREF(result);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::real(d);
  }
  // Whatever __float__ raised (its absence included) says only that the
  // object is not a field value.
  PyErr_Clear();
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (!name) return std::nullopt;
  PyErr_Format(PyExc_TypeError, "a field value must be None, bool, int, float, str or a mapping, not %U", name);
  Py_DECREF(name);
  return std::nullopt;
}

std::optional<Field> field_from_item(PyObject* item) {
  if (!PyTuple_Check(item)) {
    set_wrong_type(item, "tuple");
    return std::nullopt;
  }
  Py_ssize_t size = PyTuple_Size(item);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
    return std::nullopt;
  }
  auto name = text_from_py(PyTuple_GetItem(item, 0));
  if (!name) return std::nullopt;
  auto value = value_from_py(PyTuple_GetItem(item, 1));
  if (!value) return std::nullopt;
  return Field(std::move(*name), std::move(*value));
}

// Exact conversion of the fraction of a second: frac = mantissa * 2^-shift,
// so nanos = mantissa * 10^9 / 2^shift, rounded to nearest, ties to even.
// (Multiplying in double first would round twice.)
std::uint64_t round_nanos(double frac) {
  if (frac == 0.0) return 0;
  int exponent = 0;
  double m = std::frexp(frac, &exponent);  // frac = m * 2^exponent, m in [0.5, 1)
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(m, 53));
  int shift = 53 - exponent;  // >= 53, since frac < 1
  if (shift >= 127) return 0;  // the product is below 2^83: far under half a nanosecond
  unsigned __int128 product = static_cast<unsigned __int128>(mantissa) * 1'000'000'000u;
  unsigned __int128 quotient = product >> shift;
  unsigned __int128 remainder = product - (quotient << shift);
  unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (remainder > half || (remainder == half && (quotient & 1))) ++quotient;
  return static_cast<std::uint64_t>(quotient);
}

}  // namespace

void set_wrong_type(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
  Py_DECREF(name);
}

std::optional<std::string> text_from_py(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    set_wrong_type(obj, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<bool> bool_from_py(PyObject* obj) {
  if (!PyBool_Check(obj)) {
    set_wrong_type(obj, "bool");
    return std::nullopt;
  }
  return obj == Py_True;
}

std::optional<std::uint32_t> u32_from_py(PyObject* obj) {
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  if (v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

PyObject* text_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

// Field names (and short texts such as choice labels) repeat in every
// message a codec decodes. Keeping the str objects of recent texts saves the
// UTF-8 decode and allocation per field, and a dict insert then reuses the
// hash the str already carries. A few probes per look-up; when they find
// neither the text nor a free slot, the first slot probed is replaced.
// Only touched with the interpreter lock held; allocated once, never freed.
class TextCache {
 public:
  static constexpr std::size_t kSlots = 8192;
  static constexpr std::size_t kProbes = 4;
  static constexpr std::size_t kMaxLength = 64;

  PyObject* get(std::string_view text) {
    if (text.size() > kMaxLength) return text_to_py(text);
    const std::uint64_t h = hash(text);
    std::size_t target = h & (kSlots - 1);
    for (std::size_t i = 0; i < kProbes; ++i) {
      const std::size_t at = (h + i) & (kSlots - 1);
      Entry& entry = entries_[at];
      if (!entry.object) {
        target = at;
        break;
      }
      // The texts live apart from the hashes, so a look-up touches them
      // only on a hash match.
      if (entry.hash == h && texts_[at] == text) {
        Py_INCREF(entry.object);
        return entry.object;
      }
    }
    PyObject* fresh = text_to_py(text);
    if (!fresh) return nullptr;
    Entry& entry = entries_[target];
    Py_XDECREF(entry.object);
    entry = {h, fresh};
    texts_[target].assign(text);
    Py_INCREF(fresh);
    return fresh;
  }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    PyObject* object = nullptr;
  };

  // Eight bytes at a time: names are short, and a collision costs only a
  // compare.
  static std::uint64_t hash(std::string_view text) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      h = (h ^ word) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
  }

  Entry entries_[kSlots];
  std::string texts_[kSlots];
};

PyObject* cached_text_to_py(std::string_view text) {
  static auto* cache = new TextCache;
  return cache->get(text);
}

}  // namespace

std::optional<Value> value_from_py(PyObject* obj) {
  if (obj == Py_None) return Value::null();
  if (PyBool_Check(obj)) return Value::boolean(obj == Py_True);
  if (PyLong_Check(obj)) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return Value::integer(v);
  }
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::real(d);
  }
  if (PyUnicode_Check(obj)) {
    auto text = text_from_py(obj);
    if (!text) return std::nullopt;
    return Value::str(std::move(*text));
  }
  // Anything with `items` is a mapping. A plain dict has it for sure, so
  // the look-up is skipped for the common case.
  if (!PyDict_CheckExact(obj)) {
    PyObject* items = PyObject_GetAttr(obj, items_name());
    if (!items) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
      PyErr_Clear();
      return float_fallback(obj);
    }
    Py_DECREF(items);
  }
  // The library's own bound, whatever the interpreter's recursion limit: a
  // limit raised far enough would let a deep value overflow the C stack here
  // or in the core. A mapping that contains itself ends here too.
  if (map_depth >= Value::kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while converting a field value");
    return std::nullopt;
  }
  ++map_depth;
  auto fields = fields_from_py(obj);
  --map_depth;
  if (!fields) return std::nullopt;
  return Value::map(std::move(*fields));
}

std::optional<Fields> fields_from_py(PyObject* obj) {
  // A dict's items are taken as a snapshot list, so that Python code run by
  // the conversion of one value cannot change what is being iterated.
  Ref items = Ref::steal(PyDict_Check(obj) ? PyDict_Items(obj) : PyObject_CallMethod(obj, "items", nullptr));
  if (!items) return std::nullopt;
  Ref iter = Ref::steal(PyObject_GetIter(items.get()));
  if (!iter) return std::nullopt;
  Fields fields;
  if (PyList_Check(items.get())) fields.reserve(static_cast<std::size_t>(PyList_Size(items.get())));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref item = Ref::steal(raw);
    auto field = field_from_item(item.get());
    if (!field) return std::nullopt;
    fields.push_back(std::move(*field));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return fields;
}

PyObject* value_to_py(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: Py_RETURN_NONE;
    case Value::Kind::Bool: return PyBool_FromLong(value.as_bool());
    case Value::Kind::Int: return PyLong_FromLongLong(value.as_int());
    case Value::Kind::Float: return PyFloat_FromDouble(value.as_float());
    case Value::Kind::Str: return cached_text_to_py(value.as_str());
    case Value::Kind::Map: return fields_to_py(value.as_map());
  }
  Py_RETURN_NONE;
}

PyObject* fields_to_py(const Fields& fields) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : fields) {
    Ref v = Ref::steal(value_to_py(value));
    if (!v) return nullptr;
    Ref k = Ref::steal(cached_text_to_py(name));
    if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.take();
}

PyObject* options_to_py(const Options& options) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : options) {
    Ref v = Ref::steal(value_to_py(value));
    if (!v) return nullptr;
    Ref k = Ref::steal(text_to_py(name));
    if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.take();
}

std::optional<Message> message_arg(PyObject* message, PyObject* fields) {
  if (fields == Py_None) fields = nullptr;
  if (const Message* held = message_from_py(message)) {
    if (fields) {
      PyErr_SetString(PyExc_TypeError, "fields go with a message name, not a Message");
      return std::nullopt;
    }
    return held->clone();
  }
  if (PyUnicode_Check(message)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(message, &size);
    if (data) {
      Message out;
      out.name.emplace(data, static_cast<std::size_t>(size));
      if (fields) {
        auto converted = fields_from_py(fields);
        if (!converted) return std::nullopt;
        out.fields = std::move(*converted);
      }
      return out;
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_TypeError, "expected a Message or a message name");
  return std::nullopt;
}

std::optional<Duration> duration(std::string_view name, double seconds) {
  // 2^64 is exact in a double; the largest double below it still fits.
  if (!(seconds >= 0.0) || std::isinf(seconds) || seconds >= 18446744073709551616.0) {
    std::string text = "invalid ";
    text.append(name);
    text += ": ";
    append_decimal(text, seconds);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return std::nullopt;
  }
  double whole = std::floor(seconds);
  Duration d{static_cast<std::uint64_t>(whole), 0};
  std::uint64_t nanos = round_nanos(seconds - whole);  // the subtraction is exact
  if (nanos >= 1'000'000'000u) {
    d.secs += 1;
    nanos -= 1'000'000'000u;
  }
  d.nanos = static_cast<std::uint32_t>(nanos);
  return d;
}

std::optional<Packet> message_packet(const Message& message) {
  if (!message.packet) {
    PyErr_SetString(PyExc_ValueError, "the message has no data");
    return std::nullopt;
  }
  return *message.packet;
}

std::optional<Message> extract(PyObject* obj) {
  if (const Message* held = message_from_py(obj)) return held->clone();
  set_wrong_type(obj, "Message");
  return std::nullopt;
}

}  // namespace sigtap::py
