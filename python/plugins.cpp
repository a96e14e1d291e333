// PyCodec and PyTransport: Python objects driven as core codecs and transports, each call under the interpreter lock.
#include "python/guard.hpp"
#include "python/plugins.hpp"

#include <memory>
#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/channel.hpp"
#include "core/interrupt.hpp"
#include "core/codec/codec.hpp"
#include "core/thread.hpp"
#include "core/transport/transport.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/message.hpp"
#include "python/ref.hpp"

namespace sigtap::py {
namespace {

// Interned once and kept for the life of the process, like the classes.
PyObject* name_of(const char* text) { return PyUnicode_InternFromString(text); }
PyObject* encode_name() {
  static PyObject* name = name_of("encode");
  return name;
}
PyObject* decode_name() {
  static PyObject* name = name_of("decode");
  return name;
}
PyObject* send_name() {
  static PyObject* name = name_of("send");
  return name;
}
PyObject* recv_name() {
  static PyObject* name = name_of("recv");
  return name;
}
PyObject* close_name() {
  static PyObject* name = name_of("close");
  return name;
}

// What an adaptor returns instead of touching Python once the interpreter
// finalizes, or once its object was let go (its _Channel was collected or
// freed): no packet will come any more, which ends every receive loop.
Error shutting_down() { return Error::closed(); }

// A receive from a Python transport once the interpreter finalizes: the
// transport cannot be asked, and it is not closed either (the script never
// closed it), so it is as quiet as a mem:// bus nobody sends on. The
// receivers left are daemon threads, which the interpreter ends where they
// wait; a worker notices its stop within the wait.
Result<std::optional<Packet>> quiet_at_exit(std::optional<Duration> timeout) {
  std::this_thread::sleep_for(std::min<Clock::duration>(timeout ? timeout->to_clock() : kInterruptSlice, kInterruptSlice));
  return std::optional<Packet>();
}

// The Python object behind an adaptor. The adaptor owns it only until the
// _Channel adopts it (adopt_plugins); from then on it borrows it, and the
// _Channel, which the collector sees, holds it until it forgets the adaptor.
// Every call takes a reference of its own for its duration, so that a
// collection inside the call cannot free the object under it. Read and
// changed only under the interpreter lock.
class PluginObject {
 public:
  explicit PluginObject(Ref obj) : owned_(std::move(obj)), borrowed_(owned_.get()) {}

  Ref adopt() { return std::move(owned_); }
  void forget() noexcept { borrowed_ = nullptr; }
  // A reference for one call; empty once let go.
  Ref hold() const { return Ref::borrow(borrowed_); }

 private:
  Ref owned_;
  PyObject* borrowed_;
};

// The body of a plug-in call as the core expects it: every failure a value.
// What the conversions throw (std::bad_alloc for a large message) becomes
// the error caught_error() gives, which the binding raises as MemoryError; a
// Python error set on the way is dropped with it, so that it does not stay
// set for the next user of the thread state. Runs with the lock held.
template <class Body>
auto plugin_call(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception&) {
    PyErr_Clear();
    return caught_error();
  }
}

// obj.name(arg) as a new reference; nullptr with the exception set.
Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) {
  if (!name) return Ref();
  return Ref::steal(PyObject_CallMethodObjArgs(obj, name, arg, nullptr));
}

// A nameless sigtap.Message holding the packet. New reference or nullptr.
Ref packet_to_py(Packet packet) {
  Message message;
  message.packet = std::move(packet);
  return Ref::steal(message_to_py(std::move(message)));
}

// Calls `each` with every message of a plug-in's result: None (no message),
// one sigtap.Message, or an iterable of them, in order. False with the
// exception set at the first failure (including one of `each`).
template <class Each>
bool for_each_message(PyObject* result, Each&& each) {
  if (result == Py_None) return true;
  if (const Message* message = message_from_py(result)) return each(*message);
  Ref iter = Ref::steal(PyObject_GetIter(result));
  if (!iter) return false;
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref item = Ref::steal(raw);
    const Message* message = message_from_py(item.get());
    if (!message) {
      set_wrong_type(item.get(), "Message");
      return false;
    }
    if (!each(*message)) return false;
  }
  return !PyErr_Occurred();
}


// ---- PyCodec -------------------------------------------------------------------

class PyCodec final : public Codec {
 public:
  explicit PyCodec(Ref obj) : obj_(std::move(obj)) {}

  PluginObject& object() { return obj_; }

