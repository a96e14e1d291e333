// _Channel and _open: argument conversion, the lock released around every core call that waits, 50 ms receive slices.
#include "python/channel.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "core/channel.hpp"
#include "core/periodic.hpp"
#include "core/subscription.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/interrupt.hpp"
#include "python/message.hpp"
#include "python/periodic.hpp"
#include "python/plugins.hpp"
#include "python/read_buffers.hpp"
#include "python/ref.hpp"
#include "python/subscription.hpp"

namespace sigtap::py {
namespace {

// The longest a receive runs with the lock released: Ctrl-C and the other
// Python threads wait at most this long.
constexpr Duration kSlice = Duration::from_millis(50);

struct ChannelObject {
  PyObject_HEAD
  PyObject* weakrefs;
  // The Python objects behind the channel's plug-ins (nullptr for a built-in
  // codec or transport). Owned here, and shown to the collector every time:
  // the adaptors on every thread reach them through this object, which the
  // handles of the channel's senders and subscriptions keep (see
  // adopt_plugins).
  PyObject* codec_object;
  PyObject* transport_object;
  std::string url;
  std::string codec;
  Channel channel;
  // The codec is built in (not a Python plug-in): sends and receives that
  // cannot wait may run with the interpreter lock held (see "The lock").
  bool native_codec;
  // Its reads go into lent bytes objects (a file:// replay through the raw
  // codec), which become the messages' `.data` without a copy.
  bool lends_read_buffers;
};

ChannelObject* object(PyObject* self) { return reinterpret_cast<ChannelObject*>(self); }
Channel& channel_of(PyObject* self) { return object(self)->channel; }

// The core's texts are byte strings: a NUL would cut a path or a name short
// where it reaches the system, so it is refused here, as the interpreter
// refuses it in its own path and name arguments.
bool refuse_nul(const std::string& text, const char* what) {
  if (text.find('\0') == std::string::npos) return true;
  PyErr_Format(PyExc_ValueError, "embedded null character in %s", what);
  return false;
}

std::optional<std::string> text_arg(PyObject* arg, const char* name) {
  auto text = text_param(arg, name);
  if (text && !refuse_nul(*text, name)) {
    add_argument_note(name);
    return std::nullopt;
  }
  return text;
}

// The keyword options of _open, in the order given (the map sorts them).
std::optional<Options> options_arg(PyObject* kwargs) {
  Options options;
  if (!kwargs) return options;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    auto name = text_from_py(key);
    if (!name || !refuse_nul(*name, "option name")) return std::nullopt;
    auto converted = value_from_py(value);
    if (!converted) return std::nullopt;
    options.set(std::move(*name), std::move(*converted));
  }
  return options;
}

PyObject* wrap(std::string url, std::string codec, Channel channel) {
  PyTypeObject* type = channel_type();
  if (!type) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  PluginObjects plugins = adopt_plugins(channel);
  object(self)->codec_object = plugins.codec.take();
  object(self)->transport_object = plugins.transport.take();
  new (&object(self)->url) std::string(std::move(url));
  new (&object(self)->codec) std::string(std::move(codec));
  object(self)->native_codec = !has_python_codec(*channel.inner());
  object(self)->lends_read_buffers = channel.inner()->receives_into_lent_storage();
  new (&object(self)->channel) Channel(std::move(channel));
  return self;
}

// ---- the lock ----------------------------------------------------------------
//
// A send or receive that cannot wait runs with the interpreter lock held:
// releasing and taking it again for every message costs more than the
// message itself, and with several Python threads each release hands the
// lock to another thread and back. The core's try_send and try_recv are made
// for this: they never wait for a lock that another thread may hold while it
// waits for the interpreter lock (the receive and codec locks are only
// tried; the transport's queue locks are never held across a wait), never
// wait in the transport (it must offer a send or a packet that needs no
// waiting: mem://, not a Python transport), and never read the clock. They
// are used only with a built-in codec: a Python codec takes the interpreter
// lock inside the codec lock and runs for as long as its Python code likes,
// so its channels always go the way that releases the lock. When a try says
// it would have to wait, the call goes that way too.

// ---- receiving -------------------------------------------------------------

Result<std::optional<Message>> recv_slice(Channel& channel, Duration slice) {
  ReleaseGil unlocked;
  return channel.recv(slice);
}

enum class AtEnd { kRaise, kStopIteration };

// A receive result as the caller sees it: done (a message, or an error
// raised; with kStopIteration the closed error ends an iteration: nullptr
// with no exception set), or not yet.
struct Outcome {
  bool done;
  PyObject* result;
};

// A receive cut short by a signal says only that the slice ended early; the
// signal handlers run between slices (Ctrl-C raises there).
Outcome failed(Error error, AtEnd at_end) {
  if (interrupted(error)) return {false, nullptr};
  if (at_end == AtEnd::kStopIteration && error.is_closed()) return {true, nullptr};
  return {true, to_py(std::move(error))};
}

Outcome outcome(Result<std::optional<Message>> received, AtEnd at_end) {
  if (!received.ok()) return failed(std::move(received).error(), at_end);
  if (std::optional<Message>& message = received.value()) return {true, message_to_py(std::move(*message))};
  return {false, nullptr};
}

// A message that is ready, moved straight into a new sigtap.Message.
Outcome ready(Channel& channel, AtEnd at_end) {
  Message* storage = nullptr;
  Ref fresh = Ref::steal(new_message(storage));
  if (!fresh) return {true, nullptr};
  Result<bool> got = channel.try_recv(*storage);
  if (!got.ok()) return failed(std::move(got).error(), at_end);
  return {*got, *got ? fresh.take() : nullptr};
}

// Receives in slices until a message, an error, the timeout (none: no limit)
// or a raised signal handler.
PyObject* receive(PyObject* self, std::optional<Duration> timeout, AtEnd at_end) {
  Channel& channel = channel_of(self);
  // A message that is ready costs no release of the lock and no clock reading.
  if (object(self)->native_codec) {
    Outcome got = ready(channel, at_end);
    if (got.done) return got.result;
  }
  // The one clock reading of a receive whose first slice finds a message.
  const std::optional<Instant> deadline = timeout ? deadline_after(*timeout) : std::nullopt;
  Duration slice = timeout ? std::min(kSlice, *timeout) : kSlice;
  for (;;) {
    if (object(self)->lends_read_buffers) prepare_read_buffer();
    auto received = recv_slice(channel, slice);
    drain_releases();
    Outcome got = outcome(std::move(received), at_end);
    if (got.done) return got.result;
    if (deadline && Clock::now() >= *deadline) Py_RETURN_NONE;
    if (PyErr_CheckSignals() < 0) return nullptr;
    slice = deadline ? std::min(kSlice, remaining(*deadline)) : kSlice;
  }
}

// ---- _open -----------------------------------------------------------------

constexpr Param kOpenParams[] = {{"url", true}, {"codec"}};
constexpr Signature kOpenSignature{"_open", kOpenParams, true};

PyObject* open_channel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[2];
  Ref kwargs;
  if (!parse_fastcall(kOpenSignature, args, nargs, kwnames, arg, &kwargs)) return nullptr;
  auto url = text_arg(arg[0], "url");
  if (!url) return nullptr;
  std::string codec = "raw";  // None is not "omitted" here: it fails as a text
  if (arg[1]) {
    auto given = text_arg(arg[1], "codec");
    if (!given) return nullptr;
    codec = std::move(*given);
  }
  auto options = options_arg(kwargs.get());
  if (!options) return nullptr;
  // Released: opening may resolve names, connect, read a DBC file, or call a
  // Python factory on this very thread (which takes the lock itself). Cut
  // short by Ctrl-C, whose handler did not raise, it is opened again: nothing
  // of the first try is left.
  for (;;) {
    Result<Channel> opened = [&]() -> Result<Channel> {
      ReleaseGil unlocked;
      Interruptible interruptible;  // a FIFO waits for its reader, a TCP connect for its server
      return Channel::open(*url, codec, *options);
    }();
    if (!after_core_call()) return nullptr;  // Ctrl-C
    if (!opened.ok() && interrupted(opened.error())) continue;
    if (!opened.ok()) return to_py(std::move(opened).error());
    return wrap(std::move(*url), std::move(codec), std::move(opened).value());
  }
}

