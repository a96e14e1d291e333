// sigtap.Message: the immutable Python face of a core Message.
#pragma once

#include "core/message.hpp"
#include "python/py.hpp"

namespace sigtap::py {

/// The class sigtap.Message, created once per process on first use (the
/// module's exec step) and never freed. Borrowed; nullptr with an exception
/// set when it cannot be created. Needs the lock.
PyTypeObject* message_type();

/// A new sigtap.Message that owns `message`. New reference; nullptr with an
/// exception set on failure. Needs the lock.
PyObject* message_to_py(Message&& message);

/// A new sigtap.Message holding an empty message, for a receive to move one
/// into before anybody else sees the object: `storage` points at it. New
/// reference; nullptr with an exception set on failure. Needs the lock.
PyObject* new_message(Message*& storage);

/// The core message held by a sigtap.Message, or nullptr (no exception set)
/// for any other object. Borrowed from `obj`: valid while it lives, and
/// never changed, since messages are immutable.
const Message* message_from_py(PyObject* obj);

}  // namespace sigtap::py
