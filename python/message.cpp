// sigtap.Message: construction from Python arguments, read-only properties, lookup, equality, repr.
#include "python/guard.hpp"
#include "python/message.hpp"

#include <charconv>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "core/fields_pool.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/read_buffers.hpp"
#include "python/ref.hpp"

namespace sigtap::py {
namespace {

struct MessageObject {
  PyObject_HEAD
  Message message;
  // The bytes of .data, made on first access and handed out from then on:
  // the message is immutable, and a large packet is copied only once.
  PyObject* data_bytes;
};

const Message& held(PyObject* self) { return reinterpret_cast<MessageObject*>(self)->message; }

// The class sets neither tp_alloc nor tp_free, so instances are plain
// object memory: allocated and freed here directly, with every member
// initialised below (no clearing of the whole object first).
PyObject* wrap(PyTypeObject* type, Message&& message) {
  auto* self = static_cast<MessageObject*>(PyObject_Malloc(sizeof(MessageObject)));
  if (!self) return PyErr_NoMemory();
  PyObject_Init(reinterpret_cast<PyObject*>(self), type);  // takes a reference to the type
  new (&self->message) Message(std::move(message));
  self->data_bytes = nullptr;
  return reinterpret_cast<PyObject*>(self);
}

// The data rule of the constructor: bytes and bytearray are copied; any
// other sequence must yield ints in 0..=255. The reason a sequence fails
// (not a sequence, a wrong item, an error while iterating) is not kept,
// unless it is one that stops the program, such as KeyboardInterrupt.
std::optional<Bytes> data_from_py(PyObject* obj) {
  auto copy = [](const char* data, Py_ssize_t size) {
    auto* p = reinterpret_cast<const std::uint8_t*>(data);
    return Bytes(p, p + size);
  };
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return std::nullopt;
    return copy(data, size);
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "data must be bytes-like, not str");
    return std::nullopt;
  }
  if (PyByteArray_Check(obj)) return copy(PyByteArray_AsString(obj), PyByteArray_Size(obj));

  Bytes out;
  bool ok = PySequence_Check(obj);
  Ref iter = ok ? Ref::steal(PyObject_GetIter(obj)) : Ref();
  ok = ok && iter;
  while (ok) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      ok = !PyErr_Occurred();
      break;
    }
    long v = PyLong_AsLong(item.get());
    ok = v >= 0 && v <= 255;
    out.push_back(static_cast<std::uint8_t>(v));
  }
  if (ok) return out;
  if (!clear_ordinary_error()) return std::nullopt;
  PyErr_SetString(PyExc_TypeError, "data must be bytes-like or a sequence of ints in 0..=255");
  return std::nullopt;
}

// ---- construction ----------------------------------------------------------

constexpr Param kNewParams[] = {
    {"name"},
    {"fields"},
    {"data", false, ParamKind::kKeywordOnly},
    {"id", false, ParamKind::kKeywordOnly},
    {"extended", false, ParamKind::kKeywordOnly},
    {"fd", false, ParamKind::kKeywordOnly},
};
constexpr Signature kNewSignature{"Message.__new__", kNewParams};

PyObject* message_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  drain_releases();
  PyObject* arg[6];
  if (!parse_args(kNewSignature, args, kwargs, arg)) return nullptr;
  PyObject* name_arg = unless_none(arg[0]);
  PyObject* fields_arg = unless_none(arg[1]);
  PyObject* data_arg = unless_none(arg[2]);
  PyObject* id_arg = unless_none(arg[3]);
  PyObject* extended_arg = unless_none(arg[4]);
  PyObject* fd_arg = arg[5];  // None is refused, not taken as absent

  Message message;
  if (name_arg) {
    auto name = text_param(name_arg, "name");
    if (!name) return nullptr;
    message.name = std::move(*name);
  }
  std::optional<std::uint32_t> id;
  if (id_arg && !(id = u32_param(id_arg, "id"))) return nullptr;
  std::optional<bool> extended;
  if (extended_arg && !(extended = bool_param(extended_arg, "extended"))) return nullptr;
  bool fd = false;
  if (fd_arg) {
    auto b = bool_param(fd_arg, "fd");
    if (!b) return nullptr;
    fd = *b;
  }
  if (fields_arg) {
    auto fields = fields_from_py(fields_arg);
    if (!fields) return nullptr;
    message.fields = std::move(*fields);
  }
  std::optional<Bytes> data;
  if (data_arg && !(data = data_from_py(data_arg))) return nullptr;

  if (!id && (extended || fd)) {
    PyErr_SetString(PyExc_ValueError, "extended and fd need an id");
    return nullptr;
  }
  if (!message.name && !data && !id) {
    PyErr_SetString(PyExc_ValueError, "a message needs a name or data");
    return nullptr;
  }
  if (data || id) {
    Packet& packet = message.packet.emplace();
    if (data) packet.data = std::move(*data);
    if (id) packet.can = CanHeader{*id, extended.value_or(*id > 0x7FF), fd, fd};
  }
  return wrap(type, std::move(message));
}

