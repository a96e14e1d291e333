// Python objects to core values, fields, messages and durations, and back.
#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/same_bytes.hpp"
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

// An owned reference in code that holds the interpreter lock throughout, as
// every conversion does: let go with a plain decrement, without Ref's look
// at which thread holds the lock (a thread-local and a thread-state read,
// more than the dict store beside it).
class Owned {
 public:
  explicit Owned(PyObject* obj = nullptr) : obj_(obj) {}
  static Owned borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Owned(obj);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(obj_); }
  PyObject* get() const { return obj_; }
  PyObject* take() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_;
};

// How many maps the conversions on this thread are inside (Python code run
// by a conversion may start another one, which counts on).
thread_local int map_depth = 0;

// Counts one map more for its lifetime: a conversion that fails, by an
// error or by an exception (an allocation), leaves the count as it was.
class MapLevel {
 public:
  MapLevel() noexcept { ++map_depth; }
  MapLevel(const MapLevel&) = delete;
  MapLevel& operator=(const MapLevel&) = delete;
  ~MapLevel() { --map_depth; }
};

std::optional<Value> float_fallback(PyObject* obj) {
  PyObject* result = PyObject_CallMethod(obj, "__float__", nullptr);
  if (result) {
    double d = PyFloat_AsDouble(result);
    Py_DECREF(result);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::real(d);
  }
  // Whatever else __float__ raised (its absence included) says only that
  // the object is not a field value.
  if (!clear_ordinary_error()) return std::nullopt;
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

bool clear_ordinary_error() {
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
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

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// One multiply per 16 bytes; the last 16 (or all of a shorter text) are
// read as two words that may overlap.
std::uint64_t text_hash(std::string_view text) {
  constexpr std::uint64_t kA = 0xA0761D6478BD642Full, kB = 0xE7037ED1A0B428DBull;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t seed = kA ^ n;
  std::uint64_t a = 0, b = 0;
  if (n >= 8) {
    for (std::size_t i = 0; i + 16 < n; i += 16) seed = mix(load8(p + i) ^ kB, load8(p + i + 8) ^ seed);
    a = load8(p + (n >= 16 ? n - 16 : 0));
    b = load8(p + n - 8);
  } else {
    a = short_word(p, n);
  }
  return mix(a ^ kB, b ^ seed) ^ seed;
}

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
    const std::uint64_t h = text_hash(text);
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
      if (entry.hash == h && texts_[at].size() == text.size() &&
          same_bytes(texts_[at].data(), text.data(), text.size())) {
        Py_INCREF(entry.object);
        return entry.object;
      }
    }
    Owned fresh(text_to_py(text));
    if (!fresh) return nullptr;
    // The slot is emptied before its text is replaced (which may throw) and
    // filled after, and the old str is let go last: at no point does the
    // slot name an object it does not own or pair one with another text.
    Owned old(std::exchange(entries_[target].object, nullptr));
    texts_[target].assign(text);
    Py_INCREF(fresh.get());
    entries_[target] = {h, fresh.get()};
    return fresh.take();
  }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    PyObject* object = nullptr;
  };

  Entry entries_[kSlots];
  std::string texts_[kSlots];
};

PyObject* cached_text_to_py(std::string_view text) {
  static auto* cache = new TextCache;
  return cache->get(text);
}

