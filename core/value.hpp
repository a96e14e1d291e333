// Field values: null, bool, int64, double, text or an ordered map; plain owned data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sigtap {

class Value;
/// An ordered list of named values; names may repeat.
using Field = std::pair<std::string, Value>;
using Fields = std::vector<Field>;

/// A field value. Copies are deep.
class Value {
 public:
  enum class Kind { Null, Bool, Int, Float, Str, Map };
  /// The deepest nesting of maps a value may have. Copies, comparisons, the
  /// value form and destruction recurse once per level, so whatever builds
  /// values from outside input refuses deeper ones (the binding raises
  /// RecursionError), and the core's codecs build shallow ones.
  static constexpr int kMaxDepth = 200;
  struct Null {};

  Value() : v_(Null{}) {}
  static Value null() { return Value(); }
  static Value boolean(bool b) { Value v; v.v_ = b; return v; }
  static Value integer(std::int64_t i) { Value v; v.v_ = i; return v; }
  static Value real(double d) { Value v; v.v_ = d; return v; }
  static Value str(std::string s) { Value v; v.v_ = std::move(s); return v; }
  static Value map(Fields f) { Value v; v.v_ = std::move(f); return v; }
  /// Replace the value in place: an int over an int (a float over a float)
  /// is a plain store, which field lists that are rewritten rely on.
  void set_integer(std::int64_t i) { v_ = i; }
  void set_real(double d) { v_ = d; }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool as_bool() const { return std::get<bool>(v_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
  double as_float() const { return std::get<double>(v_); }
  const std::string& as_str() const { return std::get<std::string>(v_); }
  const Fields& as_map() const { return std::get<Fields>(v_); }
  Fields& as_map() { return std::get<Fields>(v_); }

  /// Same variant and equal payloads; NaN equals nothing, 0.0 equals -0.0;
  /// maps pairwise in order.
  friend bool operator==(const Value& a, const Value& b);

  /// The value form: null, true, 42, 1.0, 1e16, "text", {a: 1, b: "x"}.
  std::string fmt() const;
  void append_fmt(std::string& out) const;

 private:
  std::variant<Null, bool, std::int64_t, double, std::string, Fields> v_;
};

bool fields_equal(const Fields& a, const Fields& b);

}  // namespace sigtap
