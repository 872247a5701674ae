// Object layout of PluginBlock, shared by the block kinds (special blocks, cluster job block)
// and the plugin container. Slots hold strong references; null means "not set" (reading such
// an attribute raises AttributeError, as for `flow`, `pluginDir` and `remote` before the host
// assigns them).
#pragma once
#include "state.hpp"

namespace plugins {

struct PluginBlockObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    // declaration
    PyObject* id;
    PyObject* name;
    PyObject* description;
    PyObject* action;
    PyObject* externalURL;
    PyObject* variables;        // _variables
    PyObject* outputs;          // _outputs
    PyObject* inputGroups;      // _inputGroups
    PyObject* TYPE;
    // placement and run state
    PyObject* position;         // _position
    PyObject* isPlaced;         // _isPlaced
    PyObject* isRunning;        // _isRunning
    PyObject* error;
    PyObject* blockLogs;
    PyObject* placedID;         // _placedID
    PyObject* finishedExecution;  // _finishedExecution
    PyObject* storedOutputs;    // _storedOutputs
    PyObject* variableConnections;            // _variableConnections
    PyObject* variableConnectionsReferences;  // _variableConnectionsReferences
    PyObject* selectedInputGroup;
    PyObject* selectedRemote;
    PyObject* extensionsToOpen;  // _extensionsToOpen
    PyObject* time;
    PyObject* extraData;
    PyObject* flow;
    PyObject* pluginDir;
    PyObject* dirty;
    PyObject* remote;
    PyObject* config;
    PyObject* isOriginal;       // _isOriginal
};

inline PluginBlockObject* as_block(PyObject* obj) noexcept { return reinterpret_cast<PluginBlockObject*>(obj); }

inline bool is_block(const ModuleState& state, PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, state.PluginBlock);
}

}  // namespace plugins
