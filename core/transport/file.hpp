// FileTransport: file:// records sent packets into a file and replays a file as packets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/fd.hpp"
#include "core/transport/transport.hpp"

namespace sigtap::transport {

/// A recording is the bare concatenation of the sent packets' data (no
/// header, no framing), so a replay returns chunks of up to 64 KiB, not the
/// recorded packets. Regular files never block; pipes, FIFOs and terminals
/// are waited on in slices so that close is noticed within one slice.
class FileTransport final : public Transport {
 public:
  enum class Mode { Read, Follow, Write };

  /// Largest chunk one receive returns.
  static constexpr std::size_t kChunk = kReadChunk;
  /// How often a follower looks for growth and a waiter for close.
  static constexpr auto kSlice = std::chrono::milliseconds(50);

  /// The "file" factory: the address is the path; options write, append,
  /// follow. Open errors are Io errors "PATH: <system text>" with the
  /// system's kind. Opening a FIFO for writing waits, in slices, until a
  /// reader opens it; the thread's interrupt check (interrupt.hpp) ends the
  /// wait with an Interrupted Io error. One opened for reading returns at once.
  static Result<std::shared_ptr<FileTransport>> open(Endpoint endpoint);

  FileTransport(Fd fd, Mode mode, bool waitable);

  /// Write mode: writes the whole data (nothing for an empty packet). Other
  /// modes: Config error. Error::Closed after close.
  Status send(const Packet& packet) override;
  /// The next chunk; Error::Closed at the end of a file read without follow
  /// (every later receive too) and after close.
  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override;
  /// Returns once a read or write in progress has finished; the file itself
  /// stays open until the transport is dropped.
  void close() override;
  /// A replay reads into lent storage (see Transport).
  bool reads_into_lent_storage() const override { return mode_ != Mode::Write; }

  Mode mode() const { return mode_; }

 private:
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  Status write_all(const std::uint8_t* data, std::size_t size);

  std::mutex file_mutex_;  // held for every read and write system call
  Fd fd_;
  std::atomic<bool> closed_{false};
  const Mode mode_;
  // The descriptor may block (pipe, FIFO, terminal): it is non-blocking and
  // waited on with poll() in slices instead.
  const bool waitable_;
};

}  // namespace sigtap::transport
