// The block as the flow editor receives it: the minimal block dictionary (identity, run and
// editor state, minimal variables) and the full block dictionary (plus the declaration).
// Values are placed as they are: the dictionaries are snapshots meant for serialising.
#include "internal.hpp"
#include "../connections/connections.hpp"

#include "../../pyutil/dict.hpp"

namespace plugins {

using pyutil::Accept;
using pyutil::Entry;
using pyutil::Param;
using pyutil::Ref;
using pyutil::slot_or_raise;

namespace {

// `[v.toDict(minimal) for v in variables]`
Ref variables_to_dict(ModuleState& state, PyObject* variables, bool minimal) {
    if (PyList_CheckExact(variables)) {
        // Sized up front; a toDict override that changes the list is read as it stands.
        const Py_ssize_t size = PyList_GET_SIZE(variables);
        Ref result = Ref::steal(PyList_New(size));
        if (!result) return Ref();
        Py_ssize_t filled = 0;
        for (; filled < size && filled < PyList_GET_SIZE(variables); ++filled) {
            Ref variable = Ref::borrow(PyList_GET_ITEM(variables, filled));
            Ref dict = variable_to_dict(state, variable.get(), minimal);
            if (!dict) return Ref();  // a list's empty places are released safely
            PyList_SET_ITEM(result.get(), filled, dict.release());
        }
        if (filled < size) {  // the list shrank under a toDict override
            for (Py_ssize_t i = filled; i < size; ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(Py_None));
            if (PyList_SetSlice(result.get(), filled, size, nullptr) < 0) return Ref();
        }
        return result;
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

// `[group.toDict() for group in inputGroups.values()]`
Ref input_groups_to_dict(ModuleState& state, PyObject* groups) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    if (PyDict_Check(groups)) {
        Py_ssize_t pos = 0;
        PyObject *key, *group;
        while (PyDict_Next(groups, &pos, &key, &group)) {
            Ref keep = Ref::borrow(group);
            Ref dict = variable_to_dict(state, keep.get(), false);
            if (!dict || PyList_Append(result.get(), dict.get()) < 0) return Ref();
        }
        return result;
    }
    Ref values = Ref::steal(PyObject_CallMethod(groups, "values", nullptr));
    Ref iterator = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
    if (!iterator) return Ref();
    while (Ref group = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref dict = variable_to_dict(state, group.get(), false);
        if (!dict || PyList_Append(result.get(), dict.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

Ref connections_to_dict(ModuleState& state, PyObject* self, bool references) {
    PluginBlockObject* b = as_block(self);
    PyObject* connections = references ? slot_or_raise(self, b->variableConnectionsReferences, "_variableConnectionsReferences")
                                       : slot_or_raise(self, b->variableConnections, "_variableConnections");
    if (connections == nullptr) return Ref();
    if (PyList_CheckExact(connections)) {
        Ref result = Ref::steal(PyList_New(0));
        if (!result) return Ref();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(connections); ++i) {
            Ref connection = Ref::borrow(PyList_GET_ITEM(connections, i));
            Ref dict = connection_to_dict(state, connection.get());
            if (!dict || PyList_Append(result.get(), dict.get()) < 0) return Ref();
        }
        return result;
    }
    Ref result = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(connections));
    if (!result || !iterator) return Ref();
    while (Ref connection = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref dict = connection_to_dict(state, connection.get());
        if (!dict || PyList_Append(result.get(), dict.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

// {"x": position[0], "y": position[1]}
Ref position_dict(ModuleState& state, PyObject* position) {
    Ref x, y;
    if (PyList_CheckExact(position) && PyList_GET_SIZE(position) >= 2) {
        x = Ref::borrow(PyList_GET_ITEM(position, 0));
        y = Ref::borrow(PyList_GET_ITEM(position, 1));
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

// The minimal dictionary; with `variables_placeholder` the "variables" entry holds None, for
// `_toDict`, which replaces it in place with the full forms anyway.
Ref minimal_encode(ModuleState& state, PyObject* self, bool variables_placeholder) {
    PluginBlockObject* b = as_block(self);
    struct Named {
        PyObject* slot;
        const char* name;
    };
    const Named slots[] = {{b->id, "id"},
                           {b->isPlaced, "_isPlaced"},
                           {b->position, "_position"},
                           {b->isRunning, "_isRunning"},
                           {b->error, "error"},
                           {b->blockLogs, "blockLogs"},
                           {b->placedID, "_placedID"},
                           {b->finishedExecution, "_finishedExecution"},
                           {b->storedOutputs, "_storedOutputs"},
                           {b->variables, "_variables"},
                           {b->selectedInputGroup, "selectedInputGroup"},
                           {b->selectedRemote, "selectedRemote"},
                           {b->extensionsToOpen, "_extensionsToOpen"},
                           {b->time, "time"},
                           {b->extraData, "extraData"},
                           {b->dirty, "dirty"}};
    for (const Named& n : slots) {
        if (slot_or_raise(self, n.slot, n.name) == nullptr) return Ref();
    }
    Ref position = position_dict(state, b->position);
    if (!position) return Ref();
    Ref variables = variables_placeholder ? Ref::borrow(Py_None) : variables_to_dict(state, b->variables, true);
    if (!variables) return Ref();
    Ref connections = connections_to_dict(state, self, false);
    if (!connections) return Ref();
    Ref references = connections_to_dict(state, self, true);
    if (!references) return Ref();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    const bool ok = pyutil::put_all(dict.get(), {
        {state.kb_id, b->id},
        {state.kb_isPlaced, b->isPlaced},
        {state.kb_position, position.get()},
        {state.kb_isRunning, b->isRunning},
        {state.kb_error, b->error},
        {state.kb_blockLogs, b->blockLogs},
        {state.kb_placedID, b->placedID},
        {state.kb_finishedExecution, b->finishedExecution},
        {state.kb_storedOutputs, b->storedOutputs},
        {state.kb_variables, variables.get()},
        {state.kb_variableConnections, connections.get()},
        {state.kb_variableConnectionsReference, references.get()},
        {state.kb_selectedInputGroup, b->selectedInputGroup},
        {state.kb_selectedRemote, b->selectedRemote},
        {state.kb_extensionsToOpen, b->extensionsToOpen},
        {state.kb_time, b->time},
        {state.kb_extraData, b->extraData},
        {state.kb_dirty, b->dirty},
    });
    return ok ? dict : Ref();
}

}  // namespace

Ref block_minimal_encode(ModuleState& state, PyObject* self) { return minimal_encode(state, self, false); }

bool block_complete_dict(ModuleState& state, PyObject* self, PyObject* dict) {
    PluginBlockObject* b = as_block(self);
    if (!slot_or_raise(self, b->externalURL, "externalURL") || !slot_or_raise(self, b->variables, "_variables") ||
        !slot_or_raise(self, b->name, "name") || !slot_or_raise(self, b->description, "description") ||
        !slot_or_raise(self, b->inputGroups, "_inputGroups") || !slot_or_raise(self, b->outputs, "_outputs") ||
        !slot_or_raise(self, b->TYPE, "TYPE")) {
        return false;
    }
    Ref variables = variables_to_dict(state, b->variables, false);
    if (!variables) return false;
    Ref inputs = input_groups_to_dict(state, b->inputGroups);
    if (!inputs) return false;
    Ref outputs = variables_to_dict(state, b->outputs, false);
    if (!outputs) return false;
    Ref type = Ref::steal(PyObject_Str(b->TYPE));
    if (!type) return false;
    return pyutil::put_all(dict, {
                                     {state.kb_externalURL, b->externalURL},
                                     {state.kb_variables, variables.get()},
                                     {state.kb_name, b->name},
                                     {state.kb_description, b->description},
                                     {state.kb_inputs, inputs.get()},
                                     {state.kb_outputs, outputs.get()},
                                     {state.kb_type, type.get()},
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
    PyObject* variables = as_block(self)->variables;
    if (variables != nullptr &&
        uses_builtin_method(Py_TYPE(self), state.kb_minimalEncode,
                            reinterpret_cast<void (*)()>(block_method_minimalEncode)) &&
        plain_variables(state, variables)) {
        // The minimal variable dictionaries would be replaced at once: skip building them.
        dict = minimal_encode(state, self, true);
    } else {
        dict = minimal_via_object(state, self);
    }
    if (!dict || !block_complete_dict(state, self, dict.get())) return Ref();
    return dict;
}

}  // namespace

Ref block_to_dict_via_object(ModuleState& state, PyObject* self) {
    if (uses_builtin_method(Py_TYPE(self), state.kb_private_toDict, reinterpret_cast<void (*)()>(block_method_toDict))) {
        return base_to_dict(state, self);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(self, state.kb_private_toDict));
}

PyObject* block_method_minimalEncode(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    if (!pyutil::parse_none("_minimalEncode", nargs, kwnames)) return nullptr;
    return block_minimal_encode(*state_of_class(cls), self).release();
}

PyObject* block_method_toDict(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!pyutil::parse_none("_toDict", nargs, kwnames)) return nullptr;
    return base_to_dict(*state_of_class(cls), self).release();
}

PyObject* block_method_variablesToDict(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("_variablesToDict", Param{"vars", Accept::List, true}, Param{"minimal"});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    const int minimal = bound.given(1) ? PyObject_IsTrue(bound[1]) : 0;
    if (minimal < 0) return nullptr;
    return variables_to_dict(*state_of_class(cls), bound[0], minimal == 1).release();
}

PyObject* block_method_inputGroupsToDict(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("_inputGroupsToDict", Param{"inputGroups", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    return input_groups_to_dict(*state_of_class(cls), bound[0]).release();
}

PyObject* block_method_connectionsToDict(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("_connectionsToDict", Param{"references"});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    const int references = bound.given(0) ? PyObject_IsTrue(bound[0]) : 0;
    if (references < 0) return nullptr;
    return connections_to_dict(*state_of_class(cls), self, references == 1).release();
}

}  // namespace plugins
