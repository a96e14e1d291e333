// register_transport and register_codec: transports and codecs written in Python, behind core adaptors.
#pragma once

#include "python/py.hpp"

namespace sigtap::py {

/// The method table holding register_transport and register_codec, in that
/// order (and the end marker), for PyModule_AddFunctions. Static; never freed.
PyMethodDef* plugin_functions();

}  // namespace sigtap::py
