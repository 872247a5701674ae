// Object layouts of the variable model, shared by the units that read variables directly
// (blocks, plugin, custom variable). Every slot holds a strong reference or null ("not set").
#pragma once
#include "state.hpp"

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
// subclass that overrides toDict is honoured. Defined in variables.cpp.
pyutil::Ref variable_to_dict(ModuleState& state, PyObject* variable, bool minimal);

}  // namespace plugins
