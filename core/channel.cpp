// Channels: receive (decode in arrival order, keep the surplus), send, close.
#include "core/channel.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "core/interrupt.hpp"

namespace sigtap {
namespace {

// Records which thread holds a channel's codec lock, so that code running
// inside an encode or decode (a Python codec) can tell it must not join a
// worker that may be waiting for the same lock.
class CodecGuard {
 public:
  // Only tries the lock: owns() tells whether it was free.
  CodecGuard(std::timed_mutex& m, std::atomic<std::thread::id>& owner, std::try_to_lock_t)
      : lock_(m, std::try_to_lock), owner_(owner) {
    if (owns()) note_owner();
  }
  // Waits for the lock in interruptible slices (interrupt.hpp); gives up
  // (owns() is false) once `deadline` passes or when an interrupt asks to
  // (interrupted() is then true).
  CodecGuard(std::timed_mutex& m, std::atomic<std::thread::id>& owner, std::optional<Instant> deadline)
      : lock_(m, std::try_to_lock), owner_(owner) {
    if (!owns()) {
      const WaitEnd end = wait_interruptibly(deadline, Interrupts::kAll, [this](Clock::duration slice) {
        // The timed lock waits on the wall clock (the waits that sanitizers
        // see); a slice is short, so a clock step only stretches one slice.
        return lock_.try_lock_until(std::chrono::system_clock::now() + slice);
      });
      if (end != WaitEnd::kReady) {
        interrupted_ = end == WaitEnd::kInterrupted;
        return;
      }
    }
    note_owner();
  }
  ~CodecGuard() {
    if (owns()) owner_.store(std::thread::id{}, std::memory_order_relaxed);
  }
  CodecGuard(const CodecGuard&) = delete;
  CodecGuard& operator=(const CodecGuard&) = delete;

  bool owns() const { return lock_.owns_lock(); }
  bool interrupted() const { return interrupted_; }

 private:
  void note_owner() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }

  std::unique_lock<std::timed_mutex> lock_;
  std::atomic<std::thread::id>& owner_;
  bool interrupted_ = false;
};

}  // namespace

Inner::Inner(TransportPtr transport, CodecPtr codec) : transport_(std::move(transport)), codec_(std::move(codec)) {}

