// The udp:// transport: one datagram per packet, received in short polling slices.
#include "core/transport/udp.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "core/transport/builtin.hpp"

namespace sigtap::transport {

Result<std::shared_ptr<Udp>> Udp::open(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(bool listen, endpoint.options.take_bool("listen", false));
  SIGTAP_ASSIGN_OR_RETURN(auto bind_text, endpoint.options.take_str("bind"));
  SIGTAP_ASSIGN_OR_RETURN(auto peer_text, endpoint.options.take_str("peer"));
  SIGTAP_TRY(endpoint.options.finish("udp://"));

  SIGTAP_ASSIGN_OR_RETURN(SocketAddress target, resolve(endpoint.address));
  SocketAddress local;
  std::optional<SocketAddress> peer;
  if (listen) {
    local = target;
    if (peer_text) {
      SIGTAP_ASSIGN_OR_RETURN(peer, resolve(*peer_text));
    }
  } else {
    std::string_view any = target.is_ipv4() ? "0.0.0.0:0" : "[::]:0";
    SIGTAP_ASSIGN_OR_RETURN(local, resolve(bind_text ? std::string_view(*bind_text) : any));
    peer = target;
  }

  Fd socket(::socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return Error::io_errno(errno);
  if (::bind(socket.get(), local.get(), local.len) != 0) return Error::io_errno(errno);
  return std::make_shared<Udp>(std::move(socket), std::move(peer), listen);
}

Udp::Udp(Fd socket, std::optional<SocketAddress> peer, bool listen)
    : peer_(std::move(peer)), socket_(std::move(socket)), listen_(listen) {}

Result<std::optional<Packet>> Udp::recv(std::optional<Duration> timeout) {
  auto deadline = deadline_for(timeout);
  constexpr std::size_t kBuffer = 65536;
  // Uninitialised: recvfrom writes what it returns, and only that is copied.
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBuffer);
  if (closed()) return Error::closed();
  for (;;) {
    Clock::duration slice = kMaxSlice;
    if (deadline) slice = std::clamp<Clock::duration>(remaining(*deadline).to_clock(), kMinSlice, kMaxSlice);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(micros / 1'000'000);
    tv.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
    if (setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return Error::io_errno(errno);

    SocketAddress from;
    from.len = sizeof from.storage;
    ssize_t n = ::recvfrom(socket_.get(), buffer.get(), kBuffer, 0, from.get(), &from.len);
    if (n < 0) {
      int err = errno;
      // A signal that interrupts the wait is not a failure of the socket: the
      // slice simply ended early. A reset is the ICMP echo of an earlier send
      // to a closed port and says nothing about this receive.
      if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT || err == ECONNRESET || err == EINTR) {
        if (deadline && Clock::now() >= *deadline) return std::optional<Packet>{};
        if (closed()) return Error::closed();
        continue;
      }
      return Error::io_errno(err);
    }
    Packet packet;
    packet.timestamp = wall_clock_timestamp();
    packet.data = Bytes(buffer.get(), buffer.get() + n);
    if (listen_) {
      std::lock_guard lock(peer_mutex_);
      peer_ = from;
    }
    return std::optional<Packet>(std::move(packet));
  }
}

Status Udp::send(const Packet& packet) {
  if (closed()) return Error::closed();
  std::optional<SocketAddress> peer;
  {
    std::lock_guard lock(peer_mutex_);
    peer = peer_;
  }
  if (!peer) {
    return Error::invalid_packet("no peer to send to yet: a udp listener replies to the last sender (or pass ?peer=)");
  }
  ssize_t n;
  do {
    n = ::sendto(socket_.get(), packet.data.data(), packet.data.size(), MSG_NOSIGNAL, peer->get(), peer->len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Error::io_errno(errno);
  return {};
}

void Udp::close() { closed_.store(true, std::memory_order_seq_cst); }

}  // namespace sigtap::transport

namespace sigtap::transport::builtin {

Result<TransportPtr> udp(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(auto transport, transport::Udp::open(std::move(endpoint)));
  return TransportPtr(std::move(transport));
}

}  // namespace sigtap::transport::builtin