  Result<std::vector<Packet>> encode(const Message& message) override {
    EnsureGil gil;
    if (!gil.acquired()) return shutting_down();
    Ref obj = obj_.hold();
    if (!obj) return shutting_down();
    return plugin_call([&]() -> Result<std::vector<Packet>> {
      Ref arg = Ref::steal(message_to_py(message.clone()));
      if (!arg) return capture_python_error();
      Ref result = call_method(obj.get(), encode_name(), arg.get());
      if (!result) return capture_python_error();
      std::vector<Packet> packets;
      bool ok = for_each_message(result.get(), [&packets](const Message& m) {
        auto packet = message_packet(m);
        if (!packet) return false;
        packets.push_back(std::move(*packet));
        return true;
      });
      if (!ok) return capture_python_error();
      return packets;
    });
  }

  Status decode(Packet packet, std::vector<Message>& out) override {
    EnsureGil gil;
    if (!gil.acquired()) return shutting_down();
    Ref obj = obj_.hold();
    if (!obj) return shutting_down();
    return plugin_call([&]() -> Status {
      Ref arg = packet_to_py(std::move(packet));
      if (!arg) return capture_python_error();
      // The argument is immutable and ours: its packet stands in for the one
      // moved into it.
      const Packet& received = *message_from_py(arg.get())->packet;
      Ref result = call_method(obj.get(), decode_name(), arg.get());
      if (!result) return capture_python_error();
      bool ok = for_each_message(result.get(), [&out, &received](const Message& m) {
        Message& copy = out.emplace_back(m.clone());
        // A decoded message without a packet of its own was made from this one.
        if (!copy.packet) copy.packet = received;
        return true;
      });
      if (!ok) return capture_python_error();
      return {};
    });
  }

 private:
  PluginObject obj_;
};

// ---- PyTransport ---------------------------------------------------------------

class PyTransport final : public Transport {
 public:
  explicit PyTransport(Ref obj) : obj_(std::move(obj)) {}

  PluginObject& object() { return obj_; }

  Status send(const Packet& packet) override {
    EnsureGil gil;
    if (!gil.acquired()) return shutting_down();
    Ref obj = obj_.hold();
    if (!obj) return shutting_down();
    return plugin_call([&]() -> Status {
      Ref arg = packet_to_py(packet);
      if (!arg) return capture_python_error();
      Ref result = call_method(obj.get(), send_name(), arg.get());
      if (!result) return capture_python_error();
      return {};
    });
  }

  Result<std::optional<Packet>> recv(std::optional<Duration> timeout) override {
    EnsureGil gil;
    if (!gil.acquired()) return quiet_at_exit(timeout);
    Ref obj = obj_.hold();
    if (!obj) return shutting_down();
    return plugin_call([&]() -> Result<std::optional<Packet>> {
      Ref arg = timeout ? Ref::steal(PyFloat_FromDouble(timeout->as_secs_f64())) : Ref::borrow(Py_None);
      if (!arg) return capture_python_error();
      Ref result = call_method(obj.get(), recv_name(), arg.get());
      if (!result) return capture_python_error();
      if (result.get() == Py_None) return std::optional<Packet>();
      const Message* message = message_from_py(result.get());
      if (!message) {
        set_wrong_type(result.get(), "Message");
        return capture_python_error();
      }
      auto packet = message_packet(*message);
      if (!packet) return capture_python_error();
      return std::optional<Packet>(std::move(*packet));
    });
  }

  // Never fails: a missing close is fine, a failing one is reported as
  // unraisable, and the channel counts as closed either way.
  void close() override {
    EnsureGil gil;
    if (!gil.acquired()) return;
    Ref obj = obj_.hold();
    if (!obj) return;
    Ref method = Ref::steal(PyObject_GetAttr(obj.get(), close_name()));
    if (!method) {
      PyErr_Clear();  // no close (AttributeError), or a failing look-up: nothing to do
      return;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!result) PyErr_WriteUnraisable(obj.get());
  }

 private:
  PluginObject obj_;
};


// ---- factories -----------------------------------------------------------------

// The script's factory, shared by the copies of the registry entry. The last
// copy may go on a thread without the lock; the release is then queued.
using FactoryRef = std::shared_ptr<const Ref>;

// factory(first, options) as a new reference; nullptr with the exception set.
Ref call_factory(const FactoryRef& factory, Ref first, const Options& options) {
  if (!first) return Ref();
  Ref dict = Ref::steal(options_to_py(options));
  if (!dict) return Ref();
  return Ref::steal(PyObject_CallFunctionObjArgs(factory->get(), first.get(), dict.get(), nullptr));
}

