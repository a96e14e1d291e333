// The tcp:// transport: reader threads feed one queue; sends go to one or every connection.
//
// Locking: conns_mutex is only held to copy, add or remove list entries. A
// send works on a copy of the list, so a slow peer delays neither the accept
// thread nor close; close shuts the sockets down, which makes a blocked send
// fail at once. A Connection's descriptor is closed only when the last holder
// (list, a send's copy, its reader) lets go, so no thread ever uses a reused
// number.
#include "core/transport/tcp.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <new>
#include <span>
#include <thread>

#include "core/interrupt.hpp"
#include "core/thread.hpp"
#include "core/transport/builtin.hpp"
#include "core/fd.hpp"

namespace sigtap::transport {
namespace tcp {

std::atomic<std::uint64_t> NEXT_SOURCE{1};

/// What interrupted sends left for one connection: the rest of the packet
/// it was taking, then whole packets it had not begun, in order. They go out
/// before anything else sent to it, so its stream loses no byte and never
/// carries a cut packet. Read and written only under the transport's send
/// lock.
struct Unsent {
  struct Part {
    std::shared_ptr<const std::vector<std::uint8_t>> data;  // shared by every connection it is left to
    std::size_t offset;
  };
  std::deque<Part> parts;
  std::size_t bytes = 0;  // what `parts` still holds
  /// When the peer last took a byte of them (a listener's stall rule goes
  /// on from there), and what the system held for it then.
  Instant last_progress{};
  int held = 0;
};

struct Connection {
  explicit Connection(Fd f) : fd(std::move(f)) {}
  /// Ends both directions: the reader sees the end of its stream and a send
  /// blocked on this socket fails. Errors (already shut) are irrelevant.
  void shutdown() const { ::shutdown(fd.get(), SHUT_RDWR); }

