// Connections drawn in the flow editor between variables of placed blocks: BlockVarPair (one end),
// BlockConnection (both ends and the cycle bookkeeping) and BlockNotFoundError.
#include "connections.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/json.hpp"
#include "../../pyutil/log.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr auto pair_signature = pyutil::signature(
    "BlockVarPair.__init__", Param{"blockPlacedID", Accept::Int, true}, Param{"blockID", Accept::Str, true},
    Param{"variableID", Accept::Str, true}, Param{"variableType", Accept::StrOrNone},
    Param{"variableAllowedValues", Accept::ListOrNone});

constexpr auto connection_signature =
    pyutil::signature("BlockConnection.__init__", Param{"origin", Accept::Any, true},
                      Param{"destination", Accept::Any, true}, Param{"isCyclic", Accept::Any, true},
                      Param{"cycles", Accept::Int}, Param{"currentCycle", Accept::Int});

// A strong snapshot of a slot; a deleted slot raises the interpreter's own AttributeError.
Ref required_field(PyObject* self, PyObject* slot, PyObject* name) { return pyutil::slot_ref(self, slot, name); }

// ---- BlockVarPair ----------------------------------------------------------------------------

// Arguments already checked by the parser.
bool init_pair(PyObject* self, PyObject* placed_id, PyObject* block_id, PyObject* variable_id, PyObject* variable_type,
               PyObject* allowed_values, ModuleState& state) {
    if (variable_type == nullptr || variable_type == Py_None) {
        // Flows saved by older editors have connections without types; they still load.
        if (!log_warning(state, "While opening a flow, Qorvel has detected that the variable connection for "
                                 "variable '%s' of block '%s' has no type. This can cause visual bugs on the flow "
                                 "editor. Please re-connect the variable and save the flow to fix this issue.",
                                 variable_id, block_id)) {
            return false;
        }
        variable_type = state.vt_ANY;
    }
    BlockVarPairObject* p = as_pair(self);
    pyutil::assign_slot(p->blockPlacedID, placed_id);
    pyutil::assign_slot(p->blockID, block_id);
    pyutil::assign_slot(p->variableID, variable_id);
    pyutil::assign_slot(p->variableType, variable_type);
    pyutil::assign_slot(p->variableAllowedValues, allowed_values != nullptr ? allowed_values : Py_None);
    return true;
}

template <std::size_t N>
bool init_pair_bound(ModuleState& state, PyObject* self, const pyutil::Bound<N>& b) {
    return init_pair(self, b[0], b[1], b[2], b[3], b[4], state);
}

int pair_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<pair_signature.size> bound;
    if (!pyutil::parse(pair_signature, args, kwargs, bound)) return -1;
    return init_pair_bound(*state, self, bound) ? 0 : -1;
}

PyObject* pair_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    pyutil::Bound<pair_signature.size> bound;
    if (!pyutil::parse(pair_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_pair_bound(*state, self.get(), bound)) return nullptr;
    return self.release();
}

Ref own_pair_dict(ModuleState& state, PyObject* self) {
    BlockVarPairObject* p = as_pair(self);
    // The slots in the order of the keys; each named by its attribute when missing.
    PyObject* BlockVarPairObject::*const slots[] = {&BlockVarPairObject::blockPlacedID, &BlockVarPairObject::blockID,
                                                   &BlockVarPairObject::variableID, &BlockVarPairObject::variableType,
                                                   &BlockVarPairObject::variableAllowedValues};
    const PairKeys keys = pair_keys(state);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    for (std::size_t i = 0; i < std::size(slots); ++i) {
        PyObject* attribute = i == 0 ? state.k_blockPlacedID : keys.keys[i];
        // Read as each entry is added (the first attribute missing is the one reported).
        if (!pyutil::put_slot(dict.get(), keys.keys[i], self, p->*slots[i], attribute)) return Ref();
    }
    return dict;
}

