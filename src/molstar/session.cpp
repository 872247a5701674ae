// The scene of `loadMVJS`: a MolViewSpec scene state brought to the one JSON text the viewer reads.
//
// The scene builder of `mvs` gives its state from `get_state()`. Depending on the library's
// version that is a dictionary, a JSON text or a pydantic model; all three are accepted and
// brought to one dictionary, which is then sent exactly as a dictionary always was.
#include "operations.hpp"

#include "../pyutil/args.hpp"
#include "../pyutil/errors.hpp"

namespace molstar {
namespace {

using pyutil::Ref;

// The JSON text `text` read back as a dictionary. `what` names the source in the message of the
// ValueError raised when the text is not JSON or holds something other than an object.
Ref json_object(ModuleState& state, PyObject* text, const char* what) {
    Ref parsed = Ref::steal(PyObject_CallOneArg(state.json_loads, text));
    if (!parsed) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
        Ref cause = pyutil::fetch_exception();
        PyErr_Format(PyExc_ValueError, "Argument 'mvjs' %s is not valid JSON: %S", what, cause.get());
        pyutil::set_cause_of_current(std::move(cause));
        return {};
    }
    if (!PyDict_CheckExact(parsed.get())) {
        PyErr_Format(PyExc_ValueError, "Argument 'mvjs' %s must hold a JSON object (a scene state), got a JSON %s",
                     what, pyutil::type_name(parsed.get()));
        return {};
    }
    return parsed;
}

// 1 when `value` is an instance of the BaseModel of `module` (pydantic, or the v1 layer inside
// pydantic 2), 0 when not or when that module was never imported, -1 on error. A pydantic model
// can only exist once its library is imported, so this never imports anything.
int is_model_of(ModuleState& state, PyObject* value, PyObject* module_name) {
    PyObject* module = PyImport_GetModule(module_name);
    if (module == nullptr) return PyErr_Occurred() ? -1 : 0;
    Ref owned = Ref::steal(module);
    Ref base = Ref::steal(PyObject_GetAttr(module, state.a_BaseModel));
    if (!base) {
        PyErr_Clear();  // a partly imported or unusual module: not a model of it
        return 0;
    }
    if (!PyType_Check(base.get())) return 0;
    return PyObject_IsInstance(value, base.get());
}

int is_pydantic_model(ModuleState& state, PyObject* value) {
    int found = is_model_of(state, value, state.m_pydantic);
    if (found != 0) return found;
    return is_model_of(state, value, state.m_pydantic_v1);
}

// The model's own JSON form without null fields: `model_dump_json(exclude_none=True)` on
// pydantic 2 models, `json(exclude_none=True)` on pydantic 1 models.
Ref model_json(ModuleState& state, PyObject* model) {
    int has_v2 = PyObject_HasAttr(model, state.a_model_dump_json);
    PyObject* method = has_v2 ? state.a_model_dump_json : state.a_json;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, state.a_exclude_none));
    if (!kwnames) return {};
    PyObject* call_args[] = {model, Py_True};
    return Ref::steal(
        PyObject_VectorcallMethod(method, call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// `mvjs` as a dictionary: itself when it is one, else parsed from its JSON text or form.
Ref session_dict(ModuleState& state, PyObject* mvjs) {
    if (PyDict_CheckExact(mvjs)) return Ref::borrow(mvjs);
    if (PyUnicode_CheckExact(mvjs)) return json_object(state, mvjs, "(a text)");
    int model = is_pydantic_model(state, mvjs);
    if (model < 0) return {};
    if (model == 1) {
        Ref text = model_json(state, mvjs);
        if (!text) return {};
        return json_object(state, text.get(), "(a pydantic model)");
    }
    pyutil::raise_argument_type("mvjs", "dict", mvjs);
    return {};
}

}  // namespace

Ref session_text(ModuleState& state, PyObject* mvjs) {
    Ref session = session_dict(state, mvjs);
    if (!session) return {};
    // A state holding values without a JSON form fails here, before anything is queued.
    return Ref::steal(PyObject_CallOneArg(state.json_dumps, session.get()));
}

}  // namespace molstar