void message_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<MessageObject*>(self)->data_bytes);
  Message& message = reinterpret_cast<MessageObject*>(self)->message;
  try {
    recycle_fields(message.fields);  // for the next decode
  } catch (const std::exception&) {
    // The pool had no room to note the list: it is freed with the message.
  }
  message.~Message();
  PyObject_Free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// ---- properties ------------------------------------------------------------

const CanHeader* can_header(const Message& m) { return m.packet && m.packet->can ? &*m.packet->can : nullptr; }

PyObject* get_name(PyObject* self, void*) {
  drain_releases();
  const Message& m = held(self);
  if (!m.name) Py_RETURN_NONE;
  return text_to_py(*m.name);
}

PyObject* get_fields(PyObject* self, void*) {
  drain_releases();
  return fields_to_py(held(self).fields);
}

PyObject* get_data(PyObject* self, void*) {
  drain_releases();
  auto* obj = reinterpret_cast<MessageObject*>(self);
  const Message& m = obj->message;
  if (!m.packet) Py_RETURN_NONE;
  if (!obj->data_bytes) {
    const auto& data = m.packet->data;
    if (PyObject* lent = lent_bytes(data)) {
      // The read went straight into this object, which nobody else has seen.
      Py_INCREF(lent);
      obj->data_bytes = lent;
    } else {
      obj->data_bytes =
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
      if (!obj->data_bytes) return nullptr;
    }
  }
  Py_INCREF(obj->data_bytes);
  return obj->data_bytes;
}

PyObject* get_id(PyObject* self, void*) {
  drain_releases();
  const CanHeader* can = can_header(held(self));
  if (!can) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(can->id);
}

PyObject* get_extended(PyObject* self, void*) {
  drain_releases();
  const CanHeader* can = can_header(held(self));
  return PyBool_FromLong(can && can->extended);
}

PyObject* get_fd(PyObject* self, void*) {
  drain_releases();
  const CanHeader* can = can_header(held(self));
  return PyBool_FromLong(can && can->fd);
}

PyObject* get_timestamp(PyObject* self, void*) {
  drain_releases();
  const Message& m = held(self);
  if (!m.packet || !m.packet->timestamp) Py_RETURN_NONE;
  return PyFloat_FromDouble(*m.packet->timestamp);
}