bool Inner::codec_held_by_current_thread() const {
  return codec_owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

Error Inner::codec_in_use() { return Error::config("the codec of this channel is in use by this thread"); }

Result<std::vector<Packet>> Inner::encode(const Message& message) {
  // A codec that sends a named message on its own channel (a Python codec)
  // would wait for itself: the lock is not recursive.
  if (codec_held_by_current_thread()) return codec_in_use();
  CodecGuard guard(codec_mutex_, codec_owner_, std::nullopt);
  if (!guard.owns()) return Error::io_errno(EINTR);
  return codec_->encode(message);
}

std::optional<Status> Inner::decode(Packet packet, std::optional<Instant> deadline) {
  decoded_.clear();
  CodecGuard guard(codec_mutex_, codec_owner_, deadline);
  if (!guard.owns()) {
    put_back(std::move(packet));
    if (guard.interrupted()) return Status(Error::io_errno(EINTR));
    return std::nullopt;
  }
  Status st = codec_->decode(std::move(packet), decoded_);
  if (!st.ok()) decoded_.clear();
  return st;
}

bool Inner::take_pending(Message& out) {
  std::lock_guard lock(pending_mutex_);
  if (pending_next_ == pending_.size()) return false;
  out = std::move(pending_[pending_next_++]);
  if (pending_next_ == pending_.size()) {
    pending_.clear();
    pending_next_ = 0;
  }
  return true;
}

std::optional<Packet> Inner::take_ready() {
  if (ready_next_ == ready_.size()) return std::nullopt;
  return std::move(ready_[ready_next_++]);
}

void Inner::put_back(Packet packet) {
  if (ready_next_ > 0) {
    ready_[--ready_next_] = std::move(packet);
  } else {
    ready_.insert(ready_.begin(), std::move(packet));
  }
}

std::optional<Packet> Inner::next_ready() {
  if (std::optional<Packet> left = take_ready()) return left;
  ready_.clear();
  ready_next_ = 0;
  return transport_->try_recv_many(ready_, kRun - 1);
}

bool Inner::first_decoded(Message& out) {
  if (decoded_.empty()) return false;
  out = std::move(decoded_.front());
  if (decoded_.size() > 1) {
    std::lock_guard lock(pending_mutex_);
    if (pending_next_ == pending_.size()) {
      // Nothing left pending (the usual case): the surplus becomes the list.
      pending_.swap(decoded_);
      pending_next_ = 1;
    } else {
      for (std::size_t i = 1; i < decoded_.size(); ++i) pending_.push_back(std::move(decoded_[i]));
    }
  }
  decoded_.clear();
  return true;
}

Status Inner::send_nameless(const Message& message) {
  if (!message.packet) return Error::encode("a message needs a name or data");
  // A nameless message is its packet: the codec is not involved.
  return transport_->send(*message.packet);
}

Status Inner::send_all(const std::vector<Packet>& packets) {
  for (const Packet& p : packets) SIGTAP_TRY(transport_->send(p));
  return {};
}

Status Inner::send(const Message& message) {
  if (closed()) return Error::closed();
  if (!message.name) return send_nameless(message);
  SIGTAP_ASSIGN_OR_RETURN(std::vector<Packet> packets, encode(message));
  return send_all(packets);
}

std::optional<Status> Inner::try_send(const Message& message) {
  if (!transport_->sends_without_waiting()) return std::nullopt;
  if (closed()) return Status(Error::closed());
  if (!message.name) return send_nameless(message);
  std::optional<Result<std::vector<Packet>>> packets;
  {
    CodecGuard guard(codec_mutex_, codec_owner_, std::try_to_lock);
    if (!guard.owns()) return std::nullopt;
    packets.emplace(codec_->encode(message));
  }
  if (!packets->ok()) return Status(std::move(*packets).error());
  return send_all(packets->value());
}

Result<Channel> Channel::open(std::string_view url, std::string_view codec_spec, Options options) {
  SIGTAP_ASSIGN_OR_RETURN(CodecPtr codec, codec::open(codec_spec, std::move(options)));
  SIGTAP_ASSIGN_OR_RETURN(TransportPtr transport, transport::open(url));
  return Channel(std::make_shared<Inner>(std::move(transport), std::move(codec)));
}

Result<std::optional<Message>> Channel::try_recv() {
  std::optional<Message> message(std::in_place);
  SIGTAP_ASSIGN_OR_RETURN(const bool got, try_recv(*message));
  if (!got) message.reset();
  return message;
}

Result<bool> Channel::try_recv(Message& out) {
  Inner& in = *inner_;
  if (in.closed()) return Error::closed();
  // From inside this channel's own codec the decode would wait for itself
  // (and the receive lock may be this thread's too).
  if (in.codec_held_by_current_thread()) return Inner::codec_in_use();
  if (in.take_pending(out)) return true;
  std::unique_lock recv_lock(in.recv_mutex_, std::try_to_lock);
  if (!recv_lock.owns_lock()) return false;
  if (in.take_pending(out)) return true;
  // The codec lock is taken before the packet: once a packet is out of the
  // transport it must be decoded, and that must not wait. The transport's
  // try_recv runs under it, which is why it may neither wait nor call out.
  CodecGuard guard(in.codec_mutex_, in.codec_owner_, std::try_to_lock);
  if (!guard.owns()) return false;
  std::optional<Packet> packet = in.next_ready();
  if (!packet) return false;
  in.decoded_.clear();
  Status st = in.codec_->decode(std::move(*packet), in.decoded_);
  if (!st.ok()) {
    in.decoded_.clear();
    return std::move(st).error();
  }
  // A packet that decoded to nothing leaves nothing ready: recv() goes on.
  return in.first_decoded(out);
}

Result<std::optional<Message>> Channel::recv(std::optional<Duration> timeout) {
  Inner& in = *inner_;
  // What is ready costs no clock reading and no wait.
  Result<std::optional<Message>> ready = try_recv();
  if (!ready.ok() || ready->has_value()) return ready;
  // try_recv() also refused a receive from inside this channel's own codec.

  std::optional<Instant> deadline;
  if (timeout) deadline = deadline_after(*timeout);  // unrepresentable: no deadline
  if (in.closed()) return Error::closed();

  // One receiver at a time goes from the transport through the decode, so a
  // stream codec sees its chunks in order. The wait for that lock is bounded
  // by the receive's own deadline.
  std::unique_lock recv_lock(in.recv_mutex_, std::defer_lock);
  if (deadline) {
    if (!recv_lock.try_lock_until(*deadline)) return std::optional<Message>{};
  } else {
    recv_lock.lock();
  }
  // Another receiver may have left a surplus while this one waited.
  Message message;
  if (in.take_pending(message)) return std::optional<Message>(std::move(message));

  for (;;) {
    std::optional<Duration> left;
    if (deadline) left = remaining(*deadline);
    // What an earlier run left comes first (try_recv stops short of it when
    // the codec is busy).
    std::optional<Packet> packet = in.take_ready();
    if (!packet) {
      SIGTAP_ASSIGN_OR_RETURN(packet, in.transport_->recv(left));
      if (!packet) return std::optional<Message>{};
    }
    // A codec kept busy by another thread past the deadline (or a wait the
    // interrupt check ended) leaves the packet first in line.
    std::optional<Status> decoded = in.decode(std::move(*packet), deadline);
    if (!decoded) return std::optional<Message>{};
    SIGTAP_TRY(std::move(*decoded));
    if (in.first_decoded(message)) return std::optional<Message>(std::move(message));
    if (deadline && Clock::now() >= *deadline) return std::optional<Message>{};
    if (in.closed()) return Error::closed();
  }
}

void Inner::fork_prepare() { pending_mutex_.lock(); }

void Inner::fork_parent() { pending_mutex_.unlock(); }

void Inner::fork_child() {
  pending_mutex_.unlock();
  if (recv_mutex_.rebuild_in_child()) {
    // Between receives it holds nothing: each decode starts by clearing it.
    // What the vanished receiver left may be half-written, so it is left
    // alone (its storage is not freed) rather than cleared.
    std::construct_at(&decoded_);
  }
  if (codec_owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
    // Held by a thread that is not there, or free: either way free now.
    rebuild_in_child(codec_mutex_);
    codec_owner_.store(std::thread::id{}, std::memory_order_relaxed);
  }
}

void Channel::close() {
  if (!inner_->closed_.exchange(true, std::memory_order_acq_rel)) inner_->transport_->close();
}

}  // namespace sigtap
