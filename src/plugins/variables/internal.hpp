// Internal interface between the source files of the variables unit.
#pragma once
#include "variables.hpp"

#include "../../pyutil/args.hpp"

#include <structmember.h>

namespace plugins {

// VariableTypes and PluginBlockTypes (types.cpp).
bool register_enumerations(PyObject* module, ModuleState& state);
// Whether `type` equals a VariableTypes member; `error` is set when a comparison raised.
bool is_variable_type(ModuleState& state, PyObject* type, bool& error);
// What the "type" key of a dictionary holds: a plain string as it is, a member as its plain
// value string, anything else as its str() (may run Python code).
pyutil::Ref type_text(ModuleState& state, PyObject* type);

// A data descriptor that reads and writes an object slot on instances and answers a fixed
// class-level value when read on the class (descriptor.cpp).
bool register_slot_descriptor(PyObject* module, ModuleState& state);
// (install_slot_with_default, which blocks use too, is declared in variables.hpp.)

// The classes of the unit, registered in this order by register_variables.
bool register_plugin_variable(PyObject* module, ModuleState& state);
bool register_variable_group(PyObject* module, ModuleState& state);
bool register_variable_list(PyObject* module, ModuleState& state);
bool register_variable_errors(PyObject* module, ModuleState& state);

// Raises UniqueVariableIDException(message, variableId); always returns false.
bool raise_unique_id(ModuleState& state, PyObject* message, PyObject* variable_id);

// The `id` of a member variable: the slot for our classes, getattr for anything else.
pyutil::Ref member_id(ModuleState& state, PyObject* member);


// The dictionaries of groups and lists (their own toDict), used on the direct path.
pyutil::Ref group_dict(ModuleState& state, PyObject* group, bool minimal);
pyutil::Ref list_dict(ModuleState& state, PyObject* list, bool minimal);
// The member dictionaries of `members` (a list) under "variables" of `dict`.
bool put_member_dicts(ModuleState& state, PyObject* dict, PyObject* members, bool minimal);
// toDict's `minimal` argument; `sig` names the class's toDict (one parameter, "minimal").
bool parse_minimal(const pyutil::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   bool& minimal);

// Shared pieces of the three variable classes.
void dealloc_variable(PyObject* self);
PyObject* new_variable(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* variable_str(PyObject* self);

}  // namespace plugins
