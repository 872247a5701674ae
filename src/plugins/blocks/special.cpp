// The special block kinds: GhostBlock (stands in for a block the host cannot provide),
// PluginConfig (a plugin's configuration form) and InputBlock (asks the user for one value).
#include "internal.hpp"

#include "../../pyutil/types.hpp"

#include <structmember.h>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

Ref block_type_member(ModuleState& state, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(state.PluginBlockTypes), name));
}

// Runs a constructor body on a fresh instance of `type` (the vectorcall path of each kind).
template <typename Body>
PyObject* construct_new(PyTypeObject* type, Body body) {
    Ref self = Ref::steal(type->tp_new(type, nullptr, nullptr));
    if (!self || !body(self.get())) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// GhostBlock

PyObject* ghost_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = Ref::steal(block_new(type, args, kwargs));
    if (!self) return nullptr;
    ModuleState* state = state_of(self.get());
    if (state == nullptr) return nullptr;
    pyutil::assign_slot(as_block(self.get())->error, Py_True);
    pyutil::assign_slot(as_block(self.get())->blockLogs, state->kb_ghost_logs);
    return self.release();
}

constexpr auto ghost_signature = pyutil::signature("GhostBlock.__init__", Param{"id", Accept::Str, true});

bool ghost_construct(PyObject* self, PyObject* id) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    // The description is the class's own text for a missing block.
    Ref description = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "blockLogs"));
    Ref ghost = block_type_member(*state, state->kb_GHOST);
    if (!description || !ghost) return false;
    BlockArgs a;
    a.name = id;
    a.description = description.get();
    a.blockType = ghost.get();
    a.id = id;
    return block_construct(*state, self, a);
}

int ghost_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(ghost_signature, args, kwargs, bound)) return -1;
    return ghost_construct(self, bound[0]) ? 0 : -1;
}

PyObject* ghost_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(ghost_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    return construct_new(reinterpret_cast<PyTypeObject*>(type), [&](PyObject* self) {
        return ghost_construct(self, bound[0]);
    });
}

PyObject* ghost_parseID(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("GhostBlock._parseID", Param{"id", Accept::Str, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    return Py_NewRef(bound[0]);
}

PyObject* ghost_call(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_Exception, "Cannot execute a ghost block.");
    return nullptr;
}

// The editor may have overwritten the two; a ghost always shows itself as missing.
PyObject* ghost_toDict(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("GhostBlock._toDict", nargs, kwnames)) return nullptr;
    ModuleState& state = *state_of_class(cls);
    pyutil::assign_slot(as_block(self)->error, Py_True);
    pyutil::assign_slot(as_block(self)->blockLogs, state.kb_ghost_logs);
    return block_method_toDict(self, cls, args, 0, nullptr);
}

PyMethodDef ghost_methods[] = {
    {"_parseID", pyutil::as_method(ghost_parseID), QV_METHOD_FLAGS,
     "_parseID($self, /, id)\n--\n\nReturns the ID of the missing block unchanged."},
    {"_toDict", pyutil::as_method(ghost_toDict), QV_METHOD_FLAGS,
     "_toDict($self, /)\n--\n\nConverts the block to a dictionary, showing it as missing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ghost_slots[] = {
    {Py_tp_doc, const_cast<char*>("GhostBlock(id)\n--\n\n"
                                  "A block used to represent missing or unavailable blocks in a flow.\n\n"
                                  "Args:\n"
                                  "    id: The ID of the missing block.")},
    {Py_tp_new, reinterpret_cast<void*>(ghost_new)},
    {Py_tp_init, reinterpret_cast<void*>(ghost_init)},
    {Py_tp_call, reinterpret_cast<void*>(ghost_call)},
    {Py_tp_methods, ghost_methods},
    {0, nullptr},
};

PyType_Spec ghost_spec = {"QorvelAPI.plugins.GhostBlock", sizeof(PluginBlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ghost_slots};

// ---------------------------------------------------------------------------------------------
// PluginConfig

constexpr auto config_signature = pyutil::signature(
    "PluginConfig.__init__", Param{"name", Accept::Str, true}, Param{"description", Accept::Str, true},
    Param{"action"}, Param{"variables", Accept::List}, Param{"id", Accept::StrOrNone});

bool config_construct(PyObject* self, const pyutil::Bound<5>& bound) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    if (!bound.given(3) || PyList_GET_SIZE(bound[3]) == 0) {
        PyErr_SetString(PyExc_Exception, "A PluginConfig must have at least one variable.");
        return false;
    }
    Ref config = block_type_member(*state, state->kb_CONFIG);
    if (!config) return false;
    BlockArgs a;
    a.name = bound[0];
    a.description = bound[1];
    a.action = bound[2];
    a.variables = bound[3];
    a.blockType = config.get();
    a.id = bound[4];
    return block_construct(*state, self, a);
}

int config_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    pyutil::Bound<5> bound;
    if (!pyutil::parse(config_signature, args, kwargs, bound)) return -1;
    return config_construct(self, bound) ? 0 : -1;
}

