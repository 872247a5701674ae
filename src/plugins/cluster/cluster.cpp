// SlurmBlock: the block kind whose work runs as a batch job on a SLURM cluster.
//
// The host invokes it twice: the first call runs the initial action (which submits the job
// through `block.remote`), the second call, switched on by the editor's "executeSecondAction",
// runs the final action. In between the host follows the job through `parseStatus` and
// `isWaitingForJob`, which query the host's remote object by the flow's saved ID and the block's
// placed ID.
//
// The job facts (`status`, `jobID`, logs, phase flag) live in the instance `__dict__`, with
// their initial values in the class dictionary: `SlurmBlock.status` reads IDLE on the class as
// plugin authors expect, an instance starts from the class values until it assigns its own, and
// the base block's copy and dictionary forms need no knowledge of this kind. None of these is
// read on a hot path (every poll is a round trip to the cluster).
#include "cluster.hpp"

#include "../../host/flow.hpp"
#include "../../host/remote.hpp"
#include "../../pyutil/args.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/log.hpp"
#include "../../pyutil/types.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace plugins {
namespace {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

Ref get_attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

bool set_attr(PyObject* obj, PyObject* name, PyObject* value) { return PyObject_SetAttr(obj, name, value) == 0; }

// Calls `obj.<method>(args...)` with borrowed arguments.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* method, Args... args) {
    PyObject* call_args[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(method, call_args, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// Errors that a guarded section may absorb: the `Exception` family. KeyboardInterrupt and
// SystemExit always reach the caller, so a user can stop a wait or a poll.
bool pending_is_ordinary_error() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Whether `error` is the host's ResetRemoteException. The class is looked up in the package's
// utils module at each use, because the platform may put its own module in that place.
bool is_reset_remote(PyObject* error) {
    Ref utils = Ref::steal(PyImport_ImportModule(host::utils::module));
    Ref kind = utils ? Ref::steal(PyObject_GetAttrString(utils.get(), host::utils::ResetRemoteException)) : Ref();
    if (!kind) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(error, kind.get()) != 0;
}

// ---------------------------------------------------------------------------------------------
// Construction

constexpr auto kInitSignature = pyutil::signature(
    "SlurmBlock.__init__", Param{"name", Accept::Str, true}, Param{"description", Accept::Str, true},
    Param{"initialAction", Accept::Any, true}, Param{"finalAction", Accept::Any, true},
    Param{"variables", Accept::List}, Param{"inputs", Accept::List}, Param{"inputGroups", Accept::List},
    Param{"outputs", Accept::List}, Param{"id", Accept::StrOrNone}, Param{"failOnSlurmError", Accept::Any},
    Param{"extenrnalURL", Accept::StrOrNone});

enum InitArg { kName, kDescription, kInitialAction, kFinalAction, kVariables, kInputs, kInputGroups, kOutputs,
               kId, kFailOnSlurmError, kExternalURL };

// A list argument as given, or a new empty list: every block owns its own containers.
Ref list_or_new(const pyutil::Bound<kInitSignature.size>& bound, int index) {
    return bound.given(index) ? Ref::borrow(bound[index]) : Ref::steal(PyList_New(0));
}

// The PluginBlock constructor with this kind's arguments, then the cluster block's own.
int init_from(PyObject* self, const pyutil::Bound<kInitSignature.size>& bound) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    Ref variables = list_or_new(bound, kVariables);
    Ref inputs = list_or_new(bound, kInputs);
    Ref groups = list_or_new(bound, kInputGroups);
    Ref outputs = list_or_new(bound, kOutputs);
    if (!variables || !inputs || !groups || !outputs) return -1;
    BlockArgs base;
    base.name = bound[kName];
    base.description = bound[kDescription];
    base.action = bound[kInitialAction];
    base.variables = variables.get();
    base.inputs = inputs.get();
    base.inputGroups = groups.get();
    base.outputs = outputs.get();
    base.blockType = state->cl_typeSLURM;
    base.id = bound.get_or(kId, Py_None);
    base.externalURL = bound.get_or(kExternalURL, Py_None);
    if (!block_construct(*state, self, base)) return -1;
    return set_attr(self, state->cl_initalAction, bound[kInitialAction]) &&
                   set_attr(self, state->cl_finalAction, bound[kFinalAction]) &&
                   set_attr(self, state->cl_failOnSlurmError, bound.get_or(kFailOnSlurmError, Py_True))
               ? 0
               : -1;
}

// tp_init: reached by Python subclasses (and their super().__init__) with a tuple and a dict.
int slurm_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    pyutil::Bound<kInitSignature.size> bound;
    if (!pyutil::parse(kInitSignature, args, kwargs, bound)) return -1;
    return init_from(self, bound);
}

// Constructor by vectorcall for SlurmBlock itself (not inherited by Python subclasses).
PyObject* slurm_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    pyutil::Bound<kInitSignature.size> bound;
    if (!pyutil::parse(kInitSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref self = Ref::steal(cls->tp_new(cls, no_args.get(), nullptr));
    if (!self || init_from(self.get(), bound) < 0) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Invocation in two phases

// Tells the host's remote object that the first phase has run. A block run without a remote
// (an author trying the block outside the platform) has nothing to tell; its outputs are kept.
bool clear_remote_reset(const ModuleState& state, PyObject* self) {
    Ref remote = get_attr(self, state.cl_remote);
    if (!remote) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (remote.get() == Py_None) return true;
    Ref host = get_attr(remote.get(), state.cl_hostRemote);
    return host && set_attr(host.get(), state.cl_resetRemoteBlock, Py_False);
}

PyObject* slurm_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref flag = get_attr(self, state->cl_phaseFlag);
    if (!flag) return nullptr;
    const int second_phase = PyObject_IsTrue(flag.get());
    if (second_phase < 0) return nullptr;
    Ref action = get_attr(self, second_phase ? state->cl_finalAction : state->cl_initalAction);
    if (!action || !set_attr(self, state->cl_action, action.get())) return nullptr;
    Ref outputs = Ref::steal(block_call(*state, self, args, kwargs));
    if (!outputs) return nullptr;
    const bool done = second_phase ? set_attr(self, state->cl_phaseFlag, Py_False) : clear_remote_reset(*state, self);
    return done ? outputs.release() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Following the job

// `stdOut`, `stdErr`, `detailedStatus` := the three items of the host's logs; nothing changes
// unless there are exactly three.
bool store_logs(const ModuleState& state, PyObject* self, PyObject* logs) {
    Ref iterator = Ref::steal(PyObject_GetIter(logs));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(logs)->tp_name);
        }
        return false;
    }
    Ref items[3];
    for (int i = 0; i < 3; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra || PyErr_Occurred()) {
        if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return false;
    }
    return set_attr(self, state.cl_stdOut, items[0].get()) && set_attr(self, state.cl_stdErr, items[1].get()) &&
           set_attr(self, state.cl_detailedStatus, items[2].get());
}