// ---- methods ---------------------------------------------------------------

constexpr Param kSendParams[] = {{"message", true}, {"fields"}};
constexpr Signature kSendSignature{"_Channel.send", kSendParams};

PyObject* channel_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[2];
  if (!parse_fastcall(kSendSignature, args, nargs, kwnames, arg)) return nullptr;
  // A sigtap.Message is immutable and the caller's arguments keep it alive
  // for the whole call, so it is sent as it is, without a copy.
  const Message* message = unless_none(arg[1]) ? nullptr : message_from_py(arg[0]);
  std::optional<Message> built;
  if (!message) {
    built = message_arg(arg[0], arg[1]);
    if (!built) return nullptr;
    message = &*built;
  }
  std::optional<Status> quick;
  if (object(self)->native_codec) quick = channel_of(self).inner()->try_send(*message);
  Status sent;
  if (quick) {
    sent = std::move(*quick);
  } else {
    ReleaseGil unlocked;
    // A TCP peer that stopped reading, or a codec that another thread's
    // encode or decode holds for long.
    Interruptible interruptible;
    sent = channel_of(self).send(*message);
  }
  // The handlers run here, once the send has let go of the transport: one
  // that sends on this channel finds it free. A send cut short by Ctrl-C
  // whose handler did not raise is not repeated (part of it may be out):
  // it fails as interrupted.
  if (!after_core_call()) return nullptr;  // Ctrl-C
  if (!sent.ok()) return to_py(std::move(sent).error());
  Py_RETURN_NONE;
}

