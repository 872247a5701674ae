// SlurmBlock.Status: the job states of the cluster's queue system, as a Python enumeration.
//
// The class is built with the standard `enum` module (so members behave exactly like those of
// any Python enumeration: identity, pickling, iteration, repr) and then given two behaviours of
// its own: its text form is the member's value, and converting any unknown value gives UNKNOWN
// instead of failing, because the host and the editor may report states we do not list.
#include "cluster.hpp"

#include "../../pyutil/dict.hpp"
#include "../../pyutil/types.hpp"

#include <iterator>

namespace plugins {
namespace {

using pyutil::Ref;

// In the order the enumeration lists them; each member's value is its own name.
constexpr const char* kStateNames[] = {
    "BOOT_FAIL",     "CANCELLED",   "CANCELLING",   "COMPLETED", "CONFIGURING", "COMPLETING", "DEADLINE",
    "FAILED",        "NODE_FAIL",   "OUT_OF_ME",    "PENDING",   "PREEMPTED",   "RUNNING",    "RESV_DEL_HOLD",
    "REQUEUE_FED",   "REQUEUE_HOLD", "REQUEUED",    "RESIZING",  "REVOKED",     "SIGNALING",  "SPECIAL_EXIT",
    "STAGE_OUT",     "STOPPED",     "SUSPENDED",    "TIMEOUT",   "UNKNOWN",     "IDLE",
};

// Status.__str__: the member's value ("RUNNING").
PyObject* status_str(PyObject* self, PyObject*) {
    Ref value = Ref::steal(PyObject_GetAttrString(self, "_value_"));
    if (!value) return nullptr;
    return PyObject_Str(value.get());
}

// Status._missing_(value): called by the enumeration for every value that names no member.
PyObject* status_missing(PyObject* cls, PyObject*) { return PyObject_GetAttrString(cls, "UNKNOWN"); }

PyMethodDef status_str_def = {"__str__", status_str, METH_NOARGS, "The value of the member."};
PyMethodDef status_missing_def = {"_missing_", status_missing, METH_O,
                                  "Any value that names no member converts to UNKNOWN."};

// Enum("Status", [(name, name), ...], module="QorvelAPI.plugins", qualname="SlurmBlock.Status")
Ref build_enum_class() {
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return Ref();
    Ref enum_base = Ref::steal(PyObject_GetAttrString(enum_module.get(), "Enum"));
    Ref members = Ref::steal(PyList_New(0));
    if (!enum_base || !members) return Ref();
    for (const char* name : kStateNames) {
        Ref pair = Ref::steal(Py_BuildValue("(ss)", name, name));
        if (!pair || PyList_Append(members.get(), pair.get()) < 0) return Ref();
    }
    Ref class_name = Ref::steal(PyUnicode_FromString("Status"));
    Ref module_name = Ref::steal(PyUnicode_FromString("QorvelAPI.plugins"));
    Ref qualname = Ref::steal(PyUnicode_FromString("SlurmBlock.Status"));
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "module", "qualname"));
    if (!class_name || !module_name || !qualname || !kwnames) return Ref();
    PyObject* args[] = {class_name.get(), members.get(), module_name.get(), qualname.get()};
    return Ref::steal(PyObject_Vectorcall(enum_base.get(), args, 2, kwnames.get()));
}

bool add_behaviours(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref to_text = Ref::steal(PyDescr_NewMethod(type, &status_str_def));
    Ref missing = Ref::steal(PyDescr_NewClassMethod(type, &status_missing_def));
    Ref doc = Ref::steal(PyUnicode_FromString("The status of the block."));
    if (!to_text || !missing || !doc) return false;
    return PyObject_SetAttrString(cls, "__str__", to_text.get()) == 0 &&
           PyObject_SetAttrString(cls, "_missing_", missing.get()) == 0 &&
           PyObject_SetAttrString(cls, "__doc__", doc.get()) == 0;
}

bool cache_member(PyObject* cls, const char* name, PyObject*& slot) {
    slot = PyObject_GetAttrString(cls, name);
    return slot != nullptr;
}

// The members in order, with their values, capitalised values and a value -> member dictionary:
// the block converts and prints states on every poll, and the enumeration's own conversion and
// str() run Python code.
bool build_tables(PyObject* cls, ModuleState& state) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(std::size(kStateNames));
    Ref members = Ref::steal(PyTuple_New(count));
    Ref values = Ref::steal(PyTuple_New(count));
    Ref titles = Ref::steal(PyTuple_New(count));
    Ref by_value = Ref::steal(PyDict_New());
    if (!members || !values || !titles || !by_value) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref member = Ref::steal(PyObject_GetAttrString(cls, kStateNames[i]));
        Ref value = member ? Ref::steal(PyObject_GetAttrString(member.get(), "value")) : Ref();
        Ref title = value ? Ref::steal(PyObject_CallMethod(value.get(), "capitalize", nullptr)) : Ref();
        if (!title || PyDict_SetItem(by_value.get(), value.get(), member.get()) < 0) return false;
        PyTuple_SET_ITEM(members.get(), i, member.release());
        PyTuple_SET_ITEM(values.get(), i, value.release());
        PyTuple_SET_ITEM(titles.get(), i, title.release());
    }
    state.cl_statusMembers = members.release();
    state.cl_statusValues = values.release();
    state.cl_statusTitles = titles.release();
    state.cl_statusByValue = by_value.release();
    return true;
}

}  // namespace

bool register_slurm_status(ModuleState& state) {
    Ref cls = build_enum_class();
    if (!cls || !add_behaviours(cls.get()) || !build_tables(cls.get(), state)) return false;
    if (!cache_member(cls.get(), "UNKNOWN", state.cl_statusUNKNOWN) ||
        !cache_member(cls.get(), "IDLE", state.cl_statusIDLE) ||
        !cache_member(cls.get(), "COMPLETED", state.cl_statusCOMPLETED) ||
        !cache_member(cls.get(), "RUNNING", state.cl_statusRUNNING) ||
        !cache_member(cls.get(), "PENDING", state.cl_statusPENDING)) {
        return false;
    }
    if (!pyutil::set_class_attr(state.SlurmBlock, "Status", cls.get())) return false;
    state.SlurmBlockStatus = reinterpret_cast<PyTypeObject*>(cls.release());
    return true;
}

Ref to_slurm_status(const ModuleState& state, PyObject* value) {
    if (Py_IS_TYPE(value, state.SlurmBlockStatus)) return Ref::borrow(value);
    // A plain text is what the host and the editor send: a member's value or an unknown state.
    if (PyUnicode_CheckExact(value)) {
        PyObject* member = PyDict_GetItemWithError(state.cl_statusByValue, value);
        if (member == nullptr && PyErr_Occurred()) return Ref();
        return Ref::borrow(member != nullptr ? member : state.cl_statusUNKNOWN);
    }
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.SlurmBlockStatus), value));
}

Ref slurm_status_text(const ModuleState& state, PyObject* status, bool capitalised) {
    const Py_ssize_t count = PyTuple_GET_SIZE(state.cl_statusMembers);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(state.cl_statusMembers, i) == status) {
            return Ref::borrow(PyTuple_GET_ITEM(capitalised ? state.cl_statusTitles : state.cl_statusValues, i));
        }
    }
    Ref text = Ref::steal(PyObject_Str(status));
    if (!text || !capitalised) return text;
    return Ref::steal(PyObject_CallMethod(text.get(), "capitalize", nullptr));
}

}  // namespace plugins
