// The file:// transport: replay in 64 KiB chunks, follow a growing file, record sent data.
#include "core/transport/file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <thread>

#include "core/interrupt.hpp"
#include "core/transport/builtin.hpp"
#include "core/path_error.hpp"

namespace sigtap::transport {
namespace {

// The wait of one slice: the time left to the deadline, at most one slice.
Clock::duration slice_until(const std::optional<Instant>& deadline) {
  Clock::duration slice = FileTransport::kSlice;
  if (deadline) slice = std::min(slice, remaining(*deadline).to_clock());
  return slice;
}

// poll() takes whole milliseconds: round up so a short wait still waits
// instead of spinning through zero-length polls until the deadline.
int poll_millis(Clock::duration d) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

// True when the descriptor is ready (or in error, which the next call reports).
// An interrupted poll counts as a slice without news.
bool wait_ready(int fd, short events, Clock::duration slice) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, poll_millis(slice)) > 0;
}

bool is_fifo(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Opens without ever blocking in the system: a FIFO opened for reading then
// does not wait for a writer (the receives wait for data in slices), and one
// opened for writing fails with ENXIO while nobody reads it, which is retried
// here in slices so that the caller can give up (Ctrl-C). Pipes, FIFOs and
// terminals keep the non-blocking flag for their waits in slices.
Result<Fd> open_waiting(const std::string& path, int flags) {
  std::optional<Result<Fd>> opened;
  const WaitEnd end = wait_interruptibly(std::nullopt, Interrupts::kAll, [&](Clock::duration slice) {
    int raw = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    if (raw < 0 && errno == EINTR) return false;
    if (raw >= 0) {
      opened.emplace(Fd(raw));
      return true;
    }
    int err = errno;
    if (err != ENXIO || (flags & O_ACCMODE) != O_WRONLY || !is_fifo(path)) {
      opened.emplace(path_error(path, Error::io_errno(err)));
      return true;
    }
    std::this_thread::sleep_for(slice);
    return false;
  });
  if (end != WaitEnd::kReady) return Error::io_errno(EINTR);
  return std::move(*opened);
}

bool passed(const std::optional<Instant>& deadline) { return deadline && Clock::now() >= *deadline; }

}  // namespace

Result<std::shared_ptr<FileTransport>> FileTransport::open(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(bool write, endpoint.options.take_bool("write", false));
  SIGTAP_ASSIGN_OR_RETURN(bool append, endpoint.options.take_bool("append", false));
  SIGTAP_ASSIGN_OR_RETURN(bool follow, endpoint.options.take_bool("follow", false));
  SIGTAP_TRY(endpoint.options.finish("file://"));

  const std::string& path = endpoint.address;
  SIGTAP_TRY(check_path(path));
  bool writing = write || append;
  int flags = O_CLOEXEC;
  if (writing) {
    flags |= O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  } else {
    flags |= O_RDONLY;
  }
  SIGTAP_ASSIGN_OR_RETURN(Fd fd, open_waiting(path, flags));

  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return path_error(path, Error::io_errno(errno));
  bool waitable = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode);
  if (!waitable) {
    // A regular file never blocks: its descriptor is left as the system
    // makes it, without the flag the open used.
    int fl = fcntl(fd.get(), F_GETFL);
    if (fl < 0 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return path_error(path, Error::io_errno(errno));
  }
  Mode mode = writing ? Mode::Write : (follow ? Mode::Follow : Mode::Read);
  return std::make_shared<FileTransport>(std::move(fd), mode, waitable);
}

FileTransport::FileTransport(Fd fd, Mode mode, bool waitable) : fd_(std::move(fd)), mode_(mode), waitable_(waitable) {}

Result<std::optional<Packet>> FileTransport::recv(std::optional<Duration> timeout) {
  auto deadline = deadline_for(timeout);
  if (closed()) return Error::closed();
  for (;;) {
    // Whether this round already waited its slice (in poll, for a descriptor
    // that may block) and needs no sleep before looking at close again.
    bool waited = false;
    if (mode_ != Mode::Write) {
      bool ready = true;
      if (waitable_) {
        ready = wait_ready(fd_.get(), POLLIN, slice_until(deadline));
        waited = !ready;
      }
      if (ready) {
        // Into lent storage when there is some, so that the bytes land
        // where the caller hands them out; else into a new buffer, never
        // cleared, since the read overwrites it.
        LentStorage lent = lend_read_storage();
        Bytes own;
        if (!lent) own.resize_for_overwrite(kChunk);
        std::uint8_t* into = lent ? lent.data() : own.data();
        ssize_t n;
        int err = 0;
        {
          std::lock_guard lock(file_mutex_);
          do {
            n = ::read(fd_.get(), into, kChunk);
          } while (n < 0 && errno == EINTR);
          if (n < 0) err = errno;
        }
        if (n > 0) {
          const auto size = static_cast<std::size_t>(n);
          Packet packet;
          if (lent && size >= kChunk / 4) {
            packet.data = lent.filled(size);
          } else {
            // A small chunk would otherwise pin a whole 64 KiB buffer for
            // as long as the caller keeps the packet: it gets storage of
            // its own, and lent storage goes back at once.
            if (lent) {
              own.reserve(size);
              own.append(into, size);
            } else {
              own.resize(size);
              if (size < kChunk / 4) own.shrink_to_fit();
            }
            packet.data = std::move(own);
          }
          packet.timestamp = wall_clock_timestamp();
          return std::optional<Packet>(std::move(packet));
        }
        if (n < 0 && err != EAGAIN) return Error::io_errno(err);
        if (n == 0 && mode_ == Mode::Read) return Error::closed();
        // Nothing to read although poll said so (another receiver took it):
        // the slice counts as waited.
        if (n < 0) waited = true;
      }
    }
    if (passed(deadline)) return std::optional<Packet>{};
    if (!waited) std::this_thread::sleep_for(slice_until(deadline));
    if (closed()) return Error::closed();
  }
}

Status FileTransport::write_all(const std::uint8_t* data, std::size_t size) {
  std::lock_guard lock(file_mutex_);
  while (size > 0) {
    std::size_t chunk = std::min<std::size_t>(size, INT_MAX);
    ssize_t n = ::write(fd_.get(), data, chunk);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN && waitable_) {
        // A pipe nobody drains: wait in slices so close still gets through.
        wait_ready(fd_.get(), POLLOUT, kSlice);
        if (closed()) return Error::closed();
        continue;
      }
      return Error::io_errno(err);
    }
    if (n == 0) return Error::io(IoKind::WriteZero, "failed to write whole buffer");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status FileTransport::send(const Packet& packet) {
  if (closed()) return Error::closed();
  if (mode_ != Mode::Write) {
    return Error::config("this file:// channel reads; open it with ?write or ?append to record");
  }
  return write_all(packet.data.data(), packet.data.size());
}

void FileTransport::close() {
  closed_.store(true, std::memory_order_seq_cst);
  // Returns only after a read or write in progress has finished.
  std::lock_guard lock(file_mutex_);
}

}  // namespace sigtap::transport

namespace sigtap::transport::builtin {

Result<TransportPtr> file(Endpoint endpoint) {
  SIGTAP_ASSIGN_OR_RETURN(auto transport, FileTransport::open(std::move(endpoint)));
  return TransportPtr(std::move(transport));
}

}  // namespace sigtap::transport::builtin
