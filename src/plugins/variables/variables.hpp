// Object layouts of the variable model, shared by the units that read variables directly
// (blocks, plugin, custom variable). Every slot holds a strong reference or null ("not set").
#pragma once
#include "../state.hpp"
#include "../../pyutil/gc_fields.hpp"

namespace plugins {

struct PluginVariableObject {
    PyObject_HEAD
    PyObject* dict;         // instance __dict__ (hosts and authors add attributes)
    PyObject* weakrefs;     // weak reference list
    PyObject* id;
    PyObject* name;
    PyObject* description;
    PyObject* type;         // a VariableTypes member or a plain string, as given
    PyObject* defaultValue;
    PyObject* value;
    PyObject* allowedValues;
    PyObject* category;
    PyObject* disabled;
    PyObject* required;
    PyObject* placeholder;
};

struct VariableGroupObject {
    PluginVariableObject base;
    PyObject* variables;    // the members: the list given to the constructor
};

struct VariableListObject {
    PluginVariableObject base;
    PyObject* prototypes;   // the column definitions: the list given to the constructor
};

struct CustomVariableObject {
    PluginVariableObject base;
    PyObject* customPage;   // the PluginPage that renders the variable
};

inline PluginVariableObject* as_variable(PyObject* obj) noexcept {
    return reinterpret_cast<PluginVariableObject*>(obj);
}

inline bool is_variable(const ModuleState& state, PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, state.PluginVariable);
}
inline bool is_group(const ModuleState& state, PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, state.VariableGroup);
}
inline bool is_list(const ModuleState& state, PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, state.VariableList);
}

// The variable's dictionary as its own class builds it (`obj.toDict(minimal)`), so a Python
// subclass that overrides toDict is honoured; our own classes take a direct path.
pyutil::Ref variable_to_dict(ModuleState& state, PyObject* variable, bool minimal);

// The dictionary of PluginVariable itself (the ten keys, or three when minimal), for kinds that
// extend it in C++ (CustomVariable appends its keys to it).
pyutil::Ref base_variable_dict(ModuleState& state, PyObject* variable, bool minimal);

// Arguments of the construction of a plain variable, borrowed; null means "not given" (the
// parameter's default). The argument types must already have been checked by the caller's parser
// (exact str for id, name and description; list or None for allowedValues; str or None for
// category and placeholder), as pyutil::parse does with the signatures below.
struct VariableArgs {
    PyObject* id = nullptr;
    PyObject* name = nullptr;
    PyObject* description = nullptr;
    PyObject* type = nullptr;
    PyObject* defaultValue = nullptr;
    PyObject* allowedValues = nullptr;
    PyObject* category = nullptr;
    PyObject* disabled = nullptr;
    PyObject* required = nullptr;
    PyObject* placeholder = nullptr;
};

// Runs the construction of a plain variable (type check, _GROUP refusal for non-groups,
// normalisation of allowedValues, category and default, the LIST checks and warnings) on an
// already-allocated object whose type derives from PluginVariable. Nothing is stored unless every
// check passes. Returns false with an exception set.
bool init_variable(ModuleState& state, PyObject* self, const VariableArgs& args);

// The editor-update paths of groups and lists (`_updateVariablesInGroup(values)` with a dict,
// `_updateVariablesInList(value)` with a list or None), callable from C++. They check their
// argument like the Python methods do.
bool update_variables_in_group(ModuleState& state, PyObject* group, PyObject* values);
bool update_variables_in_list(ModuleState& state, PyObject* list, PyObject* value);

// The value that `update_variables_in_list` stores (the rows copied, held columns replaced, or
// None), computed without storing it.
pyutil::Ref list_update_value(ModuleState& state, PyObject* list, PyObject* value);

// Sets a variable's `value`: straight into the slot for our own classes, through setattr for
// Python subclasses (which may define a property). Used by the group update and by blocks.
bool set_variable_value(ModuleState& state, PyObject* variable, PyObject* value);

// Whether `obj` is exactly one of our classes (so its slots can be used directly).
inline bool is_own_variable_class(const ModuleState& state, PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    return t == state.PluginVariable || t == state.VariableGroup || t == state.VariableList ||
           (state.CustomVariable != nullptr && t == state.CustomVariable);
}

// A constructor's assignment of attribute `name`: straight into `slot` when `own` (the object is
// exactly one of our classes), through setattr otherwise, so that a Python subclass's property
// or __setattr__ sees it as it would in Python.
inline bool store_field(PyObject* self, bool own, PyObject*& slot, PyObject* name, PyObject* value) {
    if (own) {
        pyutil::assign_slot(slot, value);
        return true;
    }
    return PyObject_SetAttr(self, name, value) == 0;
}

// Walks the identifiers of `members` (a list) in order; `repeated` receives the first one equal to
// an earlier one and stays unset when all differ. Returns false with an exception set.
bool find_repeated_id(ModuleState& state, PyObject* members, pyutil::Ref& repeated);

// Installs on `owner` the slot descriptor of the variables unit: it reads and writes the object
// slot at `offset` on instances and answers `class_value` when read on the class (blocks use it
// for their run-state attributes too).
bool install_slot_with_default(ModuleState& state, PyTypeObject* owner, const char* name, Py_ssize_t offset,
                               PyObject* class_value, const char* doc);

// The copy and pickle state of an object whose attributes live in member slots: every set
// member slot and `__dict__` entry (pyutil::members_getstate), plus the slots behind the
// descriptors above, which are not members. New dictionary, or null with an exception.
pyutil::Ref slots_getstate(ModuleState& state, PyObject* self);

// Cyclic-GC support for C++ kinds that extend PluginVariableObject: their tp_traverse and
// tp_clear call these for the base fields (dict included). The base tp_dealloc calls the
// instance type's tp_clear, so a C++ kind need not define its own dealloc.
// The reference slots of a variable, for the GC of every variable kind.
using VariableFields =
    pyutil::GcFields<&PluginVariableObject::dict, &PluginVariableObject::id, &PluginVariableObject::name,
                     &PluginVariableObject::description, &PluginVariableObject::type,
                     &PluginVariableObject::defaultValue, &PluginVariableObject::value,
                     &PluginVariableObject::allowedValues, &PluginVariableObject::category,
                     &PluginVariableObject::disabled, &PluginVariableObject::required,
                     &PluginVariableObject::placeholder>;

}  // namespace plugins
