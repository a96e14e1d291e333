// register_transport and register_codec: transports and codecs written in Python, behind core adaptors.
#pragma once

#include "python/py.hpp"

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

/// The Python objects behind a channel's plug-ins, as its _Channel shows
/// them to the garbage collector (a codec that keeps its channel to reply
/// makes a cycle through them). The _Channel holds one share of the channel's
/// state, and the plug-ins are its alone only while no other share exists (no
/// sender or subscription runs on the channel) and the transport is the
/// state's alone: only then are the objects visited. Needs the lock.
int traverse_plugins(const Channel& channel, visitproc visit, void* arg);
/// Closes the channel and lets the objects go, if they are the _Channel's
/// alone (as traverse_plugins tells); the plug-ins then act as a closed
/// channel's. Needs the lock.
void clear_plugins(Channel& channel);

}  // namespace sigtap::py
