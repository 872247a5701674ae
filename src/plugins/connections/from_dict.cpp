// The connection JSON read back into objects: the inverse of `pair_to_dict` and
// `connection_to_dict`, with the keys those write (connections.hpp lists them once).
#include "connections.hpp"

#include "../../pyutil/collected.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/errors.hpp"

namespace plugins {

using pyutil::Ref;

namespace {

// What `json.get(key, fallback)` gives for a value read with `pyutil::read_keys`.
void or_default(Ref& value, PyObject* fallback) {
    if (!value) value = Ref::borrow(fallback);
}

// One endpoint dictionary into a BlockVarPair.
Ref pair_from_dict(ModuleState& state, PyObject* endpoint) {
    if (pyutil::dict_or_raise(endpoint) == nullptr) return Ref();
    const PairKeys keys = pair_keys(state);
    Ref args[std::size(keys.keys)];
    if (!pyutil::read_keys(endpoint, keys.keys, args)) return Ref();
    for (Ref& arg : args) or_default(arg, Py_None);
    return make_var_pair(state, args[0].get(), args[1].get(), args[2].get(), args[3].get(), args[4].get());
}

Ref connection_from_dict(ModuleState& state, PyObject* connection) {
    if (pyutil::dict_or_raise(connection) == nullptr) return Ref();
    const ConnectionKeys keys = connection_keys(state);
    Ref fields[std::size(keys.keys)];
    if (!pyutil::read_keys(connection, keys.keys, fields)) return Ref();
    auto& [origin, destination, cyclic, cycles, current] = fields;
    or_default(origin, Py_None);
    or_default(destination, Py_None);
    or_default(cyclic, Py_False);
    if (!cycles) cycles = Ref::steal(PyLong_FromLong(1));  // small ints are cached: cannot fail
    if (!current) current = Ref::steal(PyLong_FromLong(0));
    if (origin.get() == Py_None || destination.get() == Py_None) {
        PyErr_SetString(PyExc_Exception, "Invalid flow object.");
        return Ref();
    }
    Ref origin_pair = pair_from_dict(state, origin.get());
    if (!origin_pair) return Ref();
    Ref destination_pair = pair_from_dict(state, destination.get());
    if (!destination_pair) return Ref();
    return make_connection(state, origin_pair.get(), destination_pair.get(), cyclic.get(), cycles.get(), current.get());
}

}  // namespace

Ref connections_from_list(ModuleState& state, PyObject* list) {
    if (pyutil::list_or_raise(list) == nullptr) return Ref();
    // Parsed first, then made into a list at once (parsing can run Python code, which must never
    // meet a list with empty places).
    pyutil::Collected parsed;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        Ref connection = connection_from_dict(state, item.get());
        if (!connection) return Ref();
        parsed.push(std::move(connection));
    }
    return parsed.to_list();
}

}  // namespace plugins