// The log query may fail in any way without stopping the status query: the logs keep their
// previous values and the failure is logged. `logs` is the query's result, or null when it failed.
bool refresh_logs(const ModuleState& state, PyObject* self, const Ref& logs) {
    if (logs && store_logs(state, self, logs.get())) return true;
    if (!pending_is_ordinary_error()) return false;
    Ref error = pyutil::fetch_exception();
    Ref text = Ref::steal(PyObject_Str(error.get()));
    return text && pyutil::log_error("Could not parse latest SlurmBlock logs: %s", text.get());
}

// `self.remote._remote`
Ref host_remote(const ModuleState& state, PyObject* self) {
    Ref remote = get_attr(self, state.cl_remote);
    return remote ? get_attr(remote.get(), state.cl_hostRemote) : Ref();
}

// `host.<method>(flow.savedID, placedID)`, with the flow's saved ID read afresh for every query.
// Python looks the method up before it evaluates the arguments, so when the flow's saved ID
// cannot be read, a method the host lacks is the failure to report.
Ref query_host(const ModuleState& state, PyObject* self, PyObject* host, PyObject* method, PyObject* placed_id) {
    Ref flow = get_attr(self, state.cl_flow);
    Ref saved_id = flow ? get_attr(flow.get(), state.cl_savedID) : Ref();
    if (saved_id) return call_method(host, method, saved_id.get(), placed_id);
    Ref flow_error = pyutil::fetch_exception();
    if (!get_attr(host, method)) return Ref();
    pyutil::reraise(std::move(flow_error));
    return Ref();
}

