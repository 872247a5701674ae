// Object layout of PluginBlock, shared by the block kinds (special blocks, cluster job block)
// and the plugin container. Slots hold strong references; null means "not set" (reading such
// an attribute raises AttributeError, as for `flow`, `pluginDir` and `remote` before the host
// assigns them).
//
// A block kind written in C++ (the cluster job block) derives its layout from this struct and
// adds PyObject* fields only: `copy()` duplicates a block field by field, treating every word
// after the object header as an object reference.
#pragma once
#include "../state.hpp"

#include <initializer_list>

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

// ---------------------------------------------------------------------------------------------
// Base behaviour of PluginBlock, callable from C++ block kinds (the cluster job block reuses the
// base constructor, encoding, state update, run reset and invocation from its overrides).
// All functions return false / null with a Python exception set on failure.

// The arguments of the base constructor, borrowed; null means "not given" (the default).
struct BlockArgs {
    PyObject* name = nullptr;
    PyObject* description = nullptr;
    PyObject* action = nullptr;
    PyObject* variables = nullptr;
    PyObject* inputs = nullptr;
    PyObject* inputGroups = nullptr;
    PyObject* outputs = nullptr;
    PyObject* blockType = nullptr;   // default PluginBlockTypes.BASE
    PyObject* id = nullptr;
    PyObject* externalURL = nullptr;
};

// tp_new of PluginBlock, inherited by every block kind: allocates and gives the block its
// initial run state (so even a subclass whose __init__ never reaches the base has it).
PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// GC support of the base fields, for the tp_traverse / tp_clear of a C++ block kind with fields
// of its own (the base tp_dealloc calls the instance type's tp_clear).
int block_traverse_base(PyObject* self, visitproc visit, void* arg);
int block_clear_base(PyObject* self);

// Sets the initial run state on an allocated block (what block_new does after allocating).
bool block_init_run_state(ModuleState& state, PyObject* self);

// The whole PluginBlock constructor on an allocated block: argument type checks, identifier
// warning and `_parseID` (called through the object), uniqueness and nesting checks, input
// groups, block type.
bool block_construct(ModuleState& state, PyObject* self, const BlockArgs& args);

// Base invocation: runs `action(self, *args, **kwargs)` (or prints the missing-action warning)
// and returns the `outputs` dictionary. `args` is a tuple (may be null), `kwargs` a dict or null.
PyObject* block_call(ModuleState& state, PyObject* self, PyObject* args, PyObject* kwargs);

// The `outputs` dictionary (output id -> access value).
pyutil::Ref block_outputs(ModuleState& state, PyObject* self);

// Base `_minimalEncode`: the 18-key minimal block dictionary, copied from `key_template` when
// given (a block kind's template from `block_key_template`: its own keys hold None until it sets them).
pyutil::Ref block_minimal_encode(ModuleState& state, PyObject* self, PyObject* key_template = nullptr);

// A key template (pyutil/dict.hpp) of the minimal block dictionary followed by `extra`.
pyutil::Ref block_key_template(ModuleState& state, std::initializer_list<PyObject*> extra = {});

// The module's block key templates (state.t_block_minimal, state.t_block).
bool build_block_key_templates(ModuleState& state);

// Base `_toDict` completion: adds the declaration keys to a minimal dictionary in place.
bool block_complete_dict(ModuleState& state, PyObject* self, PyObject* minimal);

// Base `_parseInternalVariables(blockJSON)`: reads everything first; on failure the block is
// left exactly as it was.
bool block_parse_internal_variables(ModuleState& state, PyObject* self, PyObject* blockJSON);

// Base `_cleanRun(cleanCycles, cleanDirty)`.
bool block_clean_run(ModuleState& state, PyObject* self, bool cleanCycles, bool cleanDirty);

// Deep copy of any object graph with the block's rules (our own types and JSON-like built-ins
// copied natively, callables shared, anything else through copy.deepcopy). `memo` is a
// copy.deepcopy memo dictionary or null.
pyutil::Ref deep_copy(ModuleState& state, PyObject* obj, PyObject* memo);

// What help() shows for `blockLogs`, on PluginBlock and on GhostBlock.
inline constexpr const char* kBlockLogsDoc = "The log text of the block's run, shown by the editor.";

// Adds a class-level value for a slot attribute of `type`: reading `type.<name>` gives `value`,
// reading it on an instance gives the instance's slot (AttributeError while unset). Used for
// the initial values that the block classes carry (GhostBlock's `error`, `blockLogs`).
bool add_slot_with_class_value(ModuleState& state, PyTypeObject* type, const char* name, Py_ssize_t offset,
                               PyObject* value, const char* doc);

}  // namespace plugins
