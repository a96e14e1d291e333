// Host:port resolution: numeric forms directly, everything else through getaddrinfo.
#include "core/transport/resolve.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "core/text.hpp"

namespace sigtap::transport {
namespace {

// Decimal digits only (leading zeros allowed), at most `max`.
std::optional<std::uint64_t> parse_digits(std::string_view s, std::uint64_t max) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > max) return std::nullopt;
  }
  return v;
}

// The port of the looked-up form: one optional "+", then decimal digits.
std::optional<std::uint16_t> parse_port(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto v = parse_digits(s, 65535);
  if (!v) return std::nullopt;
  return static_cast<std::uint16_t>(*v);
}

// "a.b.c.d:port" or "[v6%scope]:port"; nothing for any other text.
std::optional<SocketAddress> parse_numeric(std::string_view text) {
  SocketAddress out;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    auto port = parse_digits(text.substr(close + 2), 65535);
    if (!port) return std::nullopt;
    std::string_view inside = text.substr(1, close - 1);
    std::uint32_t scope = 0;
    if (auto pct = inside.find('%'); pct != std::string_view::npos) {
      auto s = parse_digits(inside.substr(pct + 1), 0xffffffffu);
      if (!s) return std::nullopt;
      scope = static_cast<std::uint32_t>(*s);
      inside = inside.substr(0, pct);
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<std::uint16_t>(*port));
    sa.sin6_scope_id = scope;
    if (inet_pton(AF_INET6, std::string(inside).c_str(), &sa.sin6_addr) != 1) return std::nullopt;
    std::memcpy(&out.storage, &sa, sizeof sa);
    out.len = sizeof sa;
    return out;
  }
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto port = parse_digits(text.substr(colon + 1), 65535);
  if (!port) return std::nullopt;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(*port));
  // inet_pton takes strictly four decimal parts without leading zeros.
  if (inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &sa.sin_addr) != 1) return std::nullopt;
  std::memcpy(&out.storage, &sa, sizeof sa);
  out.len = sizeof sa;
  return out;
}

Error cannot_resolve(std::string_view text, const Error& why) {
  return Error::config("cannot resolve " + quoted(text) + ": " + why.fmt());
}

void set_port(SocketAddress& addr, std::uint16_t port) {
  if (addr.family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&addr.storage)->sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6*>(&addr.storage)->sin6_port = htons(port);
  }
}

}  // namespace

SocketAddress SocketAddress::from(const sockaddr* addr, socklen_t len) {
  SocketAddress out;
  if (len > sizeof out.storage) len = sizeof out.storage;
  std::memcpy(&out.storage, addr, len);
  out.len = len;
  return out;
}

Result<SocketAddress> SocketAddress::local_of(int fd) {
  SocketAddress out;
  out.len = sizeof out.storage;
  if (getsockname(fd, out.get(), &out.len) != 0) return Error::io_errno(errno);
  return out;
}

std::uint16_t SocketAddress::port() const {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}

bool SocketAddress::is_unspecified() const {
  if (family() == AF_INET) return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == htonl(INADDR_ANY);
  if (family() == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
  }
  return false;
}

SocketAddress SocketAddress::reachable() const {
  SocketAddress out = *this;
  if (!is_unspecified()) return out;
  if (family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&out.storage)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    reinterpret_cast<sockaddr_in6*>(&out.storage)->sin6_addr = in6addr_loopback;
  }
  return out;
}

std::string SocketAddress::to_string() const {
  char host[INET6_ADDRSTRLEN] = {};
  std::string out;
  if (family() == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, host, sizeof host);
    out += host;
  } else if (family() == AF_INET6) {
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(&storage);
    inet_ntop(AF_INET6, &sa->sin6_addr, host, sizeof host);
    out += '[';
    out += host;
    if (sa->sin6_scope_id != 0) {
      out += '%';
      out += std::to_string(sa->sin6_scope_id);
    }
    out += ']';
  } else {
    out += "<unknown address family ";
    out += std::to_string(family());
    out += '>';
    return out;
  }
  out += ':';
  out += std::to_string(port());
  return out;
}

Result<SocketAddress> resolve(std::string_view text) {
  if (auto numeric = parse_numeric(text)) return *numeric;

  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    return cannot_resolve(text, Error::io(IoKind::InvalidInput, "invalid socket address"));
  }
  auto port = parse_port(text.substr(colon + 1));
  if (!port) return cannot_resolve(text, Error::io(IoKind::InvalidInput, "invalid port value"));
  std::string host(text.substr(0, colon));
  if (host.find('\0') != std::string::npos) {
    return cannot_resolve(text, Error::io(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return cannot_resolve(text, Error::io_errno(errno));
    return cannot_resolve(text, Error::io(IoKind::Other, std::string("failed to lookup address information: ") +
                                                             gai_strerror(rc)));
  }
  std::optional<SocketAddress> first;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    first = SocketAddress::from(ai->ai_addr, ai->ai_addrlen);
    set_port(*first, *port);
    break;
  }
  freeaddrinfo(list);
  if (!first) return Error::config(quoted(text) + " resolves to no address");
  return *first;
}

}  // namespace sigtap::transport
