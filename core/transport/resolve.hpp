// Socket addresses and the host:port resolution shared by udp:// and tcp://.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace sigtap::transport {

/// An IPv4 or IPv6 socket address with its port, as the socket calls take it.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t len = 0;

  /// Copies an address the system handed out (accept, recvfrom, getaddrinfo).
  static SocketAddress from(const sockaddr* addr, socklen_t len);
  /// The local address of a socket (getsockname); Io error on failure.
  static Result<SocketAddress> local_of(int fd);

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
  bool is_ipv4() const { return family() == AF_INET; }
  std::uint16_t port() const;
  /// True for 0.0.0.0 and ::.
  bool is_unspecified() const;
  /// The same address with the unspecified host replaced by the loopback
  /// host of its family: where a listener on "any" can be reached locally.
  SocketAddress reachable() const;
  /// "1.2.3.4:80" or "[::1%2]:80".
  std::string to_string() const;
};

/// The first socket address that "host:port" stands for. Numeric addresses
/// ("1.2.3.4:80", "[::1%2]:80") are taken without any lookup; anything else
/// is split at its last colon and the host is handed to the system resolver,
/// which may block. Failures are Config errors naming the text.
Result<SocketAddress> resolve(std::string_view text);

}  // namespace sigtap::transport
