// The extension module `QorvelAPI.plugins`: multi-phase initialisation and module state.
#include "state.hpp"

#include "../pyutil/log.hpp"

#include "../host/remote.hpp"  // member names used by keys_remote.def

namespace plugins {
namespace {

using pyutil::Ref;

#define QV_STATE_FIELDS "plugins/state_fields.def"
#include "../pyutil/module_state.inc"

int module_exec(PyObject* module) {
    ModuleState& state = *state_of_module(module);
    if (!intern_keys(state)) return -1;
    Ref logging = pyutil::import_logging();
    state.get_logger = logging ? PyObject_GetAttrString(logging.get(), "getLogger") : nullptr;
    if (state.get_logger == nullptr) return -1;
    const bool ok = register_variables(module, state) && register_connections(module, state) &&
                    register_custom_variable(module, state) && register_blocks(module, state) &&
                    register_remote(module, state) && register_cluster(module, state) &&
                    register_pages(module, state) && register_plugin(module, state);
    return ok ? 0 : -1;
}

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
