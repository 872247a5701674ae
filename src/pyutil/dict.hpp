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

// Large dictionaries of fixed keys, built from a template.
//
// A dictionary grown key by key from PyDict_New is resized (its table reallocated and rebuilt) as
// it fills, and the public API has no presized constructor. A copy of a template holding the same
// keys in the same order (with None values) is one allocation of a table of the final size. Each
// value then replaces a None under a key already present, which allocates nothing and runs no
// Python code (the keys are exact interned strings, the old values None). Worth it from about a
// dozen keys: the copy costs more than a small dictionary's growth.

// A template holding `keys` in order, each with the value None.
inline Ref key_template(std::initializer_list<PyObject*> keys) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    for (PyObject* key : keys) {
        if (PyDict_SetItem(dict.get(), key, Py_None) < 0) return Ref();
    }
    return dict;
}

// A copy of `key_template` holding the entries (whose keys are the template's, in its order; keys
// left out keep None). The values are borrowed: the caller holds them, since the copy allocates.
inline Ref dict_from_template(PyObject* key_template, std::initializer_list<Entry> entries) noexcept {
    Ref dict = Ref::steal(PyDict_Copy(key_template));
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
