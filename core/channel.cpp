// Channels: receive (decode in arrival order, keep the surplus), send, close.
#include "core/channel.hpp"

#include <utility>

namespace sigtap {
namespace {

// Records which thread holds a channel's codec lock, so that code running
// inside an encode or decode (a Python codec) can tell it must not join a
// worker that may be waiting for the same lock.
class CodecGuard {
 public:
  CodecGuard(std::mutex& m, std::atomic<std::thread::id>& owner) : lock_(m), owner_(owner) {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  ~CodecGuard() { owner_.store(std::thread::id{}, std::memory_order_relaxed); }
  CodecGuard(const CodecGuard&) = delete;
  CodecGuard& operator=(const CodecGuard&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  std::atomic<std::thread::id>& owner_;
};

}  // namespace

Inner::Inner(TransportPtr transport, CodecPtr codec) : transport_(std::move(transport)), codec_(std::move(codec)) {}

bool Inner::codec_held_by_current_thread() const {
  return codec_owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

Result<std::vector<Packet>> Inner::encode(const Message& message) {
  // A codec that sends a named message on its own channel (a Python codec)
  // would wait for itself: the lock is not recursive.
  if (codec_held_by_current_thread()) return Error::config("the codec of this channel is in use by this thread");
  CodecGuard guard(codec_mutex_, codec_owner_);
  return codec_->encode(message);
}

Status Inner::decode(Packet packet) {
  decoded_.clear();
  CodecGuard guard(codec_mutex_, codec_owner_);
  Status st = codec_->decode(std::move(packet), decoded_);
  if (!st.ok()) decoded_.clear();
  return st;
}

Status Inner::send(const Message& message) {
  if (closed()) return Error::closed();
  if (!message.name) {
    if (!message.packet) return Error::encode("a message needs a name or data");
    // A nameless message is its packet: the codec is not involved.
    return transport_->send(*message.packet);
  }
  SIGTAP_ASSIGN_OR_RETURN(std::vector<Packet> packets, encode(message));
  for (const Packet& p : packets) SIGTAP_TRY(transport_->send(p));
  return {};
}

Result<Channel> Channel::open(std::string_view url, std::string_view codec_spec, Options options) {
  SIGTAP_ASSIGN_OR_RETURN(CodecPtr codec, codec::open(codec_spec, std::move(options)));
  SIGTAP_ASSIGN_OR_RETURN(TransportPtr transport, transport::open(url));
  return Channel(std::make_shared<Inner>(std::move(transport), std::move(codec)));
}

Result<std::optional<Message>> Channel::recv(std::optional<Duration> timeout) {
  Inner& in = *inner_;
  if (in.closed()) return Error::closed();
  auto take_pending = [&in]() -> std::optional<Message> {
    std::lock_guard lock(in.pending_mutex_);
    if (in.pending_.empty()) return std::nullopt;
    Message m = std::move(in.pending_.front());
    in.pending_.pop_front();
    return m;
  };
  if (auto m = take_pending()) return m;

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
  if (auto m = take_pending()) return m;

  for (;;) {
    std::optional<Duration> left;
    if (deadline) left = remaining(*deadline);
    SIGTAP_ASSIGN_OR_RETURN(std::optional<Packet> packet, in.transport_->recv(left));
    if (!packet) return std::optional<Message>{};
    SIGTAP_TRY(in.decode(std::move(*packet)));
    std::vector<Message>& messages = in.decoded_;
    if (!messages.empty()) {
      if (messages.size() > 1) {
        std::lock_guard lock(in.pending_mutex_);
        for (std::size_t i = 1; i < messages.size(); ++i) in.pending_.push_back(std::move(messages[i]));
      }
      std::optional<Message> first(std::move(messages.front()));
      messages.clear();
      return first;
    }
    if (deadline && Clock::now() >= *deadline) return std::optional<Message>{};
    if (in.closed()) return Error::closed();
  }
}

void Channel::close() {
  if (!inner_->closed_.exchange(true, std::memory_order_acq_rel)) inner_->transport_->close();
}

}  // namespace sigtap