constexpr Param kRecvParams[] = {{"timeout"}};
constexpr Signature kRecvSignature{"_Channel.recv", kRecvParams};

PyObject* channel_recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[1];
  if (!parse_fastcall(kRecvSignature, args, nargs, kwnames, arg)) return nullptr;
  std::optional<Duration> timeout;
  if (PyObject* timeout_arg = unless_none(arg[0])) {
    auto seconds = float_param(timeout_arg, "timeout");
    if (!seconds) return nullptr;
    // A negative or NaN timeout (and -0) is one poll.
    double s = *seconds > 0.0 ? *seconds : 0.0;
    timeout = duration("timeout", s);
    if (!timeout) return nullptr;
    // A deadline beyond the clock's range is no deadline (see receive()).
  }
  return receive(self, timeout, AtEnd::kRaise);
}

constexpr Param kEveryParams[] = {
    {"period", true},
    {"message", true},
    {"fields"},
    {"duration", false, ParamKind::kKeywordOnly},
};
constexpr Signature kEverySignature{"_Channel.every", kEveryParams};

PyObject* channel_every(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[4];
  if (!parse_fastcall(kEverySignature, args, nargs, kwnames, arg)) return nullptr;
  auto period_seconds = float_param(arg[0], "period");
  if (!period_seconds) return nullptr;
  std::optional<double> duration_seconds;
  if (PyObject* duration_arg = unless_none(arg[3])) {
    duration_seconds = float_param(duration_arg, "duration");
    if (!duration_seconds) return nullptr;
  }
  auto message = message_arg(arg[1], arg[2]);
  if (!message) return nullptr;
  auto period = duration("period", *period_seconds);
  if (!period) return nullptr;
  std::optional<Duration> until;
  if (duration_seconds) {
    until = duration("duration", *duration_seconds);
    if (!until) return nullptr;
  }
  // Released: the test encode takes the codec lock, which a Python codec's
  // caller holds while it waits for the interpreter lock.
  Result<std::unique_ptr<Periodic>> started = [&]() -> Result<std::unique_ptr<Periodic>> {
    ReleaseGil unlocked;
    Interruptible interruptible;  // another thread's encode or decode may hold the codec for long
    return channel_of(self).every(*period, std::move(*message), until);
  }();
  // Cut short by Ctrl-C whose handler did not raise, it fails as
  // interrupted: the message went with the first try.
  if (!after_core_call()) return nullptr;  // Ctrl-C
  if (!started.ok()) return to_py(std::move(started).error());
  return periodic_to_py(std::move(started).value(), self);
}

