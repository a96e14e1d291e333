// Value equality and the value form.
#include "core/value.hpp"

#include <charconv>

#include "core/text.hpp"

namespace sigtap {

bool fields_equal(const Fields& a, const Fields& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].first != b[i].first || !(a[i].second == b[i].second)) return false;
  }
  return true;
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Null: return true;
    case Value::Kind::Bool: return a.as_bool() == b.as_bool();
    case Value::Kind::Int: return a.as_int() == b.as_int();
    case Value::Kind::Float: return a.as_float() == b.as_float();
    case Value::Kind::Str: return a.as_str() == b.as_str();
    case Value::Kind::Map: return fields_equal(a.as_map(), b.as_map());
  }
  return false;
}

void Value::append_fmt(std::string& out) const {
  switch (kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += as_bool() ? "true" : "false"; return;
    case Kind::Int: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, as_int());
      out.append(buf, r.ptr);
      return;
    }
    case Kind::Float: append_float_value_form(out, as_float()); return;
    case Kind::Str: append_quoted(out, as_str()); return;
    case Kind::Map: {
      out += '{';
      bool first = true;
      for (const auto& [name, value] : as_map()) {
        if (!first) out += ", ";
        first = false;
        out += name;
        out += ": ";
        value.append_fmt(out);
      }
      out += '}';
      return;
    }
  }
}

std::string Value::fmt() const {
  std::string out;
  append_fmt(out);
  return out;
}

}  // namespace sigtap
