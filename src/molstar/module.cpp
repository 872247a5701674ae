// The extension module `QorvelAPI.molstar`: multi-phase initialisation and module state.
//
// The module holds one public class, `MolstarAPI`, through which block actions queue messages
// for the molecular viewer on the running flow. It links against nothing of `QorvelAPI.plugins`.
#include "state.hpp"

#include "../pyutil/dict.hpp"

namespace molstar {
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

// A new reference to `module.name`, or null with an exception set.
PyObject* import_attribute(const char* module, const char* name) {
    pyutil::Ref imported = pyutil::Ref::steal(PyImport_ImportModule(module));
    if (!imported) return nullptr;
    return PyObject_GetAttrString(imported.get(), name);
}

// Standard-library helpers and constants. The message texts must be exactly what Python's own
// json and os.path produce, so the module calls them rather than reimplementing them.
bool load_helpers(ModuleState& state) {
    return (state.json_dumps = import_attribute("json", "dumps")) != nullptr &&
           (state.json_loads = import_attribute("json", "loads")) != nullptr &&
           (state.path_basename = import_attribute("os.path", "basename")) != nullptr &&
           (state.path_abspath = import_attribute("os.path", "abspath")) != nullptr &&
           (state.get_logger = import_attribute("logging", "getLogger")) != nullptr &&
           (state.default_color = PyUnicode_InternFromString("#0000FF")) != nullptr &&
           (state.hash_sign = PyUnicode_InternFromString("#")) != nullptr &&
           (state.float_one = PyFloat_FromDouble(1.0)) != nullptr &&
           (state.int_zero = PyLong_FromLong(0)) != nullptr &&
           (state.int_five = PyLong_FromLong(5)) != nullptr;
}

int module_exec(PyObject* module) {
    ModuleState& state = *state_of_module(module);
    return intern_keys(state) && load_helpers(state) && register_api(module, state) ? 0 : -1;
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
    "QorvelAPI.molstar",
    "Viewer actions for the Mol* molecular viewer of the running flow.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace molstar

PyMODINIT_FUNC PyInit_molstar(void) { return PyModuleDef_Init(&molstar::module_def); }
