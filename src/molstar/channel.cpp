// The viewer action channel: `_emitAction`, which stamps a viewer message with the running flow's
// savedID and queues it on the flow, and `mvs`, the scene-description library handed to actions.
#include "operations.hpp"

#include "../pyutil/args.hpp"
#include "../pyutil/dict.hpp"
#include "../pyutil/log.hpp"

namespace molstar {
namespace {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

// Queues `data` on the running flow. Both members of the flow are read before anything is
// changed, so a flow that lacks one of them leaves the caller's message untouched.
PyObject* queue_on_flow(ModuleState& state, PyObject* self, PyObject* data) {
    Ref flow = Ref::steal(PyObject_GetAttr(self, state.a_flow));
    if (!flow) return nullptr;
    if (flow.get() == Py_None) {
        PyErr_SetString(PyExc_Exception, "Could not run the MolstarAPI. No flow is currently running");
        return nullptr;
    }
    Ref saved_id = Ref::steal(PyObject_GetAttr(flow.get(), state.k_savedID));
    if (!saved_id) return nullptr;
    Ref pending = Ref::steal(PyObject_GetAttr(flow.get(), state.a_pendingActions));
    if (!pending) return nullptr;
    if (PyList_CheckExact(pending.get())) {
        if (PyDict_SetItem(data, state.k_savedID, saved_id.get()) < 0) return nullptr;
        if (PyList_Append(pending.get(), data) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    // A host queue that is not a plain list only needs to be appendable.
    Ref append = Ref::steal(PyObject_GetAttr(pending.get(), state.a_append));
    if (!append) return nullptr;
    if (PyDict_SetItem(data, state.k_savedID, saved_id.get()) < 0) return nullptr;
    Ref appended = Ref::steal(PyObject_CallOneArg(append.get(), data));
    if (!appended) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto emit_signature = pyutil::signature("MolstarAPI._emitAction", Param{"action", Accept::Str, true},
                                                  Param{"data", Accept::Dict, true});

}  // namespace

std::string emit_action_doc() {
    return pyutil::text_signature(emit_signature) +
           "Emits the given action with the given data to Mol*\n\n"
           "Args:\n"
           "    action: The name of the action, written to the log.\n"
           "    data: The viewer message; it is stamped with the flow's savedID and queued on the\n"
           "        running flow's pendingActions.";
}

MOLSTAR_METHOD(emit_action) {
    pyutil::Bound<emit_signature.size> bound;
    if (!pyutil::parse(emit_signature, args, nargs, kwnames, bound)) return nullptr;
    // The action name is for the log only; the viewer goes by the message's "type".
    ModuleState& state = *state_of_class(defining_class);
    if (!pyutil::log_with(state.get_logger, state.log_name, state.log_debug, state.log_action, bound[0])) {
        return nullptr;
    }
    return queue_on_flow(state, self, bound[1]);
}

PyObject* emit_message(ModuleState& state, PyObject* self, PyObject* action, PyObject* type, PyObject* data) {
    Ref message = pyutil::make_dict({{state.k_type, type}, {state.k_data, data}});
    if (!message) return nullptr;
    PyObject* call_args[] = {self, action, message.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(state.a_emitAction, call_args,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// Raises the ImportError a plugin author sees when the optional scene library is missing,
// chained to the import system's own error.
PyObject* raise_missing_molviewspec(ModuleState& state, Ref cause) {
    Ref message = Ref::steal(PyUnicode_FromString(
        "MolstarAPI.mvs needs the package 'molviewspec', which is not installed. It is an optional "
        "dependency of QorvelAPI, used only to build scenes with MolViewSpec: install it "
        "(pip install molviewspec) to use MolstarAPI.mvs."));
    if (!message) return nullptr;
    PyErr_SetImportErrorSubclass(PyExc_ModuleNotFoundError, message.get(), state.m_molviewspec, nullptr);
    pyutil::set_cause_of_current(std::move(cause));
    return nullptr;
}

// True when `error` says that the module `molviewspec` itself could not be found (not one of
// the modules it imports in turn, whose error is left as it is).
bool is_molviewspec_missing(ModuleState& state, PyObject* error) {
    if (!PyErr_GivenExceptionMatches(error, PyExc_ModuleNotFoundError)) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(error, "name"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    int equal = PyObject_RichCompareBool(name.get(), state.m_molviewspec, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

}  // namespace

// The library is imported when the property is read, never when this module loads: most
// plugins never build a scene, and the library is an optional dependency.
PyObject* get_mvs(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    PyObject* loaded = PyImport_GetModule(state->m_molviewspec);
    if (loaded != nullptr && loaded != Py_None) return loaded;
    Py_XDECREF(loaded);
    if (PyErr_Occurred()) return nullptr;
    PyObject* imported = PyImport_Import(state->m_molviewspec);
    if (imported != nullptr) return imported;
    Ref error = pyutil::fetch_exception();
    if (error && is_molviewspec_missing(*state, error.get())) return raise_missing_molviewspec(*state, error);
    pyutil::reraise(std::move(error));
    return nullptr;
}

}  // namespace molstar
