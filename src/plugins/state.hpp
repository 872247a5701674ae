// Module state of `QorvelAPI.plugins`: every type, interned key and cached Python object the
// module uses lives here (never in C++ globals), so each interpreter gets its own copy.
//
// The fields are listed in .def files, one per source unit, so that the traversal and clearing
// of the state are written once and each unit adds its own keys without touching the others.
#pragma once
#include "../pyutil/log.hpp"
#include "../pyutil/ref.hpp"

namespace plugins {

struct ModuleState {
#define QV_TYPE(name) PyTypeObject* name;
#define QV_KEY(field, text) PyObject* field;
#define QV_OBJECT(field) PyObject* field;
#include "state_fields.def"
#undef QV_TYPE
#undef QV_KEY
#undef QV_OBJECT
    // Not an object: where the last VariableTypes member was found in variable_types_by_address
    // (declarations come in runs of one type, so it is tried first). Zeroed with the state.
    Py_ssize_t last_member_position;
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// State reached from a method that received its defining class (METH_METHOD).
inline ModuleState* state_of_class(PyTypeObject* defining_class) noexcept {
    return static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
}

// State reached from an instance of one of our types or of a Python subclass of one.
// Returns null with an exception set if the type does not come from this module.
inline ModuleState* state_of_type(PyTypeObject* type) noexcept {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    return module != nullptr ? state_of_module(module) : nullptr;
}

inline ModuleState* state_of(PyObject* self) noexcept { return state_of_type(Py_TYPE(self)); }

// A warning to "Qorvel" (`format` %-style, `args` borrowed) through the logging names the state
// keeps: a warning that a disabled logger drops costs little more than Python's own call.
template <typename... Args>
bool log_warning(ModuleState& state, const char* format, Args... args) {
    pyutil::Ref text = pyutil::Ref::steal(PyUnicode_FromString(format));
    return text && pyutil::log_with(state.get_logger, state.log_name, state.log_warning_level, text.get(), args...);
}

// Registration of each source unit's types, called in this order by the module's exec slot.
bool register_variables(PyObject* module, ModuleState& state);
bool register_connections(PyObject* module, ModuleState& state);
bool register_custom_variable(PyObject* module, ModuleState& state);
bool register_blocks(PyObject* module, ModuleState& state);
bool register_remote(PyObject* module, ModuleState& state);
bool register_cluster(PyObject* module, ModuleState& state);
bool register_pages(PyObject* module, ModuleState& state);
bool register_plugin(PyObject* module, ModuleState& state);

}  // namespace plugins