// Asks the host's remote object for the job's state, identifier, logs and run time and stores
// them. Stops at the first failure with the exception set; what was stored before stays.
bool refresh_job(const ModuleState& state, PyObject* self) {
    // `self.remote._remote._blockPlacedID = self._placedID`: the value first, then the target.
    Ref placed_id = get_attr(self, state.cl_placedID);
    Ref host = placed_id ? host_remote(state, self) : Ref();
    if (!host || !set_attr(host.get(), state.cl_blockPlacedID, placed_id.get())) return false;

    auto query = [&](PyObject* method) { return query_host(state, self, host.get(), method, placed_id.get()); };

    Ref reported = query(state.cl_getRemoteBlockStatus);
    Ref status = reported ? to_slurm_status(state, reported.get()) : Ref();
    if (!status || !set_attr(self, state.cl_status, status.get())) return false;

    Ref job_id = query(state.cl_getJobIDfromBlock);
    if (!job_id || !set_attr(self, state.cl_jobID, job_id.get())) return false;

    if (!refresh_logs(state, self, query(state.cl_getRemoteBlockLogs))) return false;

    // `self.time = self.time + <query>`: the current time is read before the host is asked.
    Ref time = get_attr(self, state.kb_time);
    Ref elapsed = time ? query(state.cl_getRemoteBlockTime) : Ref();
    Ref total = elapsed ? Ref::steal(PyNumber_Add(time.get(), elapsed.get())) : Ref();
    return total && set_attr(self, state.kb_time, total.get());
}

PyObject* slurm_parse_status(PyObject* self, PyObject*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    if (!refresh_job(*state, self)) {
        // A block without remote or flow, or a host object lacking a member: the job is unknown
        // to us, so the block counts as idle. Other host errors reach the caller.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        Ref error = pyutil::fetch_exception();
        Ref text = Ref::steal(PyObject_Str(error.get()));
        if (!text || !pyutil::log_error("Could not parse SlurmBlock status: %s", text.get())) return nullptr;
        if (!set_attr(self, state->cl_status, state->cl_statusIDLE)) return nullptr;
    }
    Ref status = get_attr(self, state->cl_status);
    return status ? slurm_status_text(*state, status.get(), true).release() : nullptr;
}

int status_is(PyObject* status, PyObject* member) { return PyObject_RichCompareBool(status, member, Py_EQ); }

// The guarded part of isWaitingForJob: 1 waiting, 0 not, -1 with the exception set.
int query_waiting(const ModuleState& state, PyObject* self) {
    Ref placed_id = get_attr(self, state.cl_placedID);
    Ref host = placed_id ? host_remote(state, self) : Ref();
    if (!host || !set_attr(host.get(), state.cl_blockPlacedID, placed_id.get())) return -1;
    Ref parsed = call_method(self, state.cl_parseStatus);
    Ref status = parsed ? get_attr(self, state.cl_status) : Ref();
    if (!status) return -1;
    int running = status_is(status.get(), state.cl_statusRUNNING);
    if (running != 0) return running;
    return status_is(status.get(), state.cl_statusPENDING);
}

PyObject* slurm_is_waiting(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref status = get_attr(self, state->cl_status);
    if (!status) return nullptr;
    // A job that never started or already completed is not waited for: no need to ask the host.
    for (PyObject* settled : {state->cl_statusCOMPLETED, state->cl_statusIDLE}) {
        int same = status_is(status.get(), settled);
        if (same < 0) return nullptr;
        if (same) Py_RETURN_FALSE;
    }
    int waiting = query_waiting(*state, self);
    if (waiting >= 0) return PyBool_FromLong(waiting);
    if (!pending_is_ordinary_error()) return nullptr;
    Ref error = pyutil::fetch_exception();
    // The job's facts are out of reach, or the host reset the remote side of the block: either
    // way there is no job left to wait for.
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError) || is_reset_remote(error.get())) {
        Py_RETURN_FALSE;
    }
    Ref name = get_attr(self, state->k_name);
    if (!name) return nullptr;
    if (!pyutil::log_error("An error occurred while checking if the job is finished for block %s: %s", name.get(),
                           error.get())) {
        return nullptr;
    }
    PyErr_SetString(PyExc_Exception, "An error occurred while checking if the job is finished.");
    pyutil::set_cause_of_current(std::move(error));
    return nullptr;
}