  const Fd fd;
  Unsent unsent;
  /// Set by a listener's reader when the peer ended its stream: the peer
  /// sends nothing more, but may still read, so the connection stays a send
  /// target without a reader (see accept_loop for its release).
  std::atomic<bool> peer_finished{false};
};

}  // namespace tcp

namespace {

using tcp::Connection;
using tcp::Shared;

// How long the accept thread sleeps when accepting fails for a reason that
// retrying at once would not cure (no descriptors or memory left).
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// The accept thread also looks at the closed flag this often, so it ends
// even when close could not reach the listener to wake it, and at the
// half-closed connections, to release those that failed.
constexpr auto kAcceptSlice = std::chrono::milliseconds(500);
// The most one read takes: the largest packet a reader queues.
constexpr std::size_t kMaxRead = 65536;
// The most a connection may lack from interrupted sends before another is
// kept for it (see keep_rest).
constexpr std::size_t kMaxUnsent = std::size_t{64} << 20;
// A read of at least this much is queued in the reader's buffer as it is;
// a smaller one is copied into a packet of its size, so the queue never holds
// much more memory than the data it counts.
constexpr std::size_t kKeepBuffer = kMaxRead - kMaxRead / 8;
// At most this many reads in a row are queued with one wake-up of the
// receiver, which then takes them in a few runs.
constexpr int kQuietReads = 16;
// A reader's stack: it only waits, reads and queues.
constexpr std::size_t kReaderStack = std::size_t{128} << 10;
// The fewest descriptors a listener leaves to the rest of the process.
constexpr rlim_t kDescriptorReserve = 64;

int poll_millis(Clock::duration d) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Connects with a bounded wait, which the caller's interrupt check ends
// between slices (a server that never answers keeps it for the whole
// timeout). The socket is non-blocking only while connecting; an
// interrupted connect goes on in the background, so it is waited for like
// one in progress.
Result<Fd> connect_with_timeout(const SocketAddress& addr, Clock::duration timeout) {
  Fd fd(::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return Error::io_errno(errno);
  if (::connect(fd.get(), addr.get(), addr.len) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return Error::io_errno(errno);
    InterruptibleWait wait(Clock::now() + timeout);
    for (;;) {
      pollfd p{fd.get(), POLLOUT, 0};
      int r = ::poll(&p, 1, poll_millis(wait.slice()));
      if (r < 0 && errno != EINTR) return Error::io_errno(errno);
      if (r > 0) break;
      if (const std::optional<WaitEnd> end = wait.next()) {
        if (*end == WaitEnd::kTimedOut) return Error::io(IoKind::TimedOut, "connection timed out");
        return Error::io_errno(EINTR);
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Error::io_errno(errno);
    if (err != 0) return Error::io_errno(err);
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return Error::io_errno(errno);
  return fd;
}

// Every connection sends at once (no waiting to fill a segment) and probes
// a quiet peer: one that vanished without a word (power lost, a link or a
// NAT entry gone) fails the reader's receive after the probes go
// unanswered, which frees its thread and socket.
Status tune_connection(int fd) {
  using namespace std::chrono;
  const int options[][3] = {
      {IPPROTO_TCP, TCP_NODELAY, 1},
      {SOL_SOCKET, SO_KEEPALIVE, 1},
      {IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(duration_cast<seconds>(Tcp::kKeepAliveIdle).count())},
      {IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(duration_cast<seconds>(Tcp::kKeepAliveInterval).count())},
      {IPPROTO_TCP, TCP_KEEPCNT, Tcp::kKeepAliveProbes},
  };
  for (const auto& [level, name, value] : options) {
    if (setsockopt(fd, level, name, &value, sizeof value) != 0) return Error::io_errno(errno);
  }
  return {};
}

enum class Progress { Done, Pending, Failed };

// Writes what the socket takes now from data[offset..], without waiting.
// The descriptor stays blocking for its reader, so each call asks for
// non-blocking behaviour itself.
// MSG_NOSIGNAL: a peer gone away is an error to report, not a SIGPIPE.
Progress write_some(int fd, std::span<const std::uint8_t> data, std::size_t& offset, Error* failure) {
  while (offset < data.size()) {
    std::size_t chunk = std::min<std::size_t>(data.size() - offset, INT_MAX);
    ssize_t n = ::send(fd, data.data() + offset, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return Progress::Pending;
      if (failure) *failure = Error::io_errno(err);
      return Progress::Failed;
    }
    if (n == 0) {
      if (failure) *failure = Error::io(IoKind::WriteZero, "failed to write whole buffer");
      return Progress::Failed;
    }
    offset += static_cast<std::size_t>(n);
  }
  return Progress::Done;
}

// Like write_some, but what interrupted sends left for the connection goes
// out first.
Progress write_pending(Connection& conn, std::span<const std::uint8_t> data, std::size_t& offset, Error* failure) {
  tcp::Unsent& unsent = conn.unsent;
  while (!unsent.parts.empty()) {
    tcp::Unsent::Part& part = unsent.parts.front();
    const std::size_t before = part.offset;
    const Progress progress = write_some(conn.fd.get(), *part.data, part.offset, failure);
    unsent.bytes -= part.offset - before;
    if (progress != Progress::Done) return progress;
    unsent.parts.pop_front();
  }
  return write_some(conn.fd.get(), data, offset, failure);
}

// An interrupted send leaves what the connection still lacks of `data` (all
// of it when it had not begun it) to go out first on its next send. `copy`
// is the packet's one copy, made for the first connection that needs it.
// False when the connection already lacks kMaxUnsent from earlier sends (a
// caller that sends on through interrupts to a peer that takes nothing), or
// when there is no memory to keep it: it must then be dropped, as its stream
// would be torn.
bool keep_rest(Connection& conn, std::span<const std::uint8_t> data, std::size_t offset,
               std::shared_ptr<const std::vector<std::uint8_t>>& copy) noexcept {
  if (offset >= data.size()) return true;
  if (conn.unsent.bytes > kMaxUnsent) return false;
  try {
    if (!copy) copy = std::make_shared<const std::vector<std::uint8_t>>(data.begin(), data.end());
    conn.unsent.parts.push_back({copy, offset});
  } catch (const std::bad_alloc&) {
    return false;
  }
  conn.unsent.bytes += data.size() - offset;
  return true;
}

// The bytes the system still holds for the peer (unsent or unacknowledged).
// They fall as the peer reads, long before the socket counts as writable
// again (which waits for a third of its buffer to be free), so a slow peer is
// seen making progress.
int held_for_peer(int fd) {
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Takes the given connections out of the list and shuts them down, so their
// readers end and their peers see the end of the stream. Allocates nothing:
// a reader that ran out of memory drops its connection through it.
void drop_connections(Shared& shared, std::span<const std::shared_ptr<Connection>> dropped) {
  if (dropped.empty()) return;
  {
    std::lock_guard lock(shared.conns_mutex);
    std::erase_if(shared.conns, [&](const std::shared_ptr<Connection>& c) {
      return std::find(dropped.begin(), dropped.end(), c) != dropped.end();
    });
  }
  for (const auto& c : dropped) c->shutdown();
}

// drop_connections for a send, which also frees what the connections held
// for sends that will never come (only a send, under the send lock, touches
// that).
void drop_unsent_and_connections(Shared& shared, std::span<const std::shared_ptr<Connection>> dropped) {
  for (const auto& c : dropped) {
    c->unsent.parts.clear();
    c->unsent.bytes = 0;
  }
  drop_connections(shared, dropped);
}

// Sleeps until the socket has something to read, has ended or failed (the
// next read tells which); false if poll itself fails. An urgent byte alone
// does not count as readable: a plain read skips it.
bool wait_readable(int fd) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, -1);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Gives the buffer's storage back.
void release(Bytes& buffer) {
  buffer.clear();
  buffer.shrink_to_fit();
}

// A connection's reader. It reads only once the queue has room for the most
// one read takes, so while the receiver is behind the data waits in the
// system's buffers (and TCP flow control holds the peer back). Reads never
// wait: the room goes back to the queue before the reader sleeps for data,
// and so does its buffer, so a waiting or idle connection holds neither.
// A plain recv leaves an urgent byte (MSG_OOB) out of the stream.
void read_loop(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Connection>& conn,
               std::uint64_t source, bool accepted) {
  bool peer_finished = false;
  try {
    // A listener's connections each get a share of the queue, so that one
    // client's flood does not stand in front of every other client's data.
    Queue::Producer producer(shared->queue, accepted);
    const int fd = conn->fd.get();
    // kMaxRead bytes while the stream flows, handed on with a large read.
    Bytes buffer;
    // Whether the room for the next read is held already, and how many
    // packets in a row were queued without waking the receiver.
    bool reserved = false;
    int quiet = 0;
    for (;;) {
      if (!reserved && !producer.try_reserve(kMaxRead)) {
        release(buffer);
        if (!producer.reserve(kMaxRead)) break;  // closed
      }
      reserved = false;
      if (buffer.capacity() < kMaxRead) {
        buffer.reserve(kMaxRead);
        buffer.resize_for_overwrite(kMaxRead);
      }
      const ssize_t n = ::recv(fd, buffer.data(), kMaxRead, MSG_DONTWAIT);
      if (n > 0) {
        const auto size = static_cast<std::size_t>(n);
        Packet packet;
        if (size >= kKeepBuffer) {
          buffer.resize(size);
          packet.data = std::move(buffer);
        } else {
          packet.data = Bytes(std::span<const std::uint8_t>(buffer.data(), size));
        }
        packet.timestamp = wall_clock_timestamp();
        packet.source = source;
        // Reads that find data in a row go to a waiting receiver with one
        // wake-up (the next read that finds nothing wakes it at once): each
        // wake-up may take the reader's processor from it.
        const bool more = ++quiet < kQuietReads;
        if (!more) quiet = 0;
        reserved = producer.push_and_reserve(std::move(packet), kMaxRead, more);
        continue;
      }
      if (n == 0) {
        peer_finished = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      producer.cancel();
      release(buffer);
      if (!wait_readable(fd)) break;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: this connection ends as if its peer had gone (the rest
    // of its stream would have a hole); the process goes on.
  }
  if (!accepted) {
    // The client's only connection ended: receivers get what is queued and
    // then learn that nothing more will come. Sends still go to it until
    // the system reports it gone.
    shared->queue.close();
  } else if (peer_finished) {
    // The peer will send nothing more (a FIN says only that), but may wait
    // for a reply: the reader ends, the connection stays a send target.
    conn->peer_finished.store(true, std::memory_order_release);
  } else {
    // A failed stream: a listener that never sends would otherwise keep it.
    drop_connections(*shared, std::span(&conn, 1));
  }
}

// Gives the connection its number and starts its reader, which holds the
// connection (and so its descriptor) until it ends.
Status spawn_reader(const std::shared_ptr<Shared>& shared, std::shared_ptr<Connection> conn, bool accepted) {
  std::uint64_t source = tcp::NEXT_SOURCE.fetch_add(1, std::memory_order_relaxed);
  auto body = [shared, conn = std::move(conn), source, accepted] { read_loop(shared, conn, source, accepted); };
  return spawn_detached("sigtap-tcp-read", std::move(body), kReaderStack);
}

void accept_one(const std::shared_ptr<Shared>& shared, Fd fd) {
  if (!tune_connection(fd.get()).ok()) return;
  auto conn = std::make_shared<Connection>(std::move(fd));
  {
    std::lock_guard lock(shared->conns_mutex);
    // Close may have emptied the list since the accept: a connection added
    // now would never be shut down.
    if (shared->closed.load(std::memory_order_acquire)) return;
    shared->conns.push_back(conn);
  }
  if (!spawn_reader(shared, conn, true).ok()) drop_connections(*shared, std::span(&conn, 1));
}

// How many descriptors the process has open, not counting the one this
// takes to look (-1 when it cannot tell).
long open_descriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  long count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count - 1;
}

// Whether the process has descriptors to spare for one more connection: a
// reserve of a quarter of its limit (at least 64, at most half) stays for
// everything else it does. The system hands out the lowest free number, so
// the lowest free one tells how many are open in a process that does not
// leave holes; finding none free at all also says no. A process may have
// holes (a descriptor it inherited high up, files closed since), so within
// twice the reserve of the limit the open ones are counted instead.
bool descriptors_to_spare(int listener) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  const rlim_t reserve = std::min(std::max<rlim_t>(kDescriptorReserve, limit.rlim_cur / 4), limit.rlim_cur / 2);
  rlim_t open = 0;
  {
    const Fd lowest_free(fcntl(listener, F_DUPFD_CLOEXEC, 0));
    if (!lowest_free.valid()) return false;
    open = static_cast<rlim_t>(lowest_free.get());
  }
  if (open + 2 * reserve < limit.rlim_cur) return true;
  if (const long counted = open_descriptors(); counted >= 0) open = std::max(open, static_cast<rlim_t>(counted));
  return open + reserve < limit.rlim_cur;
}

// Drops the half-closed connections whose socket failed since their reader
// ended (the peer reset it, or keepalive found it gone): nobody reads them
// any more to notice.
void release_failed_half_closed(Shared& shared) {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard lock(shared.conns_mutex);
    for (const auto& c : shared.conns) {
      if (c->peer_finished.load(std::memory_order_acquire)) finished.push_back(c);
    }
  }
  if (finished.empty()) return;
  std::vector<pollfd> polls;
  polls.reserve(finished.size());
  for (const auto& c : finished) polls.push_back({c->fd.get(), 0, 0});
  if (::poll(polls.data(), polls.size(), 0) <= 0) return;
  std::size_t failed = 0;
  for (std::size_t i = 0; i < finished.size(); ++i) {
    if (polls[i].revents & (POLLERR | POLLHUP)) finished[failed++] = std::move(finished[i]);
  }
  drop_connections(shared, std::span(finished.data(), failed));
}

// Drops the oldest half-closed connection, whose peer only might still read;
// false when there is none.
bool release_oldest_half_closed(Shared& shared) {
  std::shared_ptr<Connection> oldest;
  {
    std::lock_guard lock(shared.conns_mutex);
    const auto it = std::find_if(shared.conns.begin(), shared.conns.end(), [](const auto& c) {
      return c->peer_finished.load(std::memory_order_acquire);
    });
    if (it == shared.conns.end()) return false;
    oldest = *it;
  }
  drop_connections(shared, std::span(&oldest, 1));
  return true;
}

void accept_loop(const std::shared_ptr<Shared>& shared, Fd listener) {
  Instant next_look = Clock::now() + kAcceptSlice;
  for (;;) {
    if (shared->closed.load(std::memory_order_acquire)) return;
    const Instant now = Clock::now();
    if (now >= next_look) {
      next_look = now + kAcceptSlice;
      try {
        release_failed_half_closed(*shared);
      } catch (const std::bad_alloc&) {
        // Looked at again next slice.
      }
    }
    if (!descriptors_to_spare(listener.get())) {
      // Half-closed connections make room first, oldest first; without
      // them, new connections wait in the backlog until connections end.
      if (release_oldest_half_closed(*shared)) continue;
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    pollfd p{listener.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, poll_millis(next_look - now));
    if (shared->closed.load(std::memory_order_acquire)) return;
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(kAcceptRetryPause);
    if (ready <= 0) continue;
    int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (shared->closed.load(std::memory_order_acquire)) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      int err = errno;
      // EAGAIN: the pending connection went away between poll and accept.
      if (err == EINTR || err == ECONNABORTED || err == EAGAIN || err == EWOULDBLOCK) continue;
      // Out of descriptors or memory: the pending connection stays pending,
      // so retrying at once would spin.
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    try {
      accept_one(shared, Fd(fd));
    } catch (const std::bad_alloc&) {
      // Out of memory: the connection just taken is closed (its descriptor
      // goes with the unwinding); the next ones are taken after a pause.
      std::this_thread::sleep_for(kAcceptRetryPause);
    }
  }
}

}  // namespace

Result<std::shared_ptr<Tcp>> Tcp::open(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(bool listen, endpoint.options.take_bool("listen", false));
  SIGTAP_TRY(endpoint.options.finish("tcp://"));
  auto shared = std::make_shared<Shared>();
  SIGTAP_ASSIGN_OR_RETURN(SocketAddress addr, resolve(endpoint.address));

  if (!listen) {
    SIGTAP_ASSIGN_OR_RETURN(Fd fd, connect_with_timeout(addr, kConnectTimeout));
    SIGTAP_TRY(tune_connection(fd.get()));
    SIGTAP_ASSIGN_OR_RETURN(SocketAddress local, SocketAddress::local_of(fd.get()));
    auto conn = std::make_shared<Connection>(std::move(fd));
    SIGTAP_TRY(spawn_reader(shared, conn, false));
    {
      std::lock_guard lock(shared->conns_mutex);
      shared->conns.push_back(std::move(conn));
    }
    return std::make_shared<Tcp>(local, std::move(shared), false);
  }

  // Non-blocking so that the accept thread, which waits in poll(), never
  // blocks in accept when a pending connection vanishes in between.
  Fd listener(::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.valid()) return Error::io_errno(errno);
  int one = 1;
  if (setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return Error::io_errno(errno);
  if (::bind(listener.get(), addr.get(), addr.len) != 0) return Error::io_errno(errno);
  if (::listen(listener.get(), 128) != 0) return Error::io_errno(errno);
  SIGTAP_ASSIGN_OR_RETURN(SocketAddress local, SocketAddress::local_of(listener.get()));
  auto held = std::make_shared<Fd>(std::move(listener));
  auto body = [shared, held] { accept_loop(shared, std::move(*held)); };
  SIGTAP_ASSIGN_OR_RETURN(std::thread thread, spawn_thread("sigtap-tcp-accept", std::move(body)));
  thread.detach();
  return std::make_shared<Tcp>(local, std::move(shared), true);
}

Tcp::Tcp(SocketAddress local_addr, std::shared_ptr<tcp::Shared> shared, bool listen)
    : local_addr_(local_addr), shared_(std::move(shared)), listen_(listen) {}

Tcp::~Tcp() { close(); }

void Tcp::set_limits(Clock::duration stall_limit, std::size_t receive_budget) {
  stall_limit_ = stall_limit;
  shared_->queue.set_byte_budget(receive_budget);
}

Result<std::optional<Packet>> Tcp::recv(std::optional<Duration> timeout) { return shared_->queue.pop(timeout); }

std::optional<Packet> Tcp::try_recv() { return shared_->queue.try_pop(); }

std::optional<Packet> Tcp::try_recv_many(std::vector<Packet>& rest, std::size_t more) {
  return shared_->queue.try_pop_many(rest, more);
}

Status Tcp::send(const Packet& packet) {
  if (shared_->closed.load(std::memory_order_acquire)) return Error::closed();
  if (listen_) return packet.data.empty() ? Status{} : send_to_listeners_clients(packet.data);
  return send_to_client(packet.data);
}

Status Tcp::send_to_client(std::span<const std::uint8_t> data) {
  std::shared_ptr<Connection> conn;
  {
    std::lock_guard lock(shared_->conns_mutex);
    if (shared_->conns.empty()) return Error::closed();
    conn = shared_->conns.front();
  }
  if (data.empty()) return {};
  std::lock_guard send_lock(send_mutex_);
  std::size_t offset = 0;
  Error failure = Error::closed();
  InterruptibleWait wait;  // looks at close and at the interrupts a slice apart
  for (;;) {
    switch (write_pending(*conn, data, offset, &failure)) {
      case Progress::Done: return {};
      case Progress::Failed: return failure;
      case Progress::Pending: break;
    }
    // The peer is not reading: wait as long as it takes (a client sends at
    // its server's pace), but look at close and at the caller in between.
    if (shared_->closed.load(std::memory_order_acquire)) return Error::closed();
    if (wait.next()) {
      std::shared_ptr<const std::vector<std::uint8_t>> copy;
      // The rest cannot be kept: the stream would be torn.
      if (!keep_rest(*conn, data, offset, copy)) drop_unsent_and_connections(*shared_, std::span(&conn, 1));
      return Error::io_errno(EINTR);
    }
    pollfd p{conn->fd.get(), POLLOUT, 0};
    (void)::poll(&p, 1, poll_millis(wait.slice()));
  }
}

// A listener's send. A client behind from an interrupted send keeps its
// stall clock (unless it took a byte since), and its time budget covers
// everything it still lacks.
Status Tcp::send_to_listeners_clients(std::span<const std::uint8_t> data) {
  std::lock_guard send_lock(send_mutex_);
  std::vector<std::shared_ptr<Connection>> targets;
  {
    std::lock_guard lock(shared_->conns_mutex);
    targets = shared_->conns;
  }
  if (targets.empty()) return {};

  // Every client first gets what its socket takes at once; only the ones
  // that are behind are then waited for, together, each up to the stall
  // limit and its time budget.
  struct Pending {
    std::shared_ptr<Connection> conn;
    std::size_t offset;
    Instant last_progress;
    Instant deadline;
    int held;
  };
  std::vector<Pending> pending;
  std::vector<std::shared_ptr<Connection>> dropped;
  dropped.reserve(targets.size());  // so that a drop never allocates
  const Instant start = Clock::now();
  // However steadily a client reads, it must take what it lacks at the
  // slowest rate a listener serves at least: the send waits for all its
  // clients together, so a client slower than that would set every other
  // client's pace for as long as it stays.
  const auto budget = [&](std::size_t outstanding) {
    return start + stall_limit_ +
           std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(static_cast<double>(outstanding) / static_cast<double>(kSlowestClient)));
  };
  for (auto& conn : targets) {
    const std::size_t behind = conn->unsent.bytes;
    std::size_t offset = 0;
    switch (write_pending(*conn, data, offset, nullptr)) {
      case Progress::Done: break;
      case Progress::Failed: dropped.push_back(std::move(conn)); break;
      case Progress::Pending: {
        const int held = held_for_peer(conn->fd.get());
        const tcp::Unsent& unsent = conn->unsent;
        const bool took_nothing = behind > 0 && unsent.bytes == behind && held >= unsent.held;
        const Instant last_progress = took_nothing ? unsent.last_progress : start;
        pending.push_back({std::move(conn), offset, last_progress, budget(behind + data.size()), held});
        break;
      }
    }
  }

  std::vector<pollfd> polls;
  InterruptibleWait wait;  // looks at close and at the interrupts a slice apart
  bool interrupted = false;
  while (!pending.empty() && !shared_->closed.load(std::memory_order_acquire)) {
    // A client is dropped once it has taken no byte for the whole stall
    // limit, or has not taken what it lacks by its deadline; an interrupt
    // does not spare it.
    const Instant now = Clock::now();
    Instant wake = now + wait.slice();
    std::size_t kept = 0;
    for (auto& p : pending) {
      const Instant stall_end = std::min(p.last_progress + stall_limit_, p.deadline);
      if (now >= stall_end) {
        dropped.push_back(std::move(p.conn));
        continue;
      }
      wake = std::min(wake, stall_end);
      pending[kept++] = std::move(p);
    }
    pending.resize(kept);
    if (pending.empty()) break;
    if (wait.next()) {
      interrupted = true;
      break;
    }
    polls.clear();
    for (const auto& p : pending) polls.push_back({p.conn->fd.get(), POLLOUT, 0});
    if (::poll(polls.data(), polls.size(), poll_millis(wake - now)) < 0) continue;  // a signal
    const Instant after = Clock::now();
    kept = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      Pending& p = pending[i];
      Progress progress = Progress::Pending;
      const std::size_t before = p.conn->unsent.bytes + (data.size() - p.offset);
      if (polls[i].revents != 0) progress = write_pending(*p.conn, data, p.offset, nullptr);
      const int held = held_for_peer(p.conn->fd.get());
      if (p.conn->unsent.bytes + (data.size() - p.offset) != before || held < p.held) p.last_progress = after;
      p.held = held;
      if (progress == Progress::Failed) dropped.push_back(std::move(p.conn));
      if (progress == Progress::Pending) pending[kept++] = std::move(p);
    }
    pending.resize(kept);
  }
  if (interrupted) {
    // The clients that are behind keep their place: what they lack of this
    // packet goes out first on the next send, under the same stall rule.
    std::shared_ptr<const std::vector<std::uint8_t>> copy;
    for (auto& p : pending) {
      if (!keep_rest(*p.conn, data, p.offset, copy)) {
        dropped.push_back(std::move(p.conn));  // its stream would be torn
        continue;
      }
      p.conn->unsent.last_progress = p.last_progress;
      p.conn->unsent.held = p.held;
    }
    pending.clear();
  }
  // Clients left at close, and the ones dropped, never get the rest.
  for (auto& p : pending) dropped.push_back(std::move(p.conn));
  drop_unsent_and_connections(*shared_, dropped);
  if (interrupted) return Error::io_errno(EINTR);
  return {};
}

void Tcp::close() {
  if (shared_->closed.exchange(true, std::memory_order_seq_cst)) return;
  std::vector<std::shared_ptr<Connection>> conns;
  {
    std::lock_guard lock(shared_->conns_mutex);
    conns.swap(shared_->conns);
  }
  for (const auto& c : conns) c->shutdown();
  conns.clear();
  if (listen_) {
    // The accept thread waits for a connection: give it one. Whether it
    // succeeds does not matter (the thread also wakes up by itself).
    (void)connect_with_timeout(local_addr_.reachable(), kWakeTimeout);
  }
  shared_->queue.close();
}

}  // namespace sigtap::transport

namespace sigtap::transport::builtin {

Result<TransportPtr> tcp(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(auto transport, transport::Tcp::open(std::move(endpoint)));
  return TransportPtr(std::move(transport));
}

}  // namespace sigtap::transport::builtin
