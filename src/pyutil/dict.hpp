// Building dictionaries in a fixed key order with keys interned once per module.
#pragma once
#include "ref.hpp"

#include <cstddef>
#include <cstring>
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

// Adds the value of an object slot of `self`, read at the call, to the new dictionary `dict` under
// the new exact string `key`. The insertion takes its own reference before it could allocate, and
// runs no Python code (no key comparison, no old value released), so the slot needs no snapshot
// first. An empty slot is read as the attribute `name`, as `slot_ref` does.
inline bool put_slot(PyObject* dict, PyObject* key, PyObject* self, PyObject* slot, PyObject* name) {
    if (slot != nullptr) return PyDict_SetItem(dict, key, slot) == 0;
    Ref value = slot_ref(self, slot, name);
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
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

// Whether the exact strings `a` and `b` have the same text (what a dictionary's key comparison
// decides for them), without running any code.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The values of `keys` (exact strings) in the dictionary `dict`, held in `values` (empty where a
// key is missing), found in one walk over its entries instead of one lookup per key: entries come
// in the order our encoders wrote them, so the key expected next is tried first. Nothing runs
// Python code while the walk reads, so what it finds is what the lookups would. It declines
// (returns false, `values` untouched) when a key of `dict` is not an exact string: comparing such
// a key runs its code, and the caller then looks the keys up one by one.
template <std::size_t N>
bool gather(PyObject* dict, PyObject* const (&keys)[N], Ref (&values)[N]) noexcept {
    PyObject* found[N];
    for (std::size_t i = 0; i < N; ++i) found[i] = nullptr;
    Py_ssize_t position = 0;
    std::size_t expected = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) [[unlikely]] return false;
        if (expected < N && same_text(key, keys[expected])) [[likely]] {
            found[expected++] = value;
            continue;
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (same_text(key, keys[i])) {
                found[i] = value;
                expected = i + 1;
                break;
            }
        }
    }
    // Nothing ran since the walk: the values found are still the dictionary's.
    for (std::size_t i = 0; i < N; ++i) {
        if (found[i] != nullptr) values[i] = Ref::borrow(found[i]);
    }
    return true;
}

// The values of `keys` in the dictionary `dict` (empty where missing): gathered in one walk, or
// looked up in order. Each is held as soon as it is read: a lookup can run a foreign key's
// __eq__, which may change the dictionary. False with an exception when a lookup raised.
template <std::size_t N>
bool read_keys(PyObject* dict, PyObject* const (&keys)[N], Ref (&values)[N]) noexcept {
    if (gather(dict, keys, values)) return true;
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = Ref::borrow(PyDict_GetItemWithError(dict, keys[i]));
        if (!values[i] && PyErr_Occurred()) return false;
    }
    return true;
}

// Finds keys in a dictionary that most likely holds them in the order they are asked for (the
// values of a block's variables, keyed by their identifiers in the block's order): the entry after
// the last one found is tried first, without hashing or probing; any other key is looked up as
// usual. The caller holds the dictionary. A lookup can run a foreign key's __eq__, which may change
// the dictionary; the cursor then simply stops matching (PyDict_Next checks its position).
class KeyCursor {
public:
    explicit KeyCursor(PyObject* dict) noexcept : dict_(dict) {}

    // The value of `key`, borrowed; null when it is missing (`error` says whether the lookup raised).
    PyObject* find(PyObject* key, bool& error) noexcept {
        error = false;
        Py_ssize_t next = position_;
        PyObject* entry_key = nullptr;
        PyObject* value = nullptr;
        if (PyUnicode_CheckExact(key) && PyDict_Next(dict_, &next, &entry_key, &value) &&
            PyUnicode_CheckExact(entry_key) && same_text(entry_key, key)) {
            position_ = next;
            return value;
        }
        value = PyDict_GetItemWithError(dict_, key);
        error = value == nullptr && PyErr_Occurred() != nullptr;
        return value;
    }

private:
    PyObject* dict_;
    Py_ssize_t position_ = 0;
};

// Looks `key` up in `dict`: borrowed value, or null when absent. `error` is set when the lookup
// itself raised (an unhashable key, a failing __eq__).
inline PyObject* dict_find(PyObject* dict, PyObject* key, bool& error) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    error = value == nullptr && PyErr_Occurred() != nullptr;
    return value;
}

}  // namespace pyutil