constexpr auto kWaitSignature = pyutil::signature("SlurmBlock.waitTillJobFinished", Param{"interval", Accept::Int});

// Sleeps through the standard `time.sleep`, looked up at each use: it releases the GIL while
// the thread sleeps (other Python threads run meanwhile), wakes for signals so Ctrl+C stops the
// wait, and follows a host that replaces it with a cooperative sleep.
bool sleep_seconds(PyObject* seconds) {
    Ref time_module = Ref::steal(PyImport_ImportModule("time"));
    Ref sleep = time_module ? Ref::steal(PyObject_GetAttrString(time_module.get(), "sleep")) : Ref();
    return sleep && Ref::steal(PyObject_CallOneArg(sleep.get(), seconds));
}

PyObject* slurm_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<kWaitSignature.size> bound;
    if (!pyutil::parse(kWaitSignature, args, nargs, kwnames, bound)) return nullptr;
    Ref ten = Ref::steal(PyLong_FromLong(10));
    if (!ten) return nullptr;
    PyObject* interval = bound.get_or(0, ten.get());
    // Refused before the first query rather than when the first sleep fails.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    const int negative = zero ? PyObject_RichCompareBool(interval, zero.get(), Py_LT) : -1;
    if (negative < 0) return nullptr;
    if (negative) return pyutil::raise_format(PyExc_ValueError, "The interval must not be negative, got %S", interval);

    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    for (;;) {
        Ref waiting = get_attr(self, state->cl_isWaitingForJob);
        if (!waiting) return nullptr;
        const int truth = PyObject_IsTrue(waiting.get());
        if (truth < 0) return nullptr;
        if (!truth) break;
        if (!sleep_seconds(interval)) return nullptr;
    }
    Ref parsed = call_method(self, state->cl_parseStatus);
    if (!parsed) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Overrides of the base block's document, update and reset

PyObject* slurm_minimal_encode(PyObject* self, PyObject*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref document = block_minimal_encode(*state, self, state->t_slurm_minimal);
    if (!document) return nullptr;
    Ref status = get_attr(self, state->cl_status);
    Ref status_text = status ? slurm_status_text(*state, status.get(), false) : Ref();
    if (!status_text || PyObject_SetItem(document.get(), state->cl_status, status_text.get()) < 0) return nullptr;
    const std::pair<PyObject*, PyObject*> copied[] = {
        {state->cl_jobID, state->cl_jobID},
        {state->cl_stdOut, state->cl_stdOut},
        {state->cl_stdErr, state->cl_stdErr},
        {state->cl_detailedStatus, state->cl_detailedStatus},
        {state->cl_executeSecondAction, state->cl_phaseFlag},
    };
    for (const auto& [key, attribute] : copied) {
        Ref value = get_attr(self, attribute);
        if (!value || PyObject_SetItem(document.get(), key, value.get()) < 0) return nullptr;
    }
    return document.release();
}

constexpr auto kParseSignature =
    pyutil::signature("SlurmBlock._parseInternalVariables", Param{"blockJSON", Accept::Dict, true});

