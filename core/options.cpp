// Option readers shared by every built-in transport and codec factory.
#include "core/options.hpp"

#include "core/text.hpp"

namespace sigtap {
namespace {

Error not_a(std::string_view key, const Value& v, std::string_view what) {
  std::string text = "option ";
  text += key;
  text += ": ";
  v.append_fmt(text);
  text += " is not a ";
  text += what;
  return Error::config(std::move(text));
}

}  // namespace

std::optional<Value> Options::take(std::string_view key) {
  auto it = map_.find(key);
  if (it == map_.end()) return std::nullopt;
  Value v = std::move(it->second);
  map_.erase(it);
  return v;
}

Result<std::optional<std::string>> Options::take_str(std::string_view key) {
  auto v = take(key);
  if (!v) return std::optional<std::string>{};
  switch (v->kind()) {
    case Value::Kind::Str: return std::optional<std::string>{v->as_str()};
    case Value::Kind::Int: return std::optional<std::string>{std::to_string(v->as_int())};
    default: return not_a(key, *v, "string");
  }
}

Result<bool> Options::take_bool(std::string_view key, bool def) {
  auto v = take(key);
  if (!v) return def;
  switch (v->kind()) {
    case Value::Kind::Bool: return v->as_bool();
    case Value::Kind::Int: return v->as_int() != 0;
    case Value::Kind::Str: {
      const std::string& s = v->as_str();
      if (s.empty()) return true;
      std::string w = ascii_lower(s);
      if (w == "1" || w == "on" || w == "yes" || w == "true") return true;
      if (w == "0" || w == "no" || w == "off" || w == "false") return false;
      return not_a(key, *v, "boolean");
    }
    default: return not_a(key, *v, "boolean");
  }
}

Status Options::finish(std::string_view what) {
  if (map_.empty()) return {};
  std::string text(what);
  text += " does not take the option(s) ";
  bool first = true;
  for (const auto& [k, v] : map_) {
    if (!first) text += ", ";
    first = false;
    text += k;
  }
  map_.clear();
  return Error::config(std::move(text));
}

}  // namespace sigtap