PyGetSetDef message_getset[] = {
    {"name", guarded<get_name>, nullptr, "The message name; None for a raw (undecoded) message.", nullptr},
    {"fields", guarded<get_fields>, nullptr, "Decoded fields (a new dict on each access).", nullptr},
    {"data", guarded<get_data>, nullptr, "The raw bytes (a CAN payload, an SBF block, a datagram), if any.", nullptr},
    {"id", guarded<get_id>, nullptr, "CAN identifier, for CAN frames.", nullptr},
    {"extended", guarded<get_extended>, nullptr, "29-bit CAN identifier.", nullptr},
    {"fd", guarded<get_fd>, nullptr, "CAN FD frame.", nullptr},
    {"timestamp", guarded<get_timestamp>, nullptr, "Reception time, seconds since the Unix epoch.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- special methods -------------------------------------------------------

PyObject* message_subscript(PyObject* self, PyObject* key) {
  drain_releases();
  auto name = text_param(key, "key");
  if (!name) return nullptr;
  // The first field of that name, although fields_to_py keeps the last.
  for (const auto& [field, value] : held(self).fields) {
    if (field == *name) return value_to_py(value);
  }
  Ref text = Ref::steal(text_to_py(*name));
  if (text) PyErr_SetObject(PyExc_KeyError, text.get());
  return nullptr;
}

int message_contains(PyObject* self, PyObject* key) {
  drain_releases();
  auto name = text_param(key, "key");
  if (!name) return -1;
  for (const auto& field : held(self).fields) {
    if (field.first == *name) return 1;
  }
  return 0;
}

void append_hex(std::string& out, std::uint64_t v, bool upper) {
  char buf[20];
  auto end = std::to_chars(buf, buf + sizeof buf, v, 16).ptr;
  for (char* p = buf; p != end; ++p) out += upper && *p >= 'a' ? static_cast<char>(*p - 'a' + 'A') : *p;
}

PyObject* message_repr(PyObject* self) {
  drain_releases();
  const Message& m = held(self);
  std::string out = "Message(";
  bool first = true;
  auto part = [&] {
    if (!first) out += ", ";
    first = false;
  };
  if (m.name) {
    part();
    append_quoted(out, *m.name);
  }
  if (!m.fields.empty()) {
    part();
    out += '{';
    for (std::size_t i = 0; i < m.fields.size(); ++i) {
      if (i) out += ", ";
      append_quoted(out, m.fields[i].first);
      out += ": ";
      m.fields[i].second.append_fmt(out);
    }
    out += '}';
  }
  if (const CanHeader* can = can_header(m)) {
    part();
    out += "id=0x";
    append_hex(out, can->id, true);
  }
  if (m.packet && !m.name) {
    part();
    out += "data=bytes.fromhex('";
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint8_t b : m.packet->data) {
      out += kDigits[b >> 4];
      out += kDigits[b & 0xF];
    }
    out += "')";
  }
  out += ')';
  return text_to_py(out);
}

PyObject* message_richcompare(PyObject* self, PyObject* other, int op) {
  drain_releases();
  const Message* b = message_from_py(other);
  if (!b || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = held(self) == *b;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// ---- the class -------------------------------------------------------------

const char kMessageDoc[] =
    "Message(name=None, fields=None, *, data=None, id=None, extended=None, fd=False)\n--\n\n"
    "A message: a name and fields (decoded or to encode), and the raw packet\n"
    "(`data`, plus `id` for CAN) it was received as or is sent as.\n"
    "\n"
    "`Message(\"VehicleSpeed\", {\"Speed\": 12.5})` is encoded by the channel's\n"
    "codec; `Message(data=b\"...\", id=0x123)` (no name) is sent as is.";

PyType_Slot message_slots[] = {
    {Py_tp_doc, const_cast<char*>(kMessageDoc)},
    {Py_tp_new, slot<message_new>()},
    nothrow_slot<Py_tp_dealloc, message_dealloc>(),
    {Py_tp_getset, message_getset},
    {Py_mp_subscript, slot<message_subscript>()},
    {Py_sq_contains, slot<message_contains>()},
    {Py_tp_repr, slot<message_repr>()},
    {Py_tp_richcompare, slot<message_richcompare>()},
    {0, nullptr},
};

// Not a base type, no instance dict, no weak references: instances are
// plain immutable values, and no Python subclass can break that. No hash
// slot either, so the interpreter makes the class unhashable.
PyType_Spec message_spec = {
    "sigtap.Message",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    message_slots,
};

PyTypeObject* message_type_cell = nullptr;

}  // namespace

PyTypeObject* message_type() { return type_once(message_type_cell, &message_spec); }

PyObject* message_to_py(Message&& message) {
  PyTypeObject* type = message_type();
  if (!type) return nullptr;
  return wrap(type, std::move(message));
}

PyObject* new_message(Message*& storage) {
  PyTypeObject* type = message_type();
  if (!type) return nullptr;
  PyObject* self = wrap(type, Message());
  if (self) storage = &reinterpret_cast<MessageObject*>(self)->message;
  return self;
}

const Message* message_from_py(PyObject* obj) {
  if (!message_type_cell || !PyObject_TypeCheck(obj, message_type_cell)) return nullptr;
  return &held(obj);
}

}  // namespace sigtap::py
