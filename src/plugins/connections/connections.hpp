// Object layouts of the connection value types, read directly by the block unit.
#pragma once
#include "../state.hpp"

namespace plugins {

struct BlockVarPairObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* blockPlacedID;
    PyObject* blockID;
    PyObject* variableID;
    PyObject* variableType;
    PyObject* variableAllowedValues;
};

struct BlockConnectionObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* origin;        // BlockVarPair
    PyObject* destination;   // BlockVarPair
    PyObject* isCyclic;
    PyObject* cycles;
    PyObject* currentCycle;
};

// The keys of a pair's and of a connection's dictionary, in their order: what pair_to_dict and
// connection_to_dict write and connections_from_list reads.
struct PairKeys {
    PyObject* const keys[5];  // placedID, blockID, variableID, variableType, variableAllowedValues
};
struct ConnectionKeys {
    PyObject* const keys[5];  // origin, destination, isCyclic, cycles, currentCycle
};
inline PairKeys pair_keys(const ModuleState& s) noexcept {
    return {{s.k_placedID, s.k_blockID, s.k_variableID, s.k_variableType, s.k_variableAllowedValues}};
}
inline ConnectionKeys connection_keys(const ModuleState& s) noexcept {
    return {{s.k_origin, s.k_destination, s.k_isCyclic, s.k_cycles, s.k_currentCycle}};
}

// Builds a BlockVarPair as its constructor does (exact-type checks with the constructor's
// messages, the missing-type warning and the ANY fallback). `variable_type` and
// `allowed_values` may be null for "not given"; a null placed ID or identifier reads as None
// and is refused by the type check, as for an editor pair lacking the key. Returns null with an
// exception set.
pyutil::Ref make_var_pair(ModuleState& state, PyObject* placed_id, PyObject* block_id, PyObject* variable_id,
                          PyObject* variable_type, PyObject* allowed_values);

// Builds a BlockConnection; null `is_cyclic` / `cycles` / `current_cycle` mean False / 1 / 0
// (the editor's defaults); a null origin or destination is refused as a missing argument. `cycles` and
// `current_cycle` must be exact ints (TypeError as the constructor raises it).
pyutil::Ref make_connection(ModuleState& state, PyObject* origin, PyObject* destination, PyObject* is_cyclic,
                            PyObject* cycles, PyObject* current_cycle);

// The pair and connection dictionaries, as `obj._toDict()` gives them (a Python subclass's
// override is honoured; our own classes take a direct path).
pyutil::Ref pair_to_dict(ModuleState& state, PyObject* pair);
pyutil::Ref connection_to_dict(ModuleState& state, PyObject* connection);

// A list of connection dictionaries (as the editor saves them) into a new list of BlockConnection:
// missing keys take the editor's defaults, a connection without both ends is "Invalid flow
// object.", anything that is not a list (None included) or a dictionary is refused with a
// TypeError. Returns null with an exception set.
pyutil::Ref connections_from_list(ModuleState& state, PyObject* list);

inline BlockConnectionObject* as_connection(PyObject* obj) noexcept {
    return reinterpret_cast<BlockConnectionObject*>(obj);
}
inline BlockVarPairObject* as_pair(PyObject* obj) noexcept { return reinterpret_cast<BlockVarPairObject*>(obj); }
inline bool is_connection(const ModuleState& state, PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, state.BlockConnection);
}

}  // namespace plugins