PyObject* config_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    pyutil::Bound<5> bound;
    if (!pyutil::parse(config_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    return construct_new(reinterpret_cast<PyTypeObject*>(type), [&](PyObject* self) {
        return config_construct(self, bound);
    });
}

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>("PluginConfig(name, description, action=None, variables=[], id=None)\n--\n\n"
                                  "A block that configures a plugin. Its variables are stored once set; actions "
                                  "read them as block.config[\"variable_id\"].\n\n"
                                  "Args:\n"
                                  "    name: The name of the block.\n"
                                  "    description: The description of the block.\n"
                                  "    action: The action of the block. Will be run when storing the config.\n"
                                  "    variables: The variables of the block.\n"
                                  "    id: The ID of the block (default: from the name).")},
    {Py_tp_init, reinterpret_cast<void*>(config_init)},
    {0, nullptr},
};

PyType_Spec config_spec = {"QorvelAPI.plugins.PluginConfig", sizeof(PluginBlockObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, config_slots};

// ---------------------------------------------------------------------------------------------
// InputBlock

constexpr auto input_signature = pyutil::signature(
    "InputBlock.__init__", Param{"name", Accept::Any, true}, Param{"description", Accept::Any, true},
    Param{"variable", Accept::Any, true}, Param{"output"}, Param{"action"}, Param{"id", Accept::StrOrNone},
    Param{"externalURL", Accept::StrOrNone});

Ref one_element_list(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

bool input_construct(PyObject* self, const pyutil::Bound<7>& bound) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    PyObject* variable = bound[2];
    // One plain value: any PluginVariable kind except a group (a set of values).
    if (!is_variable(*state, variable) || is_group(*state, variable)) {
        pyutil::raise_format(PyExc_Exception,
                             "The input variable of block %S must be a single PluginVariable instance.", bound[0]);
        return false;
    }
    PyObject* output = bound.given(3) && bound[3] != Py_None ? bound[3] : variable;
    Ref variables = one_element_list(variable), inputs = one_element_list(variable), outputs = one_element_list(output);
    Ref input = block_type_member(*state, state->kb_INPUT);
    if (!variables || !inputs || !outputs || !input) return false;
    BlockArgs a;
    a.name = bound[0];
    a.description = bound[1];
    a.action = bound[4];
    a.variables = variables.get();
    a.inputs = inputs.get();
    a.outputs = outputs.get();
    a.blockType = input.get();
    a.id = bound[5];
    a.externalURL = bound[6];
    return block_construct(*state, self, a);
}

int input_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    pyutil::Bound<7> bound;
    if (!pyutil::parse(input_signature, args, kwargs, bound)) return -1;
    return input_construct(self, bound) ? 0 : -1;
}

