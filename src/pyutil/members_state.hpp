// Copying and pickling support for objects whose public attributes live in T_OBJECT_EX member
// slots. `object.__reduce_ex__` refuses such objects ("cannot pickle"), so `copy.deepcopy` of a
// block or a variable would fail; a type adds `__getstate__`/`__setstate__` built on these
// helpers and the standard protocol (new object, then state) does the rest, cycles included.
#pragma once
#include "errors.hpp"
#include "ref.hpp"

#include <structmember.h>

#include <initializer_list>
#include <utility>

namespace pyutil {

// The object's instance `__dict__` in `dict` (made on first use, as reading `__dict__` makes
// it), left unset when its type has none; false with an exception set when making it failed.
inline bool instance_dict(PyObject* self, Ref& dict) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
    dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    return static_cast<bool>(dict);
}

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
    Ref dict;
    if (!instance_dict(self, dict) || (dict && PyDict_Update(state.get(), dict.get()) < 0)) return Ref();
    return state;
}

// Restores what members_getstate produced, through setattr (descriptors and properties apply).
inline bool members_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %s", type_name(state));
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

namespace detail {

// Values that deepcopy returns unchanged; copying them through the copy module would only cost.
inline bool deepcopy_atomic(PyObject* value, std::initializer_list<PyTypeObject*> extra_atomic) noexcept {
    if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
        PyFloat_CheckExact(value) || PyBytes_CheckExact(value) || PyType_Check(value) || PyFunction_Check(value) ||
        PyCFunction_Check(value)) {
        return true;
    }
    for (PyTypeObject* type : extra_atomic) {
        if (type != nullptr && Py_IS_TYPE(value, type)) return true;
    }
    return false;
}

inline Ref deepcopy_value(PyObject* deepcopy, PyObject* value, PyObject* memo,
                          std::initializer_list<PyTypeObject*> extra_atomic) {
    if (deepcopy_atomic(value, extra_atomic)) return Ref::borrow(value);
    PyObject* args[] = {value, memo};
    return Ref::steal(PyObject_Vectorcall(deepcopy, args, 2, nullptr));
}

}  // namespace detail

// `__deepcopy__(memo)` for objects whose public attributes are T_OBJECT_EX member slots: a new
// object of the same type (made by tp_new without arguments, __init__ is not run) registered
// in the memo first, so reference cycles come out as cycles, then every set member slot and
// every `__dict__` entry deep-copied. `extra_atomic` names further types whose instances are
// shared rather than copied (enumeration classes, whose members copy to themselves).
inline Ref members_deepcopy(PyObject* self, PyObject* memo, std::initializer_list<PyTypeObject*> extra_atomic = {}) {
    Ref own_memo;
    if (memo == nullptr || memo == Py_None) {
        own_memo = Ref::steal(PyDict_New());
        if (!own_memo) return Ref();
        memo = own_memo.get();
    }
    Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
    Ref deepcopy = copy_module ? Ref::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy")) : Ref();
    if (!deepcopy) return Ref();
    PyTypeObject* type = Py_TYPE(self);
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return Ref();
    Ref result = Ref::steal(type->tp_new(type, no_args.get(), nullptr));
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!result || !key || PyObject_SetItem(memo, key.get(), result.get()) < 0) return Ref();

    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        for (PyMemberDef* m = base->tp_members; m != nullptr && m->name != nullptr; ++m) {
            if (m->type != T_OBJECT_EX || (m->flags & READONLY) != 0) continue;
            auto slot_at = [m](PyObject* obj) -> PyObject*& {
                return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + m->offset);
            };
            Ref value = Ref::borrow(slot_at(self));
            if (!value) continue;
            Ref copied = detail::deepcopy_value(deepcopy.get(), value.get(), memo, extra_atomic);
            if (!copied) return Ref();
            assign_slot(slot_at(result.get()), std::move(copied));
        }
    }
    Ref source;
    if (!instance_dict(self, source)) return Ref();
    if (source && PyDict_GET_SIZE(source.get()) > 0) {
        Ref copied = detail::deepcopy_value(deepcopy.get(), source.get(), memo, extra_atomic);
        if (!copied) return Ref();
        Ref target = Ref::steal(PyObject_GenericGetDict(result.get(), nullptr));
        if (!target || PyDict_Update(target.get(), copied.get()) < 0) return Ref();
    }
    return result;
}

}  // namespace pyutil
