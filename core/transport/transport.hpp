// The transport interface and the process-wide transport registry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/duration.hpp"
#include "core/endpoint.hpp"
#include "core/message.hpp"
#include "core/result.hpp"

namespace sigtap {

/// Moves raw packets. Shared between threads (send, recv and close may run at
/// once), so every implementation synchronises itself.
class Transport {
 public:
  virtual ~Transport() = default;
  /// Sends one packet.
  virtual Status send(const Packet& packet) = 0;
  /// Waits at most `timeout` (no limit when absent) for a packet; nothing when
  /// the time passed; Error::Closed once no packet will come any more.
  virtual Result<std::optional<Packet>> recv(std::optional<Duration> timeout) = 0;
  /// A packet that is already waiting, or nothing (also when one would have
  /// to be waited for, read from the system, or after close: recv() tells
  /// those apart). Never waits, never reads the clock, never runs foreign
  /// code: the channel calls it under its codec lock, possibly while the
  /// caller holds the interpreter lock. The default has nothing waiting.
  virtual std::optional<Packet> try_recv() { return std::nullopt; }
  /// try_recv() for a run: the oldest waiting packet, with up to `more` of
  /// the next appended to `rest`, with try_recv()'s promises. A receiver
  /// that takes several at a time competes with the senders for a queue once
  /// per run instead of once per packet. The default takes one.
  virtual std::optional<Packet> try_recv_many(std::vector<Packet>& rest, std::size_t more) {
    (void)rest, (void)more;
    return try_recv();
  }
  /// True when send() never waits (no system call that may block, no
  /// foreign code): the binding then sends without releasing the
  /// interpreter lock.
  virtual bool sends_without_waiting() const { return false; }
  /// True when recv() reads into storage that the read lender of the
  /// calling thread lends (transport::lend_read_storage), when it has some:
  /// the received packet's bytes are then that storage, as LentBytes.
  virtual bool reads_into_lent_storage() const { return false; }
  /// Idempotent, never fails, callable from any thread; makes blocked
  /// receivers return.
  virtual void close() = 0;
};

using TransportPtr = std::shared_ptr<Transport>;

/// Storage lent for one read: `capacity` writable bytes that nobody else has
/// seen. Given back through `release(context)` when dropped, unless filled()
/// handed it on; move-only.
class LentStorage {
 public:
  LentStorage() = default;
  LentStorage(std::uint8_t* data, std::size_t capacity, void (*release)(void*), void* context) noexcept
      : data_(data), capacity_(capacity), release_(release), context_(context) {}
  LentStorage(LentStorage&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        capacity_(other.capacity_),
        release_(other.release_),
        context_(other.context_) {}
  LentStorage& operator=(LentStorage&&) = delete;
  ~LentStorage() {
    if (data_) release_(context_);
  }

  explicit operator bool() const noexcept { return data_ != nullptr; }
  std::uint8_t* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }
  /// The first `size` bytes (written by the read) as read-only LentBytes,
  /// which give the storage back from here on; this is left empty.
  LentBytes filled(std::size_t size) noexcept {
    return LentBytes(std::exchange(data_, nullptr), size, release_, context_);
  }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
  void (*release_)(void*) = nullptr;
  void* context_ = nullptr;
};
/// Builds a transport from a parsed URL; consumes the endpoint's options.
using TransportFactory = std::function<Result<TransportPtr>(Endpoint)>;

namespace transport {

/// The size of one read of the stream transports, and of lent storage.
inline constexpr std::size_t kReadChunk = 65536;
/// Lends storage of kReadChunk bytes for one read on the calling thread, or
/// nothing when it has none to lend. Runs without any lock of the core held
/// and must not wait.
using ReadLender = LentStorage (*)();

namespace detail {
inline std::atomic<ReadLender> read_lender{nullptr};
}  // namespace detail

/// Installs the lender that lend_read_storage() asks; once, before any read.
inline void set_read_lender(ReadLender lender) { detail::read_lender.store(lender, std::memory_order_release); }
/// Storage from the installed lender for one read on this thread; empty when
/// there is no lender or it has nothing for this thread.
inline LentStorage lend_read_storage() {
  const ReadLender lender = detail::read_lender.load(std::memory_order_acquire);
  return lender ? lender() : LentStorage();
}

/// Parses the URL and calls the factory registered for its scheme (outside
/// the registry lock).
Result<TransportPtr> open(std::string_view url);
/// Registered schemes, sorted.
std::vector<std::string> schemes();
/// Adds or replaces the factory for a scheme (lower-cased in ASCII).
void register_factory(std::string_view scheme, TransportFactory factory);

}  // namespace transport
}  // namespace sigtap
