// Module state of `QorvelAPI.molstar`: the module's classes, interned keys and the few standard
// library helpers it calls live here (never in C++ globals), so each interpreter that imports
// the module gets its own copy. The fields are listed once, in state_fields.def.
#pragma once
#include "../pyutil/ref.hpp"

namespace molstar {

struct ModuleState {
#define QV_TYPE(name) PyTypeObject* name;
#define QV_KEY(field, text) PyObject* field;
#define QV_OBJECT(field) PyObject* field;
#include "state_fields.def"
#undef QV_TYPE
#undef QV_KEY
#undef QV_OBJECT
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// State reached from a method that received its defining class (METH_METHOD).
inline ModuleState* state_of_class(PyTypeObject* defining_class) noexcept {
    return static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
}

// State reached from an instance of our class or of any subclass of it (getters, tp_init).
// Returns null with an exception set if the type does not come from this module.
inline ModuleState* state_of(PyObject* self) noexcept {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    return module != nullptr ? state_of_module(module) : nullptr;
}

// Creates the C base class and the public, singleton `MolstarAPI` class (api_type.cpp).
bool register_api(PyObject* module, ModuleState& state);

}  // namespace molstar
