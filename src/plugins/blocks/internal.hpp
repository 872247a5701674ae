// Internal declarations of the blocks unit: the operations of PluginBlock live in several files
// (core, accessors and run state, document, update from the editor, special blocks, copy) and
// are collected into one method table in core.cpp.
#pragma once
#include "blocks.hpp"
#include "../variables/variables.hpp"

#include "../../pyutil/args.hpp"

namespace plugins {

// METH_METHOD | METH_FASTCALL | METH_KEYWORDS: the defining class gives the module state cheaply.
using MethodFn = PyObject* (*)(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

#define QV_METHOD_FLAGS (METH_METHOD | METH_FASTCALL | METH_KEYWORDS)

// A field of a variable: read from the slot for our own variable types, through the attribute
// otherwise (a duck-typed object in a variable list). New reference or null with an exception.
inline pyutil::Ref variable_field(ModuleState& state, PyObject* variable, PyObject* PluginVariableObject::*field,
                                  PyObject* name) {
    if (is_own_variable_class(state, variable)) {
        PyObject* value = as_variable(variable)->*field;
        if (value != nullptr) return pyutil::Ref::borrow(value);
    }
    return pyutil::Ref::steal(PyObject_GetAttr(variable, name));
}

// Whether a variable is disabled (its `disabled` taken as a truth value); -1 on error.
inline int variable_disabled(ModuleState& state, PyObject* variable) {
    pyutil::Ref flag = variable_field(state, variable, &PluginVariableObject::disabled, state.k_disabled);
    if (!flag) return -1;
    if (flag.get() == Py_False) return 0;
    if (flag.get() == Py_True) return 1;
    return PyObject_IsTrue(flag.get());
}

// The members of a group / the prototypes of a list (new reference), read as an attribute when
// the object is not our own type.
pyutil::Ref group_members(ModuleState& state, PyObject* group);

// The access value of a variable (a group gives a new dictionary of member id -> value).
pyutil::Ref access_value(ModuleState& state, PyObject* variable);

// Dictionary id -> access value over a list of variables, in order.
pyutil::Ref access_dict(ModuleState& state, PyObject* variables);

// The selected input group, or null: with `no_groups` false an exception is set (lookup
// failure), with `no_groups` true the block has no input groups at all.
pyutil::Ref selected_group(ModuleState& state, PyObject* self, bool& no_groups);

// Applies a values dictionary to a list of variables: validates every value first (groups take
// dictionaries, lists take lists of row dictionaries or null) so that a refused value changes
// nothing, then assigns; the assignment restores the previous values if a member update fails.
bool update_variables(ModuleState& state, PyObject* variables, PyObject* values);

// A group's `_updateVariablesInGroup(values)` / a list's `_updateVariablesInList(value)`: the
// C++ update for our own classes, the method through the object for a Python subclass (which
// may override it).
bool update_group_via_object(ModuleState& state, PyObject* group, PyObject* values);
bool update_list_via_object(ModuleState& state, PyObject* list, PyObject* value);

// True when `type` resolves `name` to the built-in method implemented by `fn` (so the object's
// class does not override it and the C++ function may be called directly).
bool uses_builtin_method(PyTypeObject* type, PyObject* name, void (*fn)());

// Methods implemented in the individual files.
PyObject* block_method_parseID(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_copy(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_deepcopy(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_shallowcopy(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_getstate(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_setstate(PyObject* self, PyObject* state);
PyObject* block_method_getVariables(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_parseForAccess(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_setOutput(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_cleanRun(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_setRemote(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_minimalEncode(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_toDict(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_variablesToDict(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_inputGroupsToDict(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_connectionsToDict(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_updateVariables(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_updateInputs(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* block_method_parseInternal(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* block_get_variables(PyObject* self, void*);
PyObject* block_get_inputs(PyObject* self, void*);
PyObject* block_get_outputs(PyObject* self, void*);

// The block's `_toDict` as its class defines it (GhostBlock, Python subclasses).
pyutil::Ref block_to_dict_via_object(ModuleState& state, PyObject* self);

// Registration of the special block kinds (after PluginBlock).
bool register_special_blocks(PyObject* module, ModuleState& state);

}  // namespace plugins
