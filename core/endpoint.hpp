// Parsing of transport URLs (scheme://address?query) and codec specs (name[:argument]).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/options.hpp"
#include "core/result.hpp"

namespace sigtap {

/// A parsed transport URL.
struct Endpoint {
  std::string scheme;   ///< lower-cased; the transport registry key
  std::string address;  ///< text after "://" up to the first "?", unchanged
  Options options;      ///< the query; every value is a text

  /// Fails with Config for a missing "://" or an invalid scheme.
  static Result<Endpoint> parse(std::string_view url);
};

/// A parsed codec spec.
struct CodecSpec {
  std::string name;                     ///< lower-cased, never empty
  std::optional<std::string> argument;  ///< text after the first colon
  Options options;                      ///< the keyword options

  /// Fails with Config "invalid codec ..." for an empty name; the options are
  /// consumed either way.
  static Result<CodecSpec> parse(std::string_view spec, Options options);
};

}  // namespace sigtap
