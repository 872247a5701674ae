// The extension module `QorvelAPI.molstar`: the viewer action channel of block actions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace molstar {
namespace {

struct ModuleState {
    PyObject* placeholder;
};

int module_exec(PyObject*) { return 0; }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "QorvelAPI.molstar", "Viewer actions for the Mol* molecular viewer.",
    sizeof(ModuleState), nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace molstar

PyMODINIT_FUNC PyInit_molstar(void) { return PyModuleDef_Init(&molstar::module_def); }