constexpr Param kSubscribeParams[] = {{"callback", true}};
constexpr Signature kSubscribeSignature{"_Channel.subscribe", kSubscribeParams};

PyObject* channel_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[1];
  if (!parse_fastcall(kSubscribeSignature, args, nargs, kwnames, arg)) return nullptr;
  // The caller's arguments keep the callable alive until the handle holds it.
  SubscriptionHandlers handlers = subscription_handlers(arg[0]);
  Result<std::unique_ptr<Subscription>> started = [&]() -> Result<std::unique_ptr<Subscription>> {
    ReleaseGil unlocked;
    return channel_of(self).subscribe(std::move(handlers.callback), std::move(handlers.before_wait));
  }();
  // A refused start dropped the callback without the lock: release it now.
  drain_releases();
  if (!started.ok()) return to_py(std::move(started).error());
  return subscription_to_py(std::move(started).value(), self, std::move(handlers.delivery));
}

PyObject* channel_close(PyObject* self, PyObject*) {
  drain_releases();
  // Kept locked: the core's close takes no lock that a thread waiting for the
  // interpreter lock may hold, and a Python transport's close needs the lock.
  channel_of(self).close();
  Py_RETURN_NONE;
}

PyObject* channel_enter(PyObject* self, PyObject*) {
  drain_releases();
  Py_INCREF(self);
  return self;
}

constexpr Param kExitParams[] = {{"_t", true}, {"_e", true}, {"_tb", true}};
constexpr Signature kExitSignature{"_Channel.__exit__", kExitParams};

PyObject* channel_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_releases();
  PyObject* arg[3];
  if (!parse_fastcall(kExitSignature, args, nargs, kwnames, arg)) return nullptr;
  channel_of(self).close();
  Py_RETURN_FALSE;
}