PyObject* input_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    pyutil::Bound<7> bound;
    if (!pyutil::parse(input_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    return construct_new(reinterpret_cast<PyTypeObject*>(type), [&](PyObject* self) {
        return input_construct(self, bound);
    });
}

// Without an action the block passes its variable's value to its first output.
PyObject* input_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    PluginBlockObject* b = as_block(self);
    if (b->action != nullptr && b->action != Py_None) return block_call(*state, self, args, kwargs);
    // Held: a container's own __getitem__ may change the block.
    Ref variables = pyutil::slot_ref(self, b->variables, "_variables");
    Ref outputs = variables ? pyutil::slot_ref(self, b->outputs, "_outputs") : Ref();
    if (!outputs) return nullptr;
    Ref variable = Ref::steal(PySequence_GetItem(variables.get(), 0));
    Ref output = variable ? Ref::steal(PySequence_GetItem(outputs.get(), 0)) : Ref();
    if (!output) return nullptr;
    Ref value = variable_field(*state, variable.get(), &PluginVariableObject::value, state->k_value);
    Ref id = value ? variable_field(*state, output.get(), &PluginVariableObject::id, state->k_id) : Ref();
    if (!id) return nullptr;
    if (!set_variable_value(*state, output.get(), value.get())) return nullptr;
    if (b->storedOutputs == nullptr || b->storedOutputs == Py_None) {
        Ref table = Ref::steal(PyDict_New());
        if (!table) return nullptr;
        pyutil::assign_slot(b->storedOutputs, std::move(table));
    }
    Ref table = Ref::borrow(b->storedOutputs);
    if (PyObject_SetItem(table.get(), id.get(), value.get()) < 0) return nullptr;
    return block_outputs(*state, self).release();
}

PyType_Slot input_slots[] = {
    {Py_tp_doc, const_cast<char*>("InputBlock(name, description, variable, output=None, action=None, id=None, "
                                  "externalURL=None)\n--\n\n"
                                  "A block that asks the user for one value and passes it to its output.\n\n"
                                  "Args:\n"
                                  "    name: The name of the block.\n"
                                  "    description: The description of the block.\n"
                                  "    variable: The variable of the block.\n"
                                  "    output: The output of the block.\n"
                                  "    action: The action of the block.\n"
                                  "    id: The id of the block.\n"
                                  "    externalURL: The external URL of the block for documentation purposes.")},
    {Py_tp_init, reinterpret_cast<void*>(input_init)},
    {Py_tp_call, reinterpret_cast<void*>(input_call)},
    {0, nullptr},
};

PyType_Spec input_spec = {"QorvelAPI.plugins.InputBlock", sizeof(PluginBlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, input_slots};

PyTypeObject* add_block_kind(PyObject* module, ModuleState& state, PyType_Spec* spec, vectorcallfunc vectorcall) {
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(state.PluginBlock)));
    if (!bases) return nullptr;
    PyTypeObject* type = pyutil::add_type(module, spec, bases.get());
    if (type != nullptr) type->tp_vectorcall = vectorcall;
    return type;
}

}  // namespace

bool register_special_blocks(PyObject* module, ModuleState& state) {
    state.GhostBlock = add_block_kind(module, state, &ghost_spec, ghost_vectorcall);
    if (state.GhostBlock == nullptr) return false;
    if (!add_slot_with_class_value(state, state.GhostBlock, "error", offsetof(PluginBlockObject, error), Py_True,
                                   "A ghost block is always in error: its block is missing or unavailable.") ||
        !add_slot_with_class_value(state, state.GhostBlock, "blockLogs", offsetof(PluginBlockObject, blockLogs),
                                   state.kb_ghost_logs, kBlockLogsDoc)) {
        return false;
    }
    state.PluginConfig = add_block_kind(module, state, &config_spec, config_vectorcall);
    if (state.PluginConfig == nullptr) return false;
    state.InputBlock = add_block_kind(module, state, &input_spec, input_vectorcall);
    return state.InputBlock != nullptr;
}

}  // namespace plugins