PyObject* pair_to_dict_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!pyutil::parse_none("BlockVarPair._toDict", nargs, kwnames)) return nullptr;
    (void)args;
    return own_pair_dict(*state_of_class(defining_class), self).release();
}


using PairFields = pyutil::GcFields<&BlockVarPairObject::dict, &BlockVarPairObject::blockPlacedID, &BlockVarPairObject::blockID, &BlockVarPairObject::variableID, &BlockVarPairObject::variableType, &BlockVarPairObject::variableAllowedValues>;

// ---- BlockConnection -------------------------------------------------------------------------

void init_connection(PyObject* self, PyObject* origin, PyObject* destination, PyObject* is_cyclic, PyObject* cycles,
                     PyObject* current_cycle) {
    BlockConnectionObject* c = as_connection(self);
    Ref one, zero;
    pyutil::assign_slot(c->origin, origin);
    pyutil::assign_slot(c->destination, destination);
    pyutil::assign_slot(c->isCyclic, is_cyclic);
    if (cycles == nullptr) {
        one = Ref::steal(PyLong_FromLong(1));  // small ints are cached: cannot fail
        cycles = one.get();
    }
    if (current_cycle == nullptr) {
        zero = Ref::steal(PyLong_FromLong(0));
        current_cycle = zero.get();
    }
    pyutil::assign_slot(c->cycles, cycles);
    pyutil::assign_slot(c->currentCycle, current_cycle);
}

int connection_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    pyutil::Bound<connection_signature.size> b;
    if (!pyutil::parse(connection_signature, args, kwargs, b)) return -1;
    init_connection(self, b[0], b[1], b[2], b[3], b[4]);
    return 0;
}

PyObject* connection_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    pyutil::Bound<connection_signature.size> b;
    if (!pyutil::parse(connection_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, b)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    init_connection(self.get(), b[0], b[1], b[2], b[3], b[4]);
    return self.release();
}

Ref own_connection_dict(ModuleState& state, PyObject* self) {
    BlockConnectionObject* c = as_connection(self);
    Ref origin = required_field(self, c->origin, state.k_origin);
    Ref destination = origin ? required_field(self, c->destination, state.k_destination) : Ref();
    if (!destination) return Ref();
    // The ends' own _toDict may change this connection: the remaining fields are read after.
    Ref origin_dict = pair_to_dict(state, origin.get());
    Ref destination_dict = origin_dict ? pair_to_dict(state, destination.get()) : Ref();
    if (!destination_dict) return Ref();
    Ref is_cyclic = required_field(self, c->isCyclic, state.k_isCyclic);
    Ref cycles = is_cyclic ? required_field(self, c->cycles, state.k_cycles) : Ref();
    Ref current = cycles ? required_field(self, c->currentCycle, state.k_currentCycle) : Ref();
    if (!current) return Ref();
    const ConnectionKeys keys = connection_keys(state);
    return pyutil::make_dict({{keys.keys[0], origin_dict.get()},
                              {keys.keys[1], destination_dict.get()},
                              {keys.keys[2], is_cyclic.get()},
                              {keys.keys[3], cycles.get()},
                              {keys.keys[4], current.get()}});
}

PyObject* connection_to_dict_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("BlockConnection._toDict", nargs, kwnames)) return nullptr;
    (void)args;
    return own_connection_dict(*state_of_class(defining_class), self).release();
}

// Connections are equal when their dictionaries are; the other side must offer _toDict.
PyObject* connection_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref mine = connection_to_dict(*state, self);
    if (!mine) return nullptr;
    Ref theirs = PyObject_TypeCheck(other, state->BlockConnection)
                     ? connection_to_dict(*state, other)
                     : Ref::steal(PyObject_CallMethodNoArgs(other, state->k__toDict));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}


using ConnectionFields = pyutil::GcFields<&BlockConnectionObject::dict, &BlockConnectionObject::origin, &BlockConnectionObject::destination, &BlockConnectionObject::isCyclic, &BlockConnectionObject::cycles, &BlockConnectionObject::currentCycle>;

// ---- shared pieces ----------------------------------------------------------------------------

