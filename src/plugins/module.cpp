// The extension module `QorvelAPI.plugins`: multi-phase initialisation and module state.
#include "state.hpp"

#include "../host/remote.hpp"  // member names used by keys_remote.def
#include "../pyutil/dict.hpp"

namespace plugins {
namespace {

bool intern_keys(ModuleState& state) {
#define QV_TYPE(name)
#define QV_OBJECT(field)
#define QV_KEY(field, text) \
    if ((state.field = pyutil::intern(text)) == nullptr) return false;
#include "state_fields.def"
#undef QV_TYPE
#undef QV_KEY
#undef QV_OBJECT
    return true;
}

int module_exec(PyObject* module) {
    ModuleState& state = *state_of_module(module);
    if (!intern_keys(state)) return -1;
    const bool ok = register_variables(module, state) && register_connections(module, state) &&
                    register_custom_variable(module, state) && register_blocks(module, state) &&
                    register_remote(module, state) && register_cluster(module, state) &&
                    register_pages(module, state) && register_plugin(module, state);
    return ok ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return 0;
#define QV_TYPE(name) Py_VISIT(state->name);
#define QV_KEY(field, text) Py_VISIT(state->field);
#define QV_OBJECT(field) Py_VISIT(state->field);
#include "state_fields.def"
#undef QV_TYPE
#undef QV_KEY
#undef QV_OBJECT
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = state_of_module(module);
    if (state == nullptr) return 0;
#define QV_TYPE(name) Py_CLEAR(state->name);
#define QV_KEY(field, text) Py_CLEAR(state->field);
#define QV_OBJECT(field) Py_CLEAR(state->field);
#include "state_fields.def"
#undef QV_TYPE
#undef QV_KEY
#undef QV_OBJECT
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "QorvelAPI.plugins",
    "The object model of Qorvel plugins: variables, blocks, connections, remotes, plugins and pages.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace plugins

PyMODINIT_FUNC PyInit_plugins(void) { return PyModuleDef_Init(&plugins::module_def); }
