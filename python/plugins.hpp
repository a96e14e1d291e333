// register_transport and register_codec: transports and codecs written in Python, behind core adaptors.
#pragma once

#include "python/py.hpp"

namespace sigtap {
class Inner;
}  // namespace sigtap

namespace sigtap::py {

/// The method table holding register_transport and register_codec, in that
/// order (and the end marker), for PyModule_AddFunctions. Static; never freed.
PyMethodDef* plugin_functions();

/// Whether the channel's codec is a Python plug-in: its calls take the
/// interpreter lock, so the channel may not be used with that lock held.
bool has_python_codec(const Inner& inner);

}  // namespace sigtap::py
