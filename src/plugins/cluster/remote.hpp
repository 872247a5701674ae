// Object layout of PluginRemote, the facade over the host's remote object that block actions
// reach as `block.remote` (the cluster job block reads `_remote` from it).
#pragma once
#include "../state.hpp"

namespace plugins {

struct PluginRemoteObject {
    PyObject_HEAD
    PyObject* dict;      // instance __dict__: holds `cd`, the host remote object's own operation
    PyObject* weakrefs;
    PyObject* remote;    // _remote: the wrapped host remote object
};

inline PluginRemoteObject* as_remote(PyObject* obj) noexcept { return reinterpret_cast<PluginRemoteObject*>(obj); }

// A new PluginRemote wrapping `host_remote` (what `PluginRemote(remote)` builds).
pyutil::Ref new_plugin_remote(ModuleState& state, PyObject* host_remote);

}  // namespace plugins