Result<CodecPtr> open_codec(const FactoryRef& factory, CodecSpec spec) {
  EnsureGil gil;
  if (!gil.acquired()) return shutting_down();
  return plugin_call([&]() -> Result<CodecPtr> {
    Ref argument = spec.argument ? Ref::steal(text_to_py(*spec.argument)) : Ref::borrow(Py_None);
    Ref codec = call_factory(factory, std::move(argument), spec.options);
    if (!codec) return capture_python_error();
    return CodecPtr(std::make_unique<PyCodec>(std::move(codec)));
  });
}

Result<TransportPtr> open_transport(const FactoryRef& factory, Endpoint endpoint) {
  EnsureGil gil;
  if (!gil.acquired()) return shutting_down();
  return plugin_call([&]() -> Result<TransportPtr> {
    Ref transport = call_factory(factory, Ref::steal(text_to_py(endpoint.address)), endpoint.options);
    if (!transport) return capture_python_error();
    return TransportPtr(std::make_shared<PyTransport>(std::move(transport)));
  });
}

// ---- module functions ------------------------------------------------------------

constexpr Param kRegisterTransportParams[] = {{"scheme", true}, {"factory", true}};
constexpr Signature kRegisterTransportSignature{"register_transport", kRegisterTransportParams};

PyObject* register_transport(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[2];
  if (!parse_fastcall(kRegisterTransportSignature, args, nargs, kwnames, arg)) return nullptr;
  auto scheme = text_param(arg[0], "scheme");
  if (!scheme) return nullptr;
  // Not checked for being callable: a bad factory fails when a channel opens.
  FactoryRef factory = std::make_shared<const Ref>(Ref::borrow(arg[1]));
  transport::register_factory(*scheme, [factory](Endpoint endpoint) {
    return open_transport(factory, std::move(endpoint));
  });
  Py_RETURN_NONE;
}

constexpr Param kRegisterCodecParams[] = {{"name", true}, {"factory", true}};
constexpr Signature kRegisterCodecSignature{"register_codec", kRegisterCodecParams};

PyObject* register_codec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[2];
  if (!parse_fastcall(kRegisterCodecSignature, args, nargs, kwnames, arg)) return nullptr;
  auto name = text_param(arg[0], "name");
  if (!name) return nullptr;
  FactoryRef factory = std::make_shared<const Ref>(Ref::borrow(arg[1]));
  codec::register_factory(*name, [factory](CodecSpec spec) { return open_codec(factory, std::move(spec)); });
  Py_RETURN_NONE;
}

PyMethodDef plugin_defs[] = {
    {"register_transport", method<register_transport>(), METH_FASTCALL | METH_KEYWORDS,
     "register_transport(scheme, factory)\n--\n\n"
     "Register a transport for a URL scheme. `factory(address, options)`\n"
     "gets the part of the URL after `scheme://` (without the query) and the\n"
     "query as a dict, and returns an object with `send(message)`,\n"
     "`recv(timeout) -> Message | None` and optionally `close()`. Packets are\n"
     "nameless `Message`s (`data`, and `id` for CAN)."},
    {"register_codec", method<register_codec>(), METH_FASTCALL | METH_KEYWORDS,
     "register_codec(name, factory)\n--\n\n"
     "Register a codec. `factory(argument, options)` gets the text after\n"
     "`name:` in the codec spec (or None) and the keyword arguments of\n"
     "`open()`, and returns an object with `encode(message) -> list[Message]`\n"
     "(nameless messages carrying the packets) and\n"
     "`decode(packet) -> list[Message]`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* plugin_functions() { return plugin_defs; }

bool has_python_codec(const Inner& inner) { return inner.codec_as<PyCodec>() != nullptr; }

PluginObjects adopt_plugins(const Channel& channel) {
  PluginObjects objects;
  if (PyCodec* codec = channel.inner()->codec_as<PyCodec>()) objects.codec = codec->object().adopt();
  if (PyTransport* transport = channel.inner()->transport_as<PyTransport>()) {
    objects.transport = transport->object().adopt();
  }
  return objects;
}

void forget_plugins(const Channel& channel) noexcept {
  if (PyCodec* codec = channel.inner()->codec_as<PyCodec>()) codec->object().forget();
  if (PyTransport* transport = channel.inner()->transport_as<PyTransport>()) transport->object().forget();
}

}  // namespace sigtap::py
