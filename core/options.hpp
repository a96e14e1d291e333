// Options: the configuration of one transport (URL query) or codec (keyword options).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/value.hpp"

namespace sigtap {

/// A map from option name to Value, sorted byte-wise by name. Every reader
/// removes the entry it reads, whether it succeeds or fails, so that
/// finish() reports exactly the options nobody took.
class Options {
 public:
  using Map = std::map<std::string, Value, std::less<>>;

  /// Adds or replaces an entry.
  void set(std::string key, Value value) { map_.insert_or_assign(std::move(key), std::move(value)); }
  bool empty() const { return map_.empty(); }
  std::size_t size() const { return map_.size(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

  /// Removes the entry and returns its value, or nothing.
  std::optional<Value> take(std::string_view key);
  /// A text, or an integer as its decimal text; other kinds fail with
  /// "option KEY: VALUE is not a string".
  Result<std::optional<std::string>> take_str(std::string_view key);
  /// Boolean words (""/1/on/yes/true, 0/no/off/false, ASCII case-insensitive),
  /// a bool, or an int (non-zero is true); `def` when absent.
  Result<bool> take_bool(std::string_view key, bool def);
  /// Fails with "WHAT does not take the option(s) a, b" when anything is left.
  Status finish(std::string_view what);

 private:
  Map map_;
};

}  // namespace sigtap
