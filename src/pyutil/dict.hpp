// Building dictionaries in a fixed key order with keys interned once per module.
#pragma once
#include "ref.hpp"

#include <initializer_list>
#include <utility>

namespace pyutil {

// Interns `text` for use as a dictionary key; stored in module state by the caller.
inline PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

// One entry of a dictionary under construction: an interned key and a borrowed value.
struct Entry {
    PyObject* key;
    PyObject* value;
};

// Adds the entries in order to `dict`; values are placed as they are, not copied.
inline bool put_all(PyObject* dict, std::initializer_list<Entry> entries) noexcept {
    for (const Entry& e : entries) {
        if (PyDict_SetItem(dict, e.key, e.value) < 0) return false;
    }
    return true;
}

// A new dictionary holding the entries in order, or null with an exception set.
inline Ref make_dict(std::initializer_list<Entry> entries) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !put_all(dict.get(), entries)) return Ref();
    return dict;
}

// Looks `key` up in `dict`: borrowed value, or null when absent. `error` is set when the lookup
// itself raised (an unhashable key, a failing __eq__).
inline PyObject* dict_find(PyObject* dict, PyObject* key, bool& error) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    error = value == nullptr && PyErr_Occurred() != nullptr;
    return value;
}

}  // namespace pyutil
