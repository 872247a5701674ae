// What a block's action sees of its block (variables, inputs, outputs as plain values,
// setOutput) and what the host does around a run (run reset, attaching a remote).
#include "internal.hpp"
#include "../connections/connections.hpp"
#include "../cluster/remote.hpp"

#include "../../pyutil/dict.hpp"
#include "../../pyutil/log.hpp"

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;
using pyutil::slot_ref;

namespace {

}  // namespace

// ---------------------------------------------------------------------------------------------
// Access values

Ref access_value(ModuleState& state, PyObject* variable) {
    if (!is_group(state, variable)) {
        return variable_field(state, variable, &PluginVariableObject::value, state.k_value);
    }
    Ref members = group_members(state, variable);
    if (!members) return Ref();
    Ref result = Ref::steal(PyDict_New());
    Ref iterator = Ref::steal(PyObject_GetIter(members.get()));
    if (!result || !iterator) return Ref();
    while (Ref member = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref id = variable_field(state, member.get(), &PluginVariableObject::id, state.k_id);
        if (!id) return Ref();
        Ref value = variable_field(state, member.get(), &PluginVariableObject::value, state.k_value);
        if (!value || PyDict_SetItem(result.get(), id.get(), value.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

Ref access_dict(ModuleState& state, PyObject* variables) {
    Ref result = Ref::steal(PyDict_New());
    Ref iterator = Ref::steal(PyObject_GetIter(variables));
    if (!result || !iterator) return Ref();
    while (Ref variable = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref id = variable_field(state, variable.get(), &PluginVariableObject::id, state.k_id);
        if (!id) return Ref();
        Ref value = access_value(state, variable.get());
        if (!value || PyDict_SetItem(result.get(), id.get(), value.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return result;
}

Ref selected_group(ModuleState&, PyObject* self, bool& no_groups) {
    no_groups = false;
    PluginBlockObject* b = as_block(self);
    // Held: a mapping's own __len__ or __getitem__, or the key's __hash__, may change the block.
    Ref groups = slot_ref(self, b->inputGroups, "_inputGroups");
    if (!groups) return Ref();
    const Py_ssize_t count = PyObject_Length(groups.get());
    if (count < 0) return Ref();
    if (count == 0) {
        no_groups = true;
        return Ref();
    }
    Ref selected = slot_ref(self, b->selectedInputGroup, "selectedInputGroup");
    if (!selected) return Ref();
    Ref group = Ref::steal(PyObject_GetItem(groups.get(), selected.get()));
    if (group || !PyErr_ExceptionMatches(PyExc_KeyError)) return group;
    Ref lookup = pyutil::fetch_exception();
    Ref keys = Ref::steal(PyObject_CallMethod(groups.get(), "keys", nullptr));
    if (!keys) return Ref();
    pyutil::raise_format(PyExc_Exception,
                         "Input group '%S' not found in block inputs. Current block inputs are: %S", selected.get(),
                         keys.get());
    pyutil::set_cause_of_current(std::move(lookup));
    return Ref();
}

Ref block_outputs(ModuleState& state, PyObject* self) {
    Ref outputs = slot_ref(self, as_block(self)->outputs, "_outputs");
    return outputs ? access_dict(state, outputs.get()) : Ref();
}

PyObject* block_get_variables(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref variables = slot_ref(self, as_block(self)->variables, "_variables");
    return variables ? access_dict(*state, variables.get()).release() : nullptr;
}

PyObject* block_get_inputs(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    bool no_groups = false;
    Ref group = selected_group(*state, self, no_groups);
    if (no_groups) return PyDict_New();
    if (!group) return nullptr;
    Ref members = group_members(*state, group.get());
    return members ? access_dict(*state, members.get()).release() : nullptr;
}

PyObject* block_get_outputs(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return block_outputs(*state, self).release();
}

PyObject* block_method_getVariables(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock._getVariables", nargs, kwnames)) return nullptr;
    return slot_ref(self, as_block(self)->variables, "_variables").release();
}

// Static: `PluginBlock._parseVariablesForBlockAccess(variable)` needs no block.
PyObject* block_method_parseForAccess(PyObject* module_or_null, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::static_signature("PluginBlock._parseVariablesForBlockAccess", Param{"variable", Accept::Any, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    (void)module_or_null;
    ModuleState* state = state_of_type(Py_TYPE(bound[0]));
    if (state == nullptr) {
        // A duck-typed variable of a foreign class: it is not a group, so its value is its access value.
        PyErr_Clear();
        return PyObject_GetAttrString(bound[0], "value");
    }
    return access_value(*state, bound[0]).release();
}

// ---------------------------------------------------------------------------------------------
// setOutput

namespace {

bool write_output(ModuleState& state, PyObject* output, PyObject* value) {
    if (is_group(state, output)) return update_group_via_object(state, output, value);
    if (is_list(state, output)) return update_list_via_object(state, output, value);
    if (is_variable(state, output)) return set_variable_value(state, output, value);
    return PyObject_SetAttr(output, state.k_value, value) == 0;
}

}  // namespace

PyObject* block_method_setOutput(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginBlock.setOutput", Param{"id", Accept::Str, true}, Param{"value", Accept::Any, true});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(cls);
    PluginBlockObject* b = as_block(self);
    Ref outputs = slot_ref(self, b->outputs, "_outputs");
    if (!outputs) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(outputs.get()));
    if (!iterator) return nullptr;
    while (Ref output = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref id = variable_field(state, output.get(), &PluginVariableObject::id, state.k_id);
        if (!id) return nullptr;
        const int match = PyObject_RichCompareBool(id.get(), bound[0], Py_EQ);
        if (match < 0) return nullptr;
        if (match == 0) continue;
        const int disabled = variable_disabled(state, output.get());
        if (disabled < 0) return nullptr;
        if (disabled == 1) Py_RETURN_NONE;
        if (!write_output(state, output.get(), bound[1])) return nullptr;
        // A block state JSON without "storedOutputs" leaves no table: start a new one.
        if (b->storedOutputs == nullptr || b->storedOutputs == Py_None) {
            Ref table = Ref::steal(PyDict_New());
            if (!table) return nullptr;
            pyutil::assign_slot(b->storedOutputs, std::move(table));
        }
        Ref table = Ref::borrow(b->storedOutputs);  // a mapping's own __setitem__ may replace it
        if (PyObject_SetItem(table.get(), bound[0], bound[1]) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (PyErr_Occurred()) return nullptr;
    return pyutil::raise_format(PyExc_Exception, "Output %U not found.", bound[0]);
}

// ---------------------------------------------------------------------------------------------
// Run reset

bool block_clean_run(ModuleState& state, PyObject* self, bool cleanCycles, bool cleanDirty) {
    PluginBlockObject* b = as_block(self);
    Ref extensions = Ref::steal(PyList_New(0));
    Ref stored = Ref::steal(PyDict_New());
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!extensions || !stored || !zero) return false;
    if (cleanCycles && b->variableConnections != nullptr) {
        // Reset the cycles first: it is the only step that can fail (a foreign connection object).
        Ref connections = Ref::borrow(b->variableConnections);
        Ref iterator = Ref::steal(PyObject_GetIter(connections.get()));
        if (!iterator) return false;
        while (Ref connection = Ref::steal(PyIter_Next(iterator.get()))) {
            if (PyObject_TypeCheck(connection.get(), state.BlockConnection)) {
                auto* c = reinterpret_cast<BlockConnectionObject*>(connection.get());
                pyutil::assign_slot(c->currentCycle, zero.get());
            } else if (PyObject_SetAttr(connection.get(), state.k_currentCycle, zero.get()) < 0) {
                return false;
            }
        }
        if (PyErr_Occurred()) return false;
    }
    using pyutil::assign_slot;
    assign_slot(b->finishedExecution, Py_False);
    assign_slot(b->error, Py_False);
    assign_slot(b->blockLogs, state.kb_empty);
    assign_slot(b->isRunning, Py_False);
    assign_slot(b->extensionsToOpen, std::move(extensions));
    assign_slot(b->storedOutputs, std::move(stored));
    assign_slot(b->time, zero.get());
    if (cleanDirty) assign_slot(b->dirty, Py_False);
    return true;
}

PyObject* block_method_cleanRun(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._cleanRun", Param{"cleanCycles"}, Param{"cleanDirty"});
    pyutil::Bound<2> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    const int cycles = bound.given(0) ? PyObject_IsTrue(bound[0]) : 1;
    const int dirty = bound.given(1) ? PyObject_IsTrue(bound[1]) : 0;
    if (cycles < 0 || dirty < 0) return nullptr;
    if (!block_clean_run(*state_of_class(cls), self, cycles == 1, dirty == 1)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Remote

PyObject* block_method_setRemote(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._setRemote", Param{"remote", Accept::Any, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(cls);
    Ref original = slot_ref(self, as_block(self)->isOriginal, "_isOriginal");
    if (!original) return nullptr;
    const int is_original = PyObject_IsTrue(original.get());
    if (is_original < 0) return nullptr;
    if (is_original == 1) {
        static const char message[] =
            "Setting remote on original block is not allowed. This can lead to unexpected behaviour. Remember to "
            "copy the block using block.copy() if you want to use it in the pipeline.";
        if (!pyutil::log_error(message)) return nullptr;
        PyErr_SetString(PyExc_Exception, message);
        return nullptr;
    }
    Ref remote = new_plugin_remote(state, bound[0]);
    if (!remote) return nullptr;
    pyutil::assign_slot(as_block(self)->remote, std::move(remote));
    Py_RETURN_NONE;
}

}  // namespace plugins