PyObject* slurm_parse_internal(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    pyutil::Bound<kParseSignature.size> bound;
    if (!pyutil::parse(kParseSignature, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    PyObject* json = bound[0];
    if (!block_parse_internal_variables(state, self, json)) return nullptr;

    // Read everything first (blockJSON.get(key, fallback) for each), then assign.
    PyObject* const keys[] = {state.cl_status, state.cl_stdOut, state.cl_stdErr, state.cl_detailedStatus,
                              state.cl_jobID, state.cl_executeSecondAction};
    PyObject* const fallbacks[] = {state.cl_statusIDLE, Py_None, Py_None, Py_None, Py_None, Py_False};
    Ref read[std::size(keys)];
    if (!pyutil::read_keys(json, keys, read)) return nullptr;
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        if (!read[i]) read[i] = Ref::borrow(fallbacks[i]);
    }
    auto& [reported, std_out, std_err, detailed, job_id, second] = read;
    Ref status = to_slurm_status(state, reported.get());
    if (!status) return nullptr;
    const bool done = set_attr(self, state.cl_status, status.get()) && set_attr(self, state.cl_jobID, job_id.get()) &&
                      set_attr(self, state.cl_stdOut, std_out.get()) &&
                      set_attr(self, state.cl_stdErr, std_err.get()) &&
                      set_attr(self, state.cl_detailedStatus, detailed.get()) &&
                      set_attr(self, state.cl_phaseFlag, second.get());
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// Puts the job facts back to those of a block that never ran.
bool reset_job(const ModuleState& state, PyObject* self) {
    return set_attr(self, state.cl_stdOut, Py_None) && set_attr(self, state.cl_stdErr, Py_None) &&
           set_attr(self, state.cl_detailedStatus, Py_None) && set_attr(self, state.cl_status, state.cl_statusIDLE) &&
           set_attr(self, state.cl_jobID, Py_None) && set_attr(self, state.cl_phaseFlag, Py_False);
}

PyObject* slurm_clean_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    // The base reset, reached through its method so that it receives (and checks) the caller's
    // arguments exactly as PluginBlock._cleanRun does.
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    const Py_ssize_t total = positional + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject*> forwarded{self};
    forwarded.insert(forwarded.end(), args, args + total);
    Ref result = Ref::steal(
        PyObject_Vectorcall(state->cl_baseCleanRun, forwarded.data(), static_cast<size_t>(positional) + 1, kwnames));
    if (!result || !reset_job(*state, self)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// The type

PyMethodDef slurm_methods[] = {
    {"parseStatus", slurm_parse_status, METH_NOARGS,
     "parseStatus($self, /)\n--\n\nParses the status of the block.\n\n"
     "Returns:\n    The status of the block as a parsed string."},
    {"waitTillJobFinished", pyutil::as_method(slurm_wait),
     METH_FASTCALL | METH_KEYWORDS,
     "waitTillJobFinished($self, /, interval=10)\n--\n\nWaits until the job is finished.\n\n"
     "Args:\n    interval: The interval in seconds to check if the job is finished."},
    {"_minimalEncode", slurm_minimal_encode, METH_NOARGS,
     "_minimalEncode($self, /)\n--\n\nEncode only the blockID and the internal variables."},
    {"_parseInternalVariables", pyutil::as_method(slurm_parse_internal), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_parseInternalVariables($self, /, blockJSON)\n--\n\nUpdates the block with the internal variables."},
    {"_cleanRun", pyutil::as_method(slurm_clean_run),
     METH_FASTCALL | METH_KEYWORDS, "_cleanRun($self, /, *args, **kwargs)\n--\n\nCleans the run of the block."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef slurm_getset[] = {
    {"isWaitingForJob", slurm_is_waiting, nullptr, "Whether the block is waiting for the job to finish or not.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slurm_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SlurmBlock(name, description, initialAction, finalAction, variables=[], inputs=[], "
                    "inputGroups=[], outputs=[], id=None, failOnSlurmError=True, extenrnalURL=None)\n--\n\n"
                    "A special type of block used to run an action in a remote server. It works as a regular "
                    "PluginBlock, but it has two actions: one before the job is submitted and one after the job "
                    "is completed.\n\n"
                    "Args:\n"
                    "    name: The name of the block.\n"
                    "    description: The description of the block.\n"
                    "    initialAction: The action of the block before the job is submitted.\n"
                    "    finalAction: The action of the block after the job is completed.\n"
                    "    variables: The variables of the block.\n"
                    "    inputs: The inputs of the block.\n"
                    "    inputGroups: The input groups of the block.\n"
                    "    outputs: The outputs of the block.\n"
                    "    id: The ID of the block.\n"
                    "    failOnSlurmError: Whether to fail the block if the slurm job fails.\n"
                    "    extenrnalURL: The external URL of the block for documentation purposes.")},
    {Py_tp_init, reinterpret_cast<void*>(slurm_init)},
    {Py_tp_call, reinterpret_cast<void*>(slurm_call)},
    {Py_tp_methods, slurm_methods},
    {Py_tp_getset, slurm_getset},
    {0, nullptr},
};

PyType_Spec slurm_spec = {
    "QorvelAPI.plugins.SlurmBlock",
    0,  // the base block's layout: the job facts live in the instance dictionary
    0,
    // The GC flag comes with the base block's traverse and clear, which cover this kind too.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slurm_slots,
};

// The class-level values every instance starts from.
bool set_class_defaults(const ModuleState& state) {
    PyObject* type = reinterpret_cast<PyObject*>(state.SlurmBlock);
    return set_attr(type, state.cl_jobID, Py_None) && set_attr(type, state.cl_status, state.cl_statusIDLE) &&
           set_attr(type, state.cl_stdOut, Py_None) && set_attr(type, state.cl_stdErr, Py_None) &&
           set_attr(type, state.cl_detailedStatus, Py_None) && set_attr(type, state.cl_failOnSlurmError, Py_True) &&
           set_attr(type, state.cl_phaseFlag, Py_False);
}

bool cache_base_objects(ModuleState& state) {
    state.cl_baseCleanRun = PyObject_GetAttrString(reinterpret_cast<PyObject*>(state.PluginBlock), "_cleanRun");
    state.cl_typeSLURM = PyObject_GetAttrString(reinterpret_cast<PyObject*>(state.PluginBlockTypes), "SLURM");
    return state.cl_baseCleanRun != nullptr && state.cl_typeSLURM != nullptr;
}

bool intern_host_names(ModuleState& state) {
    const std::pair<PyObject**, const char*> names[] = {
        {&state.cl_savedID, host::flow::savedID},
        {&state.cl_blockPlacedID, host::remote::blockPlacedID},
        {&state.cl_resetRemoteBlock, host::remote::resetRemoteBlock},
        {&state.cl_getRemoteBlockStatus, host::remote::getRemoteBlockStatus},
        {&state.cl_getJobIDfromBlock, host::remote::getJobIDfromBlock},
        {&state.cl_getRemoteBlockLogs, host::remote::getRemoteBlockLogs},
        {&state.cl_getRemoteBlockTime, host::remote::getRemoteBlockTime},
    };
    for (const auto& [field, text] : names) {
        if ((*field = pyutil::intern(text)) == nullptr) return false;
    }
    return true;
}

}  // namespace

bool register_cluster(PyObject* module, ModuleState& state) {
    if (state.PluginBlock == nullptr || state.PluginBlockTypes == nullptr) {
        PyErr_SetString(PyExc_ImportError, "SlurmBlock needs PluginBlock and PluginBlockTypes registered first");
        return false;
    }
    if (!cache_base_objects(state) || !intern_host_names(state)) return false;
    state.t_slurm_minimal = block_key_template(state, {state.cl_status, state.cl_jobID, state.cl_stdOut, state.cl_stdErr,
                                                       state.cl_detailedStatus, state.cl_executeSecondAction})
                                .release();
    if (state.t_slurm_minimal == nullptr) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, state.PluginBlock));
    if (!bases) return false;
    state.SlurmBlock = pyutil::add_type(module, &slurm_spec, bases.get());
    if (state.SlurmBlock == nullptr) return false;
    // Calls of a block go through slurm_call, never through a vectorcall the base may set up.
    state.SlurmBlock->tp_flags &= ~Py_TPFLAGS_HAVE_VECTORCALL;
    state.SlurmBlock->tp_vectorcall = slurm_vectorcall;
    PyType_Modified(state.SlurmBlock);
    return register_slurm_status(state) && set_class_defaults(state);
}

}  // namespace plugins