// Named values (fields or options) into a new dict one insert at a time.
// `maps`, when given, holds the converted maps as DictTemplates::make takes them.
template <class Named>
PyObject* insert_all(const Named& named, PyObject* (*key_to_py)(std::string_view), PyObject* const* maps) {
  Owned dict(PyDict_New());
  if (!dict) return nullptr;
  std::size_t i = 0;
  for (const auto& [name, value] : named) {
    Owned v = maps && value.kind() == Value::Kind::Map ? Owned::borrow(maps[i]) : Owned(value_to_py(value));
    ++i;
    if (!v) return nullptr;
    Owned k(key_to_py(name));
    if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.take();
}

// Decoded messages of one kind carry the same names in the same order, and
// from one frame to the next most of their values repeat. For each such list
// of names a template dict is kept with the values last converted; a list's
// dict is a copy of its template once the values that changed are set in
// it. The copy duplicates the key table in one piece, where inserting each
// name would probe (and grow the table twice on the way to a dozen
// entries), and a value that did not change costs one comparison instead of
// a new object and an insert. The values are immutable objects, so sharing
// them between dicts shows nowhere. A list with a repeated name is built by
// inserting, so that the name keeps its first position and its last value.
// Direct-mapped in pairs of slots, the least recently used of a pair
// replaced. Maps and long texts are not kept: the template holds None for
// them and they are set in the copy alone, so a template holds small values
// only and nothing is undone after a copy. Only touched with the interpreter lock
// held, but Python code run inside a call (the __del__ methods of a garbage
// collection, other threads they let in) may call again: see make().
// Allocated once, never freed.
class DictTemplates {
 public:
  static constexpr std::size_t kSlots = 512;
  /// Longer lists are rare; their dicts are built by inserting.
  static constexpr std::size_t kMaxFields = 64;
  static constexpr std::size_t kMaxKeptText = 64;

  /// A new dict of the fields. `maps[i]` is the converted value of field i
  /// when that is a map (borrowed; converted beforehand, as converting one
  /// uses the templates), else unused.
  PyObject* make(const Fields& fields, PyObject* const* maps) {
    const std::uint64_t h = hash(fields);
    Template* const pair = &slots_[h & (kSlots - 1) & ~std::size_t{1}];
    // Any allocation below may run a garbage collection, and with it
    // __del__ methods that read fields and come back here. A pair with a
    // slot in use further up the stack is left alone: such a nested call
    // inserts, so that no call fills, copies or evicts a template under
    // another.
    if (pair[0].busy || pair[1].busy) return insert_all(fields, cached_text_to_py, maps);
    Template* found = nullptr;
    for (Template* t = pair; t < pair + 2 && !found; ++t) {
      if (t->dict && t->hash == h && t->compare(fields)) found = t;
    }
    const bool hit = found != nullptr;
    if (hit && found->repeated) return insert_all(fields, cached_text_to_py, maps);
    if (!hit) found = pair[0].used <= pair[1].used ? &pair[0] : &pair[1];
    InUse in_use(*found);
    if (!(hit ? found->update(fields) : found->fill(fields, h))) return nullptr;
    found->used = ++clock_;
    if (found->repeated) {
      in_use.keep();
      return insert_all(fields, cached_text_to_py, maps);
    }
    Owned copy(PyDict_Copy(found->dict));
    if (!copy) return nullptr;
    // The values not kept go into the copy alone, over the template's None.
    // The template stays in use meanwhile: a text made here may collect.
    for (std::size_t k = 0; k < found->changed_count; ++k) {
      const std::size_t i = found->changed[k];
      if (found->entries[i].kind != Value::Kind::Map) continue;
      const Value& value = fields[i].second;
      Owned object = value.kind() == Value::Kind::Map ? Owned::borrow(maps[i]) : Owned(value_to_py(value));
      if (!object || PyDict_SetItem(copy.get(), found->entries[i].key, object.get()) < 0) return nullptr;
    }
    in_use.keep();
    return copy.take();
  }

 private:
  // What a template knows of one field: its dict key, its name, and what its
  // value in the dict was made from (a kind of Map stands for a value not
  // kept, which no value is the same as).
  struct Entry {
    PyObject* key;            // owned
    std::uint64_t bits;       // an int, a float's bits or a bool
    std::uint64_t head, tail;  // name_words() of the name
    std::uint32_t name_end;   // where the name ends in Template::names
    Value::Kind kind;
  };

  // A name of up to 16 bytes in two words (distinct names of one length give
  // distinct pairs); a longer one is compared in full.
  static std::pair<std::uint64_t, std::uint64_t> name_words(const std::string& name) {
    const std::size_t n = name.size();
    if (n < 8) return {short_word(name.data(), n), 0};
    return {load8(name.data()), load8(name.data() + n - 8)};
  }

  struct Template {
    std::uint64_t hash = 0;
    std::uint64_t used = 0;
    PyObject* dict = nullptr;
    std::vector<Entry> entries;         // in field order
    std::vector<std::string> texts;     // the text of each field whose kind is Str
    std::string names;                  // the names, back to back, to confirm a match
    std::uint8_t changed[kMaxFields];    // fields this call sets (those not kept: in the copy)
    std::size_t changed_count = 0;
    bool repeated = false;               // a name occurs twice
    bool busy = false;                   // a call is filling, updating or copying it

    // Whether a value is kept in the template: maps and long texts are made
    // anew for each dict and set in its copy only.
    static bool kept(const Value& value) {
      return value.kind() != Value::Kind::Map &&
             (value.kind() != Value::Kind::Str || value.as_str().size() <= kMaxKeptText);
    }

    // Exactly the value the dict holds for field i: same kind and same bits
    // (-0.0 is not 0.0, a NaN is the same NaN).
    bool same(const Entry& e, std::size_t i, const Value& value) const {
      if (e.kind != value.kind()) return false;
      switch (e.kind) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return e.bits == static_cast<std::uint64_t>(value.as_bool());
        case Value::Kind::Int: return e.bits == static_cast<std::uint64_t>(value.as_int());
        case Value::Kind::Float: return e.bits == std::bit_cast<std::uint64_t>(value.as_float());
        case Value::Kind::Str: {
          const std::string& a = texts[i];
          const std::string& b = value.as_str();
          return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
        }
        case Value::Kind::Map: break;
      }
      return false;
    }

    // Names and values in one pass: whether every name is the template's,
    // and then in `changed` the fields whose value is not the same.
    bool compare(const Fields& fields) {
      const std::size_t n = fields.size();
      if (n != entries.size()) return false;
      changed_count = 0;
      const Field* field = fields.data();
      const Entry* e = entries.data();
      std::uint32_t at = 0;
      for (std::size_t i = 0; i < n; ++i, ++field, ++e) {
        const std::string& name = field->first;
        if (e->name_end - at != name.size()) return false;
        const auto [head, tail] = name_words(name);
        if (head != e->head || tail != e->tail ||
            (name.size() > 16 && !same_bytes(names.data() + at, name.data(), name.size()))) {
          return false;
        }
        at = e->name_end;
        if (!same(*e, i, field->second)) changed[changed_count++] = static_cast<std::uint8_t>(i);
      }
      return true;
    }

    // Sets field i's value in the dict, or marks it for the copy.
    bool set(std::size_t i, const Value& value) {
      Entry& e = entries[i];
      if (!kept(value)) {
        e.kind = Value::Kind::Map;
        return true;
      }
      PyObject* object = value_to_py(value);
      if (!object) return false;
      const int rc = PyDict_SetItem(dict, e.key, object);
      Py_DECREF(object);
      if (rc < 0) return false;
      e.kind = value.kind();
      switch (e.kind) {
        case Value::Kind::Bool: e.bits = value.as_bool(); break;
        case Value::Kind::Int: e.bits = static_cast<std::uint64_t>(value.as_int()); break;
        case Value::Kind::Float: e.bits = std::bit_cast<std::uint64_t>(value.as_float()); break;
        case Value::Kind::Str: texts[i] = value.as_str(); break;
        default: break;
      }
      return true;
    }

    // Sets the fields compare() found changed.
    bool update(const Fields& fields) {
      for (std::size_t k = 0; k < changed_count; ++k) {
        if (!set(changed[k], fields[changed[k]].second)) return false;
      }
      return true;
    }

    void clear() {
      Py_CLEAR(dict);
      for (const Entry& e : entries) Py_DECREF(e.key);
      entries.clear();
      texts.clear();
      names.clear();
      changed_count = 0;
    }

    bool fill(const Fields& fields, std::uint64_t h) {
      clear();
      dict = PyDict_New();
      if (!dict) return false;
      entries.reserve(fields.size());
      texts.resize(fields.size());
      for (std::size_t i = 0; i < fields.size(); ++i) {
        names.append(fields[i].first);
        // Reserved: nothing throws between taking the key and keeping it.
        PyObject* key = cached_text_to_py(fields[i].first);
        if (!key) return false;
        const auto [head, tail] = name_words(fields[i].first);
        entries.push_back({key, 0, head, tail, static_cast<std::uint32_t>(names.size()), Value::Kind::Null});
        const Value& value = fields[i].second;
        // A value not kept still gives its key a place, in field order.
        if (!kept(value)) {
          changed[changed_count++] = static_cast<std::uint8_t>(i);
          if (PyDict_SetItem(dict, key, Py_None) < 0) return false;
        }
        if (!set(i, value)) return false;
      }
      repeated = static_cast<std::size_t>(PyDict_Size(dict)) != fields.size();
      hash = h;
      return true;
    }
  };

  // Marks a template busy for one call. A call that fails (a Python error
  // or an exception) leaves it half updated, so it is dropped.
  class InUse {
   public:
    explicit InUse(Template& t) : t_(t) { t_.busy = true; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    ~InUse() {
      if (!kept_) t_.clear();
      t_.busy = false;
    }
    void keep() { kept_ = true; }

   private:
    Template& t_;
    bool kept_ = false;
  };

  // The count and (the first 16 bytes of) the first and last names pick the
  // slots; compare() tells lists that share them apart, so every name is
  // read in full only once.
  static std::uint64_t hash(const Fields& fields) {
    const auto [first_head, first_tail] = name_words(fields.front().first);
    const auto [last_head, last_tail] = name_words(fields.back().first);
    return mix(first_head ^ (first_tail * 31) ^ fields.size(), last_head + (last_tail ^ 0x9E3779B97F4A7C15ull));
  }

  Template slots_[kSlots];
  std::uint64_t clock_ = 0;
};

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
  std::optional<Fields> fields;
  {
    MapLevel level;
    fields = fields_from_py(obj);
  }
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
  const std::size_t n = fields.size();
  if (n == 0 || n > DictTemplates::kMaxFields) return insert_all(fields, cached_text_to_py, nullptr);
  // The maps are converted first, as converting one uses the templates.
  // Their lists lie elsewhere on the heap: the start of each is asked for
  // before the first is read, so that the reads overlap.
  std::uint8_t map_at[DictTemplates::kMaxFields];
  std::size_t map_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Value& value = fields[i].second;
    if (value.kind() != Value::Kind::Map) continue;
    const auto* members = reinterpret_cast<const char*>(value.as_map().data());
    for (std::size_t b = 0; b < std::min<std::size_t>(value.as_map().size() * sizeof(Field), 256); b += 64) {
      __builtin_prefetch(members + b);
    }
    map_at[map_count++] = static_cast<std::uint8_t>(i);
  }
  // The converted maps are let go on every way out, a thrown allocation
  // failure in a later conversion or in the dict's making included.
  struct ConvertedMaps {
    explicit ConvertedMaps(const std::uint8_t* index) : index(index) {}
    ConvertedMaps(const ConvertedMaps&) = delete;
    ConvertedMaps& operator=(const ConvertedMaps&) = delete;
    ~ConvertedMaps() {
      for (std::size_t k = 0; k < count; ++k) Py_DECREF(at[index[k]]);
    }
    PyObject* at[DictTemplates::kMaxFields];  // set at the indexes converted so far
    const std::uint8_t* index;
    std::size_t count = 0;
  } maps(map_at);
  for (; maps.count < map_count; ++maps.count) {
    const std::size_t i = map_at[maps.count];
    maps.at[i] = fields_to_py(fields[i].second.as_map());
    if (!maps.at[i]) return nullptr;
  }
  static auto* templates = new DictTemplates;
  return templates->make(fields, maps.at);
}

PyObject* options_to_py(const Options& options) { return insert_all(options, text_to_py, nullptr); }

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
