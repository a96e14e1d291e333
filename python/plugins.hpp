// register_transport and register_codec: transports and codecs written in Python, behind core adaptors.
#pragma once

#include "python/py.hpp"
#include "python/ref.hpp"

namespace sigtap {
class Channel;
class Inner;
}  // namespace sigtap

namespace sigtap::py {

/// The method table holding register_transport and register_codec, in that
/// order (and the end marker), for PyModule_AddFunctions. Static; never freed.
PyMethodDef* plugin_functions();

/// Whether the channel's codec is a Python plug-in: its calls take the
/// interpreter lock, so the channel may not be used with that lock held.
bool has_python_codec(const Inner& inner);

/// The Python objects behind a channel's plug-ins (empty for a built-in
/// codec or transport), handed to the _Channel that wraps the channel: from
/// then on the _Channel owns them. It shows them to the garbage collector
/// every time (a codec that keeps its channel to reply makes a cycle through
/// them), and the adaptors only borrow them, under the interpreter lock, while
/// it holds them. Call once, when the channel is wrapped. Needs the lock.
struct PluginObjects {
  Ref codec;
  Ref transport;
};
PluginObjects adopt_plugins(const Channel& channel);

/// Tells the channel's adaptors that the _Channel lets their objects go (it
/// is cleared or freed): their calls then end as on a closed channel, on
/// whatever thread they come. Call before the references go. Needs the lock;
/// allocates nothing.
void forget_plugins(const Channel& channel) noexcept;

}  // namespace sigtap::py
