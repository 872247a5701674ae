// Small helpers for raising exceptions with formatted messages.
#pragma once
#include "ref.hpp"

#include <cstring>

namespace pyutil {

// Name of a type as Python prints it ("int", "NoneType", "VariableTypes").
// Heap types carry their dotted path in tp_name; Python names them by their short name.
inline const char* short_type_name(PyTypeObject* type) noexcept {
    const char* dot = strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

// Name of an object's type as Python prints it.
inline const char* type_name(PyObject* obj) noexcept { return short_type_name(Py_TYPE(obj)); }

// The slot's object, or null with the AttributeError that reading an unset member slot raises
// (same text as the interpreter's own, which names the type by its full name).
inline PyObject* slot_or_raise(PyObject* self, PyObject* slot, const char* name) {
    if (slot == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    }
    return slot;
}

inline PyObject* slot_or_raise(PyObject* self, PyObject* slot, PyObject* name) {
    if (slot == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
    }
    return slot;
}

// Raises `kind` with the text of `message` (a new reference or null); always returns null.
inline PyObject* raise_with(PyObject* kind, Ref message) {
    if (message) PyErr_SetObject(kind, message.get());
    return nullptr;
}

// Raises `kind(message)` where the message is built by PyUnicode_FromFormat; always returns null.
template <typename... Args>
PyObject* raise_format(PyObject* kind, const char* format, Args... args) {
    return raise_with(kind, Ref::steal(PyUnicode_FromFormat(format, args...)));
}

// "Expected <type>, got <type>": the message for values of the editor's JSON in typed slots.
inline PyObject* raise_expected(const char* expected, PyObject* got) {
    return raise_format(PyExc_TypeError, "Expected %s, got %s", expected, type_name(got));
}

// The value when it is an exact dictionary; otherwise null with "Expected dict, got <type>".
inline PyObject* dict_or_raise(PyObject* value) {
    if (PyDict_CheckExact(value)) return value;
    return raise_expected("dict", value);
}

// The value when it is an exact list; otherwise null with the TypeError that iterating it would
// raise for None, and "Expected list, got <type>" for anything else.
inline PyObject* list_or_raise(PyObject* value) {
    if (PyList_CheckExact(value)) return value;
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    return raise_expected("list", value);
}

// Chains the exception currently being handled as the cause of a newly raised one.
// Call with the caught exception (taken by PyErr_GetRaisedException-like fetch) after raising.
inline void set_cause_of_current(Ref cause) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && cause) {
        PyException_SetCause(value, cause.new_ref());
        PyException_SetContext(value, cause.release());
    }
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
}

// Takes the pending exception out of the error indicator as one normalised object.
inline Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

// Puts an exception taken by fetch_exception back as the pending one (nothing when null).
inline void reraise(Ref exception) {
    if (!exception) return;
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
}

}  // namespace pyutil