PyMethodDef channel_methods[] = {
    {"send", method<channel_send>(), METH_FASTCALL | METH_KEYWORDS,
     "send($self, message, fields=None)\n--\n\nSend a message: a `Message`, or a name and its fields."},
    {"recv", method<channel_recv>(), METH_FASTCALL | METH_KEYWORDS,
     "recv($self, timeout=None)\n--\n\n"
     "The next message; None once `timeout` seconds pass (None waits\nforever; Ctrl-C interrupts)."},
    {"every", method<channel_every>(), METH_FASTCALL | METH_KEYWORDS,
     "every($self, period, message, fields=None, *, duration=None)\n--\n\n"
     "Send a message every `period` seconds from a background thread, for\n`duration` seconds or until stopped."},
    {"subscribe", method<channel_subscribe>(), METH_FASTCALL | METH_KEYWORDS,
     "subscribe($self, callback)\n--\n\n"
     "Receive on a background thread and call `callback(item)` for every\n"
     "item (with the GIL): a `Message`, an exception instance for a receive\n"
     "error, or None once when the channel closes. A falsy return value or\n"
     "an exception from the callback ends the subscription."},
    {"close", method<channel_close>(), METH_NOARGS,
     "close($self)\n--\n\nClose the channel; blocked receivers stop, iteration ends."},
    {"__enter__", method<channel_enter>(), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method<channel_exit>(), METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _t, _e, _tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------

PyObject* get_closed(PyObject* self, void*) {
  drain_releases();
  return PyBool_FromLong(channel_of(self).closed());
}

PyGetSetDef channel_getset[] = {
    {"closed", guarded<get_closed>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots -----------------------------------------------------------------

// Not closed: the channel's senders and subscriptions keep this object, so
// nothing runs on the channel any more but a thread that is ending.
int channel_clear(PyObject* self) noexcept;

void channel_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ChannelObject* obj = object(self);
  if (obj->weakrefs) PyObject_ClearWeakRefs(self);
  (void)channel_clear(self);
  obj->channel.~Channel();
  obj->codec.~basic_string();
  obj->url.~basic_string();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// A plug-in that keeps its channel (a codec that replies) makes a cycle that
// only the channel can show the collector.
int channel_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(object(self)->codec_object);
  Py_VISIT(object(self)->transport_object);
  return 0;
}

// Collected, the channel is closed, as nobody can reach it any more: here,
// before any object of its cycle is cleared, since a Python transport's
// close runs its own code. The senders and subscriptions of the cycle have
// stopped in their own finalizers or stop now, at the close.
void channel_finalize(PyObject* self) {
  SavedError saved;
  drain_releases();
  channel_of(self).close();
}

int channel_clear(PyObject* self) noexcept {
  ChannelObject* obj = object(self);
  forget_plugins(obj->channel);
  Py_CLEAR(obj->codec_object);
  Py_CLEAR(obj->transport_object);
  return 0;
}

PyObject* channel_iter(PyObject* self) {
  drain_releases();
  Py_INCREF(self);
  return self;
}

PyObject* channel_iternext(PyObject* self) {
  drain_releases();
  return receive(self, std::nullopt, AtEnd::kStopIteration);
}

PyObject* channel_repr(PyObject* self) {
  drain_releases();
  ChannelObject* obj = object(self);
  std::string out = "Channel(";
  append_quoted(out, obj->url);
  out += ", ";
  append_quoted(out, obj->codec);
  if (obj->channel.closed()) out += ", closed";
  out += ')';
  return text_to_py(out);
}

// Weak references (limited API: the offset is declared as a member).
PyMemberDef channel_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ChannelObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("A transport and a codec composed: send and receive messages.")},
    nothrow_slot<Py_tp_dealloc, channel_dealloc>(),
    nothrow_slot<Py_tp_traverse, channel_traverse>(),
    nothrow_slot<Py_tp_clear, channel_clear>(),
    {Py_tp_finalize, slot<channel_finalize>()},
    {Py_tp_members, channel_members},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {Py_tp_iter, slot<channel_iter>()},
    {Py_tp_iternext, slot<channel_iternext>()},
    {Py_tp_repr, slot<channel_repr>()},
    {0, nullptr},
};

// Made only by _open: no constructor, not a base type, no instance dict.
PyType_Spec channel_spec = {
    "sigtap._sigtap._Channel",
    sizeof(ChannelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    channel_slots,
};

PyTypeObject* channel_type_cell = nullptr;

PyMethodDef open_def[] = {
    {"_open", method<open_channel>(), METH_FASTCALL | METH_KEYWORDS,
     "_open(url, codec=..., **options)\n--\n\n"
     "Open a channel over the transport `url` with the codec `codec`.\n"
     "\n"
     "Transports: `can://vcan0` (Linux SocketCAN, with `?fd`, `?echo` and\n"
     "`?filter=0x100:0x700`), `udp://host:port` (`?listen`, `?bind=`),\n"
     "`tcp://host:port` (`?listen`) and `mem://name` (in-process). Codecs:\n"
     "`raw`, `dbc:FILE` (options `strict`, `scaling`, `decode_choices`) and\n"
     "`sbf`. Keyword arguments configure the codec."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* channel_type() { return type_once(channel_type_cell, &channel_spec); }

PyMethodDef* open_function() { return open_def; }

}  // namespace sigtap::py
