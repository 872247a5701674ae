// Copying and pickling support for objects whose public attributes live in T_OBJECT_EX member
// slots. `object.__reduce_ex__` refuses such objects ("cannot pickle"), so `copy.deepcopy` of a
// block or a variable would fail; a type adds `__getstate__`/`__setstate__` built on these
// helpers and the standard protocol (new object, then state) does the rest, cycles included.
#pragma once
#include "ref.hpp"

#include <structmember.h>

namespace pyutil {

// {member name: value} for every writable object member that is set, base classes first (so
// Python subclasses' `__slots__` are included), followed by the instance `__dict__` entries.
inline Ref members_getstate(PyObject* self) {
    Ref state = Ref::steal(PyDict_New());
    if (!state) return Ref();
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        for (PyMemberDef* m = type->tp_members; m != nullptr && m->name != nullptr; ++m) {
            if (m->type != T_OBJECT_EX || (m->flags & READONLY) != 0) continue;
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + m->offset);
            if (value != nullptr && PyDict_SetItemString(state.get(), m->name, value) < 0) return Ref();
        }
    }
    PyObject** dict = _PyObject_GetDictPtr(self);
    if (dict != nullptr && *dict != nullptr && PyDict_Update(state.get(), *dict) < 0) return Ref();
    return state;
}

// Restores what members_getstate produced, through setattr (descriptors and properties apply).
inline bool members_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %s", _PyType_Name(Py_TYPE(state)));
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(state, &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (PyObject_SetAttr(self, k.get(), v.get()) < 0) return false;
    }
    return true;
}

}  // namespace pyutil
