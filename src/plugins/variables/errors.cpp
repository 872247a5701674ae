// UniqueVariableIDException: raised for duplicate variable identifiers in groups, lists and blocks.
#include "internal.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/types.hpp"

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr auto unique_id_signature = pyutil::signature(
    "UniqueVariableIDException.__init__", Param{"message", Accept::Str, true}, Param{"variableId", Accept::Str});

// The message becomes the exception's text (its only argument); variableId is an attribute.
int unique_id_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<unique_id_signature.size> bound;
    if (!pyutil::parse(unique_id_signature, args, kwargs, bound)) return -1;
    Ref unknown;
    PyObject* variable_id = bound[1];
    if (variable_id == nullptr) {
        unknown = Ref::steal(PyUnicode_FromString("Unknown"));
        if (!unknown) return -1;
        variable_id = unknown.get();
    }
    Ref message_args = Ref::steal(PyTuple_Pack(1, bound[0]));
    if (!message_args) return -1;
    if (reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, message_args.get(), nullptr) < 0) return -1;
    if (PyObject_SetAttr(self, state->k_message, bound[0]) < 0) return -1;
    return PyObject_SetAttr(self, state->k_variableId, variable_id);
}

PyType_Slot unique_id_slots[] = {
    {Py_tp_doc, const_cast<char*>("UniqueVariableIDException(message, variableId='Unknown')\n--\n\n"
                                  "Exception that is raised when a variable ID is not unique inside a block.")},
    {Py_tp_init, reinterpret_cast<void*>(unique_id_init)},
    {0, nullptr},
};

PyType_Spec unique_id_spec = {
    "QorvelAPI.plugins.UniqueVariableIDException",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    unique_id_slots,
};

}  // namespace

bool raise_unique_id(ModuleState& state, PyObject* message, PyObject* variable_id) {
    Ref error = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.UniqueVariableIDException), message));
    if (!error || PyObject_SetAttr(error.get(), state.k_variableId, variable_id) < 0) return false;
    PyErr_SetObject(reinterpret_cast<PyObject*>(state.UniqueVariableIDException), error.get());
    return false;
}

bool register_variable_errors(PyObject* module, ModuleState& state) {
    state.UniqueVariableIDException = pyutil::add_type(module, &unique_id_spec, PyExc_Exception);
    return state.UniqueVariableIDException != nullptr;
}

}  // namespace plugins
