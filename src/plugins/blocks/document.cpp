// The block as the flow editor receives it: the minimal block dictionary (identity, run and
// editor state, minimal variables) and the full block dictionary (plus the declaration).
// Values are placed as they are: the dictionaries are snapshots meant for serialising.
#include "internal.hpp"
#include "../connections/connections.hpp"

#include "../../pyutil/collected.hpp"
#include "../../pyutil/dict.hpp"

#include <initializer_list>
#include <utility>

namespace plugins {

using pyutil::Accept;
using pyutil::Entry;
using pyutil::Param;
using pyutil::Ref;

namespace {

// `[v.toDict(minimal) for v in variables]`. The caller holds `variables` strongly; a toDict
// override may change the list, which is re-read with a bounds check on every step.
Ref variables_to_dict(ModuleState& state, PyObject* variables, bool minimal) {
    if (PyList_CheckExact(variables)) {
        pyutil::Collected dicts;
        const bool ok = pyutil::for_each_item(variables, [&](PyObject* variable) {
            Ref dict = variable_to_dict(state, variable, minimal);
            if (!dict) return false;
            dicts.push(std::move(dict));
            return true;
        });
        return ok ? dicts.to_list() : Ref();
    }
    Ref result = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(variables));
    if (!result || !iterator) return Ref();
    while (Ref variable = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref dict = variable_to_dict(state, variable.get(), minimal);
        if (!dict || PyList_Append(result.get(), dict.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

// `[group.toDict() for group in inputGroups.values()]`. A dictionary's groups are taken as a
// list first: their toDict may change the dictionary while it is walked.
Ref input_groups_to_dict(ModuleState& state, PyObject* groups) {
    Ref values = PyDict_Check(groups) ? Ref::steal(PyDict_Values(groups))
                                      : Ref::steal(PyObject_CallMethod(groups, "values", nullptr));
    if (!values) return Ref();
    return variables_to_dict(state, values.get(), false);
}

Ref connections_to_dict(ModuleState& state, PyObject* self, bool references) {
    PluginBlockObject* b = as_block(self);
    Ref connections = references ? pyutil::slot_ref(self, b->variableConnectionsReferences, "_variableConnectionsReferences")
                                 : pyutil::slot_ref(self, b->variableConnections, "_variableConnections");
    if (!connections) return Ref();
    if (PyList_CheckExact(connections.get())) {
        pyutil::Collected dicts;
        const bool ok = pyutil::for_each_item(connections.get(), [&](PyObject* connection) {
            Ref dict = connection_to_dict(state, connection);
            if (!dict) return false;
            dicts.push(std::move(dict));
            return true;
        });
        return ok ? dicts.to_list() : Ref();
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    auto append = [&](PyObject* connection) {
        Ref dict = connection_to_dict(state, connection);
        return dict && PyList_Append(result.get(), dict.get()) == 0;
    };
    Ref iterator = Ref::steal(PyObject_GetIter(connections.get()));
    if (!iterator) return Ref();
    while (Ref connection = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!append(connection.get())) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

// {"x": position[0], "y": position[1]}. The caller holds `position` strongly; an element's
// __getitem__ may change the block (and the list) between the two reads.
Ref position_dict(ModuleState& state, PyObject* position) {
    Ref x, y;
    if (PyList_CheckExact(position) && PyList_GET_SIZE(position) >= 2) {
        x = pyutil::list_item(position, 0);
        y = pyutil::list_item(position, 1);
    } else {
        x = Ref::steal(PySequence_GetItem(position, 0));
        if (x) y = Ref::steal(PySequence_GetItem(position, 1));
        if (!x || !y) return Ref();
    }
    return pyutil::make_dict({{state.kb_x, x.get()}, {state.kb_y, y.get()}});
}

}  // namespace

namespace {

// Whether every variable of the list (members and prototypes included) is one of our own exact
// classes, whose dictionaries are built without running any code of the plugin.
bool plain_variables(ModuleState& state, PyObject* variables, int depth = 0) {
    if (!PyList_CheckExact(variables)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(variables); ++i) {
        PyObject* v = PyList_GET_ITEM(variables, i);
        PyTypeObject* type = Py_TYPE(v);
        if (type == state.PluginVariable) continue;
        if (depth > 0 || (type != state.VariableGroup && type != state.VariableList)) return false;
        PyObject* inner = type == state.VariableGroup ? reinterpret_cast<VariableGroupObject*>(v)->variables
                                                      : reinterpret_cast<VariableListObject*>(v)->prototypes;
        if (inner == nullptr || !plain_variables(state, inner, depth + 1)) return false;
    }
    return true;
}

// The slots that the minimal dictionary holds, in key order, taken as strong snapshots before
// anything runs code of the plugin: a toDict override, a finalizer or another thread may then
// replace or delete them, and the dictionary holds what the block had when the call began.
struct MinimalSlots {
    Ref id, isPlaced, position, isRunning, error, blockLogs, placedID, finishedExecution, storedOutputs, variables,
        selectedInputGroup, selectedRemote, extensionsToOpen, time, extraData, dirty;

    bool read(PyObject* self) {
        PluginBlockObject* b = as_block(self);
        struct Named {
            Ref MinimalSlots::*ref;
            PyObject* PluginBlockObject::*slot;
            const char* name;
        };
        static constexpr Named slots[] = {
            {&MinimalSlots::id, &PluginBlockObject::id, "id"},
            {&MinimalSlots::isPlaced, &PluginBlockObject::isPlaced, "_isPlaced"},
            {&MinimalSlots::position, &PluginBlockObject::position, "_position"},
            {&MinimalSlots::isRunning, &PluginBlockObject::isRunning, "_isRunning"},
            {&MinimalSlots::error, &PluginBlockObject::error, "error"},
            {&MinimalSlots::blockLogs, &PluginBlockObject::blockLogs, "blockLogs"},
            {&MinimalSlots::placedID, &PluginBlockObject::placedID, "_placedID"},
            {&MinimalSlots::finishedExecution, &PluginBlockObject::finishedExecution, "_finishedExecution"},
            {&MinimalSlots::storedOutputs, &PluginBlockObject::storedOutputs, "_storedOutputs"},
            {&MinimalSlots::variables, &PluginBlockObject::variables, "_variables"},
            {&MinimalSlots::selectedInputGroup, &PluginBlockObject::selectedInputGroup, "selectedInputGroup"},
            {&MinimalSlots::selectedRemote, &PluginBlockObject::selectedRemote, "selectedRemote"},
            {&MinimalSlots::extensionsToOpen, &PluginBlockObject::extensionsToOpen, "_extensionsToOpen"},
            {&MinimalSlots::time, &PluginBlockObject::time, "time"},
            {&MinimalSlots::extraData, &PluginBlockObject::extraData, "extraData"},
            {&MinimalSlots::dirty, &PluginBlockObject::dirty, "dirty"},
        };
        for (const Named& n : slots) {
            this->*n.ref = pyutil::slot_ref(self, b->*n.slot, n.name);
            if (!(this->*n.ref)) return false;
        }
        return true;
    }
};

// The minimal dictionary, copied from `key_template` (the 18 keys, and maybe keys the caller
// fills after); with `variables_placeholder` the "variables" entry holds None, for `_toDict`,
// which replaces it in place with the full forms anyway.
Ref minimal_encode(ModuleState& state, PyObject* self, bool variables_placeholder, PyObject* key_template) {
    MinimalSlots s;
    if (!s.read(self)) return Ref();
    Ref position = position_dict(state, s.position.get());
    if (!position) return Ref();
    Ref variables = variables_placeholder ? Ref::borrow(Py_None) : variables_to_dict(state, s.variables.get(), true);
    if (!variables) return Ref();
    Ref connections = connections_to_dict(state, self, false);
    if (!connections) return Ref();
    Ref references = connections_to_dict(state, self, true);
    if (!references) return Ref();
    return pyutil::dict_from_template(key_template, {
        {state.k_id, s.id.get()},
        {state.kb_isPlaced, s.isPlaced.get()},
        {state.kb_position, position.get()},
        {state.kb_isRunning, s.isRunning.get()},
        {state.kb_error, s.error.get()},
        {state.kb_blockLogs, s.blockLogs.get()},
        {state.k_placedID, s.placedID.get()},
        {state.kb_finishedExecution, s.finishedExecution.get()},
        {state.kb_storedOutputs, s.storedOutputs.get()},
        {state.k_variables, variables.get()},
        {state.kb_variableConnections, connections.get()},
        {state.kb_variableConnectionsReference, references.get()},
        {state.kb_selectedInputGroup, s.selectedInputGroup.get()},
        {state.kb_selectedRemote, s.selectedRemote.get()},
        {state.kb_extensionsToOpen, s.extensionsToOpen.get()},
        {state.kb_time, s.time.get()},
        {state.kb_extraData, s.extraData.get()},
        {state.kb_dirty, s.dirty.get()},
    });
}

}  // namespace

Ref block_key_template(ModuleState& state, std::initializer_list<PyObject*> extra) {
    Ref dict = pyutil::key_template({state.k_id, state.kb_isPlaced, state.kb_position, state.kb_isRunning,
                                     state.kb_error, state.kb_blockLogs, state.k_placedID,
                                     state.kb_finishedExecution, state.kb_storedOutputs, state.k_variables,
                                     state.kb_variableConnections, state.kb_variableConnectionsReference,
                                     state.kb_selectedInputGroup, state.kb_selectedRemote,
                                     state.kb_extensionsToOpen, state.kb_time, state.kb_extraData, state.kb_dirty});
    for (PyObject* key : extra) {
        if (!dict || PyDict_SetItem(dict.get(), key, Py_None) < 0) return Ref();
    }
    return dict;
}

bool build_block_key_templates(ModuleState& state) {
    state.t_block_minimal = block_key_template(state).release();
    // The full dictionary: the declaration keys follow ("variables" keeps its place).
    state.t_block = block_key_template(state, {state.kb_externalURL, state.k_name, state.k_description,
                                               state.kb_inputs, state.kb_outputs, state.k_type})
                        .release();
    return state.t_block_minimal != nullptr && state.t_block != nullptr;
}

Ref block_minimal_encode(ModuleState& state, PyObject* self, PyObject* key_template) {
    return minimal_encode(state, self, false, key_template != nullptr ? key_template : state.t_block_minimal);
}

bool block_complete_dict(ModuleState& state, PyObject* self, PyObject* dict) {
    PluginBlockObject* b = as_block(self);
    using pyutil::slot_ref;
    Ref url = slot_ref(self, b->externalURL, "externalURL");
    Ref declared_variables = url ? slot_ref(self, b->variables, "_variables") : Ref();
    Ref name = declared_variables ? slot_ref(self, b->name, "name") : Ref();
    Ref description = name ? slot_ref(self, b->description, "description") : Ref();
    Ref groups = description ? slot_ref(self, b->inputGroups, "_inputGroups") : Ref();
    Ref declared_outputs = groups ? slot_ref(self, b->outputs, "_outputs") : Ref();
    Ref block_type = declared_outputs ? slot_ref(self, b->TYPE, "TYPE") : Ref();
    if (!block_type) return false;
    Ref variables = variables_to_dict(state, declared_variables.get(), false);
    if (!variables) return false;
    Ref inputs = input_groups_to_dict(state, groups.get());
    if (!inputs) return false;
    Ref outputs = variables_to_dict(state, declared_outputs.get(), false);
    if (!outputs) return false;
    Ref type = Ref::steal(PyObject_Str(block_type.get()));
    if (!type) return false;
    return pyutil::put_all(dict, {
                                     {state.kb_externalURL, url.get()},
                                     {state.k_variables, variables.get()},
                                     {state.k_name, name.get()},
                                     {state.k_description, description.get()},
                                     {state.kb_inputs, inputs.get()},
                                     {state.kb_outputs, outputs.get()},
                                     {state.k_type, type.get()},
                                 });
}

namespace {

// `_minimalEncode` through the object, so a block kind's own minimal dictionary is completed.
Ref minimal_via_object(ModuleState& state, PyObject* self) {
    if (uses_builtin_method(Py_TYPE(self), state.kb_minimalEncode,
                            reinterpret_cast<void (*)()>(block_method_minimalEncode))) {
        return block_minimal_encode(state, self);
    }
    Ref dict = Ref::steal(PyObject_CallMethodNoArgs(self, state.kb_minimalEncode));
    if (dict && !PyDict_Check(dict.get())) {
        pyutil::raise_expected("dict", dict.get());
        return Ref();
    }
    return dict;
}

Ref base_to_dict(ModuleState& state, PyObject* self) {
    Ref dict;
    Ref variables = Ref::borrow(as_block(self)->variables);
    if (variables &&
        uses_builtin_method(Py_TYPE(self), state.kb_minimalEncode,
                            reinterpret_cast<void (*)()>(block_method_minimalEncode)) &&
        plain_variables(state, variables.get())) {
        // The minimal variable dictionaries would be replaced at once: skip building them.
        dict = minimal_encode(state, self, true, state.t_block);
    } else {
        dict = minimal_via_object(state, self);
    }
    if (!dict || !block_complete_dict(state, self, dict.get())) return Ref();
    return dict;
}

}  // namespace

Ref block_to_dict_via_object(ModuleState& state, PyObject* self) {
    if (uses_builtin_method(Py_TYPE(self), state.k__toDict, reinterpret_cast<void (*)()>(block_method_toDict))) {
        return base_to_dict(state, self);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(self, state.k__toDict));
}

PyObject* block_method_minimalEncode(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock._minimalEncode", nargs, kwnames)) return nullptr;
    return block_minimal_encode(*state_of_class(cls), self).release();
}

PyObject* block_method_toDict(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock._toDict", nargs, kwnames)) return nullptr;
    return base_to_dict(*state_of_class(cls), self).release();
}

PyObject* block_method_variablesToDict(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginBlock._variablesToDict", Param{"vars", Accept::List, true}, Param{"minimal"});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    const int minimal = bound.given(1) ? PyObject_IsTrue(bound[1]) : 0;
    if (minimal < 0) return nullptr;
    return variables_to_dict(*state_of_class(cls), bound[0], minimal == 1).release();
}

PyObject* block_method_inputGroupsToDict(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginBlock._inputGroupsToDict", Param{"inputGroups", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    return input_groups_to_dict(*state_of_class(cls), bound[0]).release();
}

PyObject* block_method_connectionsToDict(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._connectionsToDict", Param{"references"});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    const int references = bound.given(0) ? PyObject_IsTrue(bound[0]) : 0;
    if (references < 0) return nullptr;
    return connections_to_dict(*state_of_class(cls), self, references == 1).release();
}

}  // namespace plugins
