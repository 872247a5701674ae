// PluginRemote: the facade through which block actions reach the remote that the user selected
// for the block. Every operation delegates to the host's remote object; the facade adds the
// expansion of "~" on the remote side of transfers, the default of `changeDir`, the test for
// the local machine, and the argument and result type contract.
#include "remote.hpp"

#include "../../host/remote.hpp"
#include "../../pyutil/args.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;


using RemoteFields = pyutil::GcFields<&PluginRemoteObject::dict, &PluginRemoteObject::remote>;

void remote_dealloc(PyObject* self) {
    pyutil::dealloc_gc_object<remote_dealloc>(self, [](PyObject* obj) { RemoteFields::clear<PluginRemoteObject>(obj); });
}

// A strong reference to the host remote object: the host's own code, run by any operation on
// it, may replace or delete the facade's `_remote`.
Ref wrapped(PyObject* self) { return pyutil::slot_ref(self, as_remote(self)->remote, "_remote"); }

// Results declared as `str` (or null) / `int` (or null) by the facade.
PyObject* checked(PyObject* result, bool want_int) {
    if (result == nullptr || result == Py_None) return result;
    const bool ok = want_int ? PyLong_CheckExact(result) : PyUnicode_CheckExact(result);
    if (ok) return result;
    pyutil::raise_expected(want_int ? "int" : "str", result);
    Py_DECREF(result);
    return nullptr;
}

bool construct(ModuleState& state, PyObject* self, PyObject* host_remote) {
    // `block.remote.cd(path)` is the host remote object's own operation, bound on the instance.
    Ref cd = Ref::steal(PyObject_GetAttr(host_remote, state.kr_cd));
    if (!cd) return false;
    pyutil::assign_slot(as_remote(self)->remote, host_remote);
    return PyObject_GenericSetAttr(self, state.kr_cd, cd.get()) == 0;
}

constexpr auto init_signature = pyutil::signature("PluginRemote.__init__", Param{"remote", Accept::Any, true});

int remote_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<1> bound;
    if (!pyutil::parse(init_signature, args, kwargs, bound)) return -1;
    return construct(*state, self, bound[0]) ? 0 : -1;
}

PyObject* remote_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    ModuleState* state = state_of_type(tp);
    if (state == nullptr) return nullptr;
    pyutil::Bound<1> bound;
    if (!pyutil::parse(init_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self || !construct(*state, self.get(), bound[0])) return nullptr;
    return self.release();
}

// A remote-side path with every "~" replaced by the remote's current home directory.
Ref expand_home(ModuleState& state, PyObject* self, PyObject* path) {
    const Py_ssize_t at = PyUnicode_FindChar(path, '~', 0, PyUnicode_GET_LENGTH(path), 1);
    if (at == -2) return Ref();
    if (at == -1) return Ref::borrow(path);
    Ref remote = wrapped(self);
    if (!remote) return Ref();
    Ref home = Ref::steal(checked(PyObject_GetAttr(remote.get(), state.kr_userHome), false));
    if (!home) return Ref();
    if (home.get() == Py_None) {
        pyutil::raise_expected("str", home.get());
        return Ref();
    }
    return Ref::steal(PyUnicode_Replace(path, state.kr_tilde, home.get(), -1));
}

PyObject* remote_command(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginRemote.remoteCommand", Param{"command", Accept::Str, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    Ref remote = wrapped(self);
    if (!remote) return nullptr;
    return PyObject_CallMethodOneArg(remote.get(), state_of_class(cls)->kr_command, bound[0]);
}

