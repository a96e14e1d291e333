// URL and codec-spec grammars: check only what every factory relies on.
#include "core/endpoint.hpp"

#include "core/text.hpp"

namespace sigtap {

namespace {

bool scheme_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

}  // namespace

Result<Endpoint> Endpoint::parse(std::string_view url) {
  auto sep = url.find("://");
  if (sep == std::string_view::npos) {
    return Error::config(quoted(url) +
                         " is not a transport URL (scheme://address, e.g. can://vcan0, udp://192.168.1.10:5000, "
                         "tcp://host:28784, mem://bus)");
  }
  std::string_view scheme = url.substr(0, sep);
  bool valid = !scheme.empty();
  for (char c : scheme) valid = valid && scheme_char(c);
  if (!valid) return Error::config("invalid URL scheme " + quoted(scheme));

  Endpoint ep;
  std::string_view rest = url.substr(sep + 3);
  std::string_view query;
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  ep.address = std::string(rest);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (piece.empty()) continue;
    auto eq = piece.find('=');
    std::string_view name = piece.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view{} : piece.substr(eq + 1);
    ep.options.set(std::string(name), Value::str(std::string(value)));
  }
  ep.scheme = ascii_lower(scheme);
  return ep;
}

Result<CodecSpec> CodecSpec::parse(std::string_view spec, Options options) {
  CodecSpec cs;
  std::string_view name = spec;
  if (auto colon = spec.find(':'); colon != std::string_view::npos) {
    name = spec.substr(0, colon);
    cs.argument = std::string(spec.substr(colon + 1));
  }
  if (name.empty()) return Error::config("invalid codec " + quoted(spec));
  cs.name = ascii_lower(name);
  cs.options = std::move(options);
  return cs;
}

}  // namespace sigtap
