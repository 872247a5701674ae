// The extension module `QorvelAPI.molstar`: multi-phase initialisation and module state.
//
// The module holds one public class, `MolstarAPI`, through which block actions queue messages
// for the molecular viewer on the running flow. It links against nothing of `QorvelAPI.plugins`.
#include "catalogue.hpp"
#include "state.hpp"

#include "../pyutil/ref.hpp"


namespace molstar {
namespace {

#define QV_STATE_FIELDS "molstar/state_fields.def"
#include "../pyutil/module_state.inc"

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
           (state.int_five = PyLong_FromLong(5)) != nullptr &&
           (state.operation_texts = intern_operation_texts().release()) != nullptr;
}

int module_exec(PyObject* module) {
    ModuleState& state = *state_of_module(module);
    return intern_keys(state) && load_helpers(state) && register_api(module, state) ? 0 : -1;
}

PyMethodDef module_methods[] = {
    {"_messageCatalogue", message_catalogue, METH_NOARGS,
     "_messageCatalogue()\n--\n\n"
     "The viewer messages that MolstarAPI sends, one dictionary per operation: its method, the\n"
     "message type, the action name written to the log, its parameters (name, and the default as\n"
     "the signature shows it), the keys of its data, and whether the viewer replays it after\n"
     "loading a session. A new list each call."},
    {nullptr, nullptr, 0, nullptr},
};

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
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace molstar

PyMODINIT_FUNC PyInit_molstar(void) { return PyModuleDef_Init(&molstar::module_def); }