PyObject* transfer(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   bool upload) {
    static constexpr auto send_sig = pyutil::signature("PluginRemote.sendData", Param{"source", Accept::Str, true},
                                                       Param{"destination", Accept::Str, true});
    static constexpr auto get_sig = pyutil::signature("PluginRemote.getData", Param{"source", Accept::Str, true},
                                                      Param{"destination", Accept::Str, true});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(upload ? send_sig : get_sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(cls);
    Ref remote = wrapped(self);
    if (!remote) return nullptr;
    // Only the remote side (destination of an upload, source of a download) is expanded.
    Ref source = upload ? Ref::borrow(bound[0]) : expand_home(state, self, bound[0]);
    if (!source) return nullptr;
    Ref destination = upload ? expand_home(state, self, bound[1]) : Ref::borrow(bound[1]);
    if (!destination) return nullptr;
    PyObject* call_args[] = {remote.get(), source.get(), destination.get()};
    PyObject* name = upload ? state.kr_transferTo : state.kr_transferFrom;
    return checked(PyObject_VectorcallMethod(name, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), false);
}

PyObject* remote_sendData(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return transfer(self, cls, args, nargs, kwnames, true);
}

PyObject* remote_getData(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return transfer(self, cls, args, nargs, kwnames, false);
}

PyObject* remote_submitJob(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginRemote.submitJob", Param{"script", Accept::Str, true}, Param{"changeDir"});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    Ref remote = wrapped(self);
    if (!remote) return nullptr;
    PyObject* call_args[] = {remote.get(), bound[0], bound.get_or(1, Py_True)};
    return checked(PyObject_VectorcallMethod(state_of_class(cls)->kr_submitJob, call_args,
                                             3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                   true);
}

// The class-level `cd`: only reached when the instance attribute bound by the constructor was
// removed; it asks the host remote object for the same context manager.
PyObject* remote_cd(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginRemote.cd", Param{"path", Accept::Str, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    Ref remote = wrapped(self);
    if (!remote) return nullptr;
    return PyObject_CallMethodOneArg(remote.get(), state_of_class(cls)->kr_cd, bound[0]);
}

// Properties: read from the host remote object on every access.
PyObject* live_attribute(PyObject* self, PyObject* ModuleState::*name) {
    ModuleState* state = state_of(self);
    Ref remote = state != nullptr ? wrapped(self) : Ref();
    if (!remote) return nullptr;
    return checked(PyObject_GetAttr(remote.get(), state->*name), false);
}

PyObject* get_userHome(PyObject* self, void*) { return live_attribute(self, &ModuleState::kr_userHome); }
PyObject* get_workDir(PyObject* self, void*) { return live_attribute(self, &ModuleState::kr_workDir); }
PyObject* get_name(PyObject* self, void*) { return live_attribute(self, &ModuleState::kr_name); }
PyObject* get_host(PyObject* self, void*) { return live_attribute(self, &ModuleState::kr_host); }

PyObject* get_isLocal(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    Ref remote = state != nullptr ? wrapped(self) : Ref();
    if (!remote) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(remote.get(), state->kr_name));
    if (!name) return nullptr;
    return PyObject_RichCompare(name.get(), state->kr_Local, Py_EQ);
}

// Pickling: the wrapped host object and the bound `cd`, so a remote pickles when its host
// object does.
PyObject* remote_getstate(PyObject* self, PyObject*) { return pyutil::members_getstate(self).release(); }

PyObject* remote_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

PyMemberDef remote_members[] = {
    {"_remote", T_OBJECT_EX, offsetof(PluginRemoteObject, remote), 0, "The host's remote object that this wraps."},
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginRemoteObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginRemoteObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef remote_methods[] = {
    {"remoteCommand", pyutil::as_method(remote_command), method_flags,
     "remoteCommand($self, /, command)\n--\n\n"
     "Executes a command on the remote.\n\nThe output of the command will be returned.\n\n"
     "Args:\n    command: The shell command, run in the remote's current folder.\n\n"
     "Returns:\n    The command's output."},
    {"sendData", pyutil::as_method(remote_sendData), method_flags,
     "sendData($self, /, source, destination)\n--\n\n"
     "Sends a file to the remote.\n\nReturns: The final absolute path to the uploaded file."},
    {"getData", pyutil::as_method(remote_getData), method_flags,
     "getData($self, /, source, destination)\n--\n\n"
     "Gets a file from the remote.\n\nReturns: The final absolute path to the downloaded file."},
    {"submitJob", pyutil::as_method(remote_submitJob), method_flags,
     "submitJob($self, /, script, changeDir=True)\n--\n\n"
     "Submit a slurm job to the queue system of the cluster (SLURM)\n\n"
     "changeDir: automatically cd to the container folder of the script. Disable this if using the cd context "
     "manager or for specific cases.\n\nReturns: The job ID."},
    {"cd", pyutil::as_method(remote_cd), method_flags,
     "cd($self, /, path)\n--\n\n"
     "Context manager to change directory on the remote.\n\nWorks with the remoteCommand, submitJob and send/get "
     "data functions.\n\n"
     "Args:\n    path: The folder on the remote, for the commands inside the with block."},
    {"__getstate__", remote_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, for pickling."},
    {"__setstate__", remote_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nRestores pickled attributes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef remote_getset[] = {
    {"userHome", get_userHome, nullptr, "Returns the expanded user home directory.", nullptr},
    {"workDir", get_workDir, nullptr, "Returns the Qorvel directory on the remote.\n\nIf on local, returns the flow directory.",
     nullptr},
    {"name", get_name, nullptr, "Returns the name of the remote.", nullptr},
    {"host", get_host, nullptr, "Returns the host adress of the remote.", nullptr},
    {"isLocal", get_isLocal, nullptr, "Returns whether the remote is local or not", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot remote_slots[] = {
    {Py_tp_doc, const_cast<char*>("PluginRemote(remote)\n--\n\nRemote interface for blocks")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(remote_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(remote_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(RemoteFields::traverse<PluginRemoteObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(RemoteFields::clear<PluginRemoteObject>)},
    {Py_tp_members, remote_members},
    {Py_tp_methods, remote_methods},
    {Py_tp_getset, remote_getset},
    {0, nullptr},
};

PyType_Spec remote_spec = {
    "QorvelAPI.plugins.PluginRemote",
    sizeof(PluginRemoteObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    remote_slots,
};

}  // namespace

Ref new_plugin_remote(ModuleState& state, PyObject* host_remote) {
    PyObject* args[] = {host_remote};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.PluginRemote), args, 1, nullptr));
}

bool register_remote(PyObject* module, ModuleState& state) {
    state.PluginRemote = pyutil::add_type(module, &remote_spec);
    if (state.PluginRemote == nullptr) return false;
    state.PluginRemote->tp_vectorcall = remote_vectorcall;
    return true;
}

}  // namespace plugins