void dealloc_value(PyObject* self) {
    // The instance type's tp_clear covers the fields of C++ kinds that extend the layout.
    pyutil::dealloc_gc_object<dealloc_value>(self, [](PyObject* obj) { Py_TYPE(obj)->tp_clear(obj); });
}

PyObject* new_value(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

PyObject* value_str(PyObject* self) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref dict = PyObject_TypeCheck(self, state->BlockConnection) ? connection_to_dict(*state, self)
                                                                : pair_to_dict(*state, self);
    if (!dict) return nullptr;
    return pyutil::json_dumps_indented(dict.get()).release();
}

PyObject* value_getstate(PyObject* self, PyObject*) { return pyutil::members_getstate(self).release(); }

PyObject* value_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* value_deepcopy(PyObject* self, PyObject* memo) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return pyutil::members_deepcopy(self, memo, {state->VariableTypes, state->PluginBlockTypes}).release();
}

PyGetSetDef value_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

#define STATE_METHODS                                                                                         \
    {"__deepcopy__", value_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nA deep copy."},               \
    {"__getstate__", value_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, for copying."}, \
    {"__setstate__", value_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nRestores copied attributes."}

PyMethodDef pair_methods[] = {
    {"_toDict", pyutil::as_method(pair_to_dict_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_toDict($self, /)\n--\n\nThe dictionary of this connection end."},
    STATE_METHODS,
    {nullptr},
};

PyMethodDef connection_methods[] = {
    {"_toDict", pyutil::as_method(connection_to_dict_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_toDict($self, /)\n--\n\nThe dictionary of this connection."},
    STATE_METHODS,
    {nullptr},
};

#undef STATE_METHODS

#define PAIR_MEMBER(field, doc) {#field, T_OBJECT_EX, offsetof(BlockVarPairObject, field), 0, const_cast<char*>(doc)}
PyMemberDef pair_members[] = {
    PAIR_MEMBER(blockPlacedID, "The placed ID of the block instance in the flow."),
    PAIR_MEMBER(blockID, "The ID of the block."),
    PAIR_MEMBER(variableID, "The ID of the variable of that block."),
    PAIR_MEMBER(variableType, "The type of that variable."),
    PAIR_MEMBER(variableAllowedValues, "The allowed values of that variable."),
    {"__dictoffset__", T_PYSSIZET, offsetof(BlockVarPairObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(BlockVarPairObject, weakrefs), READONLY, nullptr},
    {nullptr},
};
#undef PAIR_MEMBER

#define CONNECTION_MEMBER(field, doc) \
    {#field, T_OBJECT_EX, offsetof(BlockConnectionObject, field), 0, const_cast<char*>(doc)}
PyMemberDef connection_members[] = {
    CONNECTION_MEMBER(origin, "The origin end of the connection."),
    CONNECTION_MEMBER(destination, "The destination end of the connection."),
    CONNECTION_MEMBER(isCyclic, "Whether the connection is cyclic."),
    CONNECTION_MEMBER(cycles, "The number of cycles of the connection."),
    CONNECTION_MEMBER(currentCycle, "The current cycle of the connection."),
    {"__dictoffset__", T_PYSSIZET, offsetof(BlockConnectionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(BlockConnectionObject, weakrefs), READONLY, nullptr},
    {nullptr},
};
#undef CONNECTION_MEMBER

PyType_Slot pair_slots[] = {
    {Py_tp_doc, const_cast<char*>("BlockVarPair(blockPlacedID, blockID, variableID, variableType=None, "
                                  "variableAllowedValues=None)\n--\n\n"
                                  "A connection of a block for a given variable of that block.\n\n"
                                  "Args:\n"
                                  "    blockPlacedID: The placed ID of the block in the flow.\n"
                                  "    blockID: The ID of the block.\n"
                                  "    variableID: The ID of the variable, input or output.\n"
                                  "    variableType: The type of the variable.\n"
                                  "    variableAllowedValues: The allowed values of the variable.")},
    {Py_tp_new, reinterpret_cast<void*>(new_value)},
    {Py_tp_init, reinterpret_cast<void*>(pair_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_traverse, reinterpret_cast<void*>(PairFields::traverse<BlockVarPairObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(PairFields::clear<BlockVarPairObject>)},
    {Py_tp_str, reinterpret_cast<void*>(value_str)},
    {Py_tp_methods, pair_methods},
    {Py_tp_members, pair_members},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec pair_spec = {
    "QorvelAPI.plugins.BlockVarPair", sizeof(BlockVarPairObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, pair_slots,
};

PyType_Slot connection_slots[] = {
    {Py_tp_doc, const_cast<char*>("BlockConnection(origin, destination, isCyclic, cycles=1, currentCycle=0)\n--\n\n"
                                  "A connection between blocks and variables.\n\n"
                                  "Args:\n"
                                  "    origin: The end it starts from: an output.\n"
                                  "    destination: The end it leads to: an input or a variable.\n"
                                  "    isCyclic: Whether it leads back to an earlier block of the flow.\n"
                                  "    cycles: How many times a cyclic connection is followed.\n"
                                  "    currentCycle: How many times it has been followed so far.")},
    {Py_tp_new, reinterpret_cast<void*>(new_value)},
    {Py_tp_init, reinterpret_cast<void*>(connection_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_traverse, reinterpret_cast<void*>(ConnectionFields::traverse<BlockConnectionObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(ConnectionFields::clear<BlockConnectionObject>)},
    {Py_tp_str, reinterpret_cast<void*>(value_str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(connection_richcompare)},
    {Py_tp_methods, connection_methods},
    {Py_tp_members, connection_members},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec connection_spec = {
    "QorvelAPI.plugins.BlockConnection", sizeof(BlockConnectionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, connection_slots,
};

// ---- BlockNotFoundError -----------------------------------------------------------------------

int not_found_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr auto sig = pyutil::signature("BlockNotFoundError.__init__", Param{"blockID", Accept::Str, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, kwargs, bound)) return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat("Block with ID '%U' not found.", bound[0]));
    Ref message_args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
    if (!message_args) return -1;
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, message_args.get(), nullptr);
}

// Copies and pickles must not run the constructor again: it would wrap the finished message
// ("Block with ID 'Block with ID ...' not found."). They rebuild the exception from its
// arguments through __new__ alone, then restore its attributes.
PyObject* not_found_reduce(PyObject* self, PyObject*) {
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref newobj = copyreg ? Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__")) : Ref();
    Ref args = newobj ? Ref::steal(PyObject_GetAttrString(self, "args")) : Ref();
    Ref tuple_args = args ? Ref::steal(PySequence_Tuple(args.get())) : Ref();
    Ref type_tuple = tuple_args ? Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self)))) : Ref();
    Ref new_args = type_tuple ? Ref::steal(PySequence_Concat(type_tuple.get(), tuple_args.get())) : Ref();
    Ref dict = new_args ? Ref::steal(PyObject_GetAttrString(self, "__dict__")) : Ref();
    if (!dict) return nullptr;
    return PyTuple_Pack(3, newobj.get(), new_args.get(), dict.get());
}

PyMethodDef not_found_methods[] = {
    {"__reduce__", not_found_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nRebuilds the error from its message, for copying and pickling."},
    {nullptr},
};

PyType_Slot not_found_slots[] = {
    {Py_tp_doc, const_cast<char*>("BlockNotFoundError(blockID)\n--\n\nException raised when a block is not found.")},
    {Py_tp_init, reinterpret_cast<void*>(not_found_init)},
    {Py_tp_methods, not_found_methods},
    {0, nullptr},
};

PyType_Spec not_found_spec = {
    "QorvelAPI.plugins.BlockNotFoundError", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, not_found_slots,
};

}  // namespace

namespace {

// Whether the constructor's checks would pass, without the parser's work (the editor's pairs
// nearly always do; anything else takes the parser for its messages).
bool plain_pair_arguments(PyObject* placed_id, PyObject* block_id, PyObject* variable_id, PyObject* variable_type,
                          PyObject* allowed_values) noexcept {
    return placed_id != nullptr && PyLong_CheckExact(placed_id) && block_id != nullptr &&
           PyUnicode_CheckExact(block_id) && variable_id != nullptr && PyUnicode_CheckExact(variable_id) &&
           (variable_type == nullptr || variable_type == Py_None || PyUnicode_CheckExact(variable_type)) &&
           (allowed_values == nullptr || allowed_values == Py_None || PyList_CheckExact(allowed_values));
}

}  // namespace

Ref make_var_pair(ModuleState& state, PyObject* placed_id, PyObject* block_id, PyObject* variable_id,
                  PyObject* variable_type, PyObject* allowed_values) {
    if (plain_pair_arguments(placed_id, block_id, variable_id, variable_type, allowed_values)) {
        PyTypeObject* type = state.BlockVarPair;
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self || !init_pair(self.get(), placed_id, block_id, variable_id, variable_type, allowed_values, state)) {
            return Ref();
        }
        return self;
    }
    pyutil::Bound<pair_signature.size> bound;
    bound.values = {placed_id, block_id, variable_id, variable_type, allowed_values};
    // The same checks as the constructor, with a null for an absent placed ID read as None.
    for (std::size_t i = 0; i < 3; ++i) {
        if (bound.values[i] == nullptr) bound.values[i] = Py_None;
    }
    PyObject* no_args[] = {nullptr};
    if (!pyutil::parse(pair_signature, no_args, 0, nullptr, bound)) return Ref();
    PyTypeObject* type = state.BlockVarPair;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_pair_bound(state, self.get(), bound)) return Ref();
    return self;
}

Ref make_connection(ModuleState& state, PyObject* origin, PyObject* destination, PyObject* is_cyclic,
                    PyObject* cycles, PyObject* current_cycle) {
    if (is_cyclic == nullptr) is_cyclic = Py_False;
    const bool plain = origin != nullptr && destination != nullptr &&
                       (cycles == nullptr || PyLong_CheckExact(cycles)) &&
                       (current_cycle == nullptr || PyLong_CheckExact(current_cycle));
    if (!plain) {  // the parser, for its messages
        pyutil::Bound<connection_signature.size> bound;
        bound.values = {origin, destination, is_cyclic, cycles, current_cycle};
        PyObject* no_args[] = {nullptr};
        if (!pyutil::parse(connection_signature, no_args, 0, nullptr, bound)) return Ref();
    }
    PyTypeObject* type = state.BlockConnection;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return Ref();
    init_connection(self.get(), origin, destination, is_cyclic, cycles, current_cycle);
    return self;
}

Ref pair_to_dict(ModuleState& state, PyObject* pair) {
    if (Py_IS_TYPE(pair, state.BlockVarPair)) return own_pair_dict(state, pair);
    return Ref::steal(PyObject_CallMethodNoArgs(pair, state.k__toDict));
}

Ref connection_to_dict(ModuleState& state, PyObject* connection) {
    if (Py_IS_TYPE(connection, state.BlockConnection)) return own_connection_dict(state, connection);
    return Ref::steal(PyObject_CallMethodNoArgs(connection, state.k__toDict));
}

bool register_connections(PyObject* module, ModuleState& state) {
    state.BlockVarPair = pyutil::add_type(module, &pair_spec);
    if (state.BlockVarPair == nullptr) return false;
    state.BlockVarPair->tp_vectorcall = pair_vectorcall;
    state.BlockConnection = pyutil::add_type(module, &connection_spec);
    if (state.BlockConnection == nullptr) return false;
    state.BlockConnection->tp_vectorcall = connection_vectorcall;
    state.BlockNotFoundError = pyutil::add_type(module, &not_found_spec, PyExc_Exception);
    return state.BlockNotFoundError != nullptr;
}

}  // namespace plugins
