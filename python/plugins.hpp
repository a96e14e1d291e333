// register_transport and register_codec: transports and codecs written in Python, behind core adaptors.
#pragma once

#include "python/py.hpp"

namespace sigtap {
class Channel;
class Inner;
}  // namespace sigtap

namespace sigtap::py {

class PyCodec;
class PyTransport;

/// The method table holding register_transport and register_codec, in that
/// order (and the end marker), for PyModule_AddFunctions. Static; never freed.
PyMethodDef* plugin_functions();

/// Whether the channel's codec is a Python plug-in: its calls take the
/// interpreter lock, so the channel may not be used with that lock held.
bool has_python_codec(const Inner& inner);

/// The Python objects behind one channel's plug-ins, as its _Channel shows
/// them to the garbage collector (a codec that keeps its channel to reply
/// makes a cycle through them). The _Channel holds one share of the channel's
/// state, and the plug-ins are its alone only while no other share exists (no
/// sender or subscription runs on the channel) and the transport is the
/// state's alone: only then are the objects visited, and let go when the
/// _Channel is cleared. Needs the lock.
class PluginObjects {
 public:
  int traverse(const Channel& channel, visitproc visit, void* arg) const;
  /// Closes the channel and lets the objects go, if they are the _Channel's
  /// alone; the plug-ins then act as a closed channel's.
  void clear(Channel& channel);

 private:
  friend class PluginCollector;

  PyCodec* codec_ = nullptr;
  PyTransport* transport_ = nullptr;
};

/// Notes the Python plug-ins that the factories make on this thread during
/// its lifetime: place one around each Channel::open. Nestable (a factory
/// may open a channel of its own).
class PluginCollector {
 public:
  PluginCollector();
  PluginCollector(const PluginCollector&) = delete;
  PluginCollector& operator=(const PluginCollector&) = delete;
  ~PluginCollector();

  /// What the factories made so far (valid while the channel opened lives).
  PluginObjects found() const { return found_; }
  /// Called by the factories: the plug-in just made.
  void note(PyCodec* codec) { found_.codec_ = codec; }
  void note(PyTransport* transport) { found_.transport_ = transport; }

 private:
  PluginObjects found_;
  PluginCollector* previous_;
};

}  // namespace sigtap::py
