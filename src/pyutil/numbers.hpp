// Conversions of numbers given by callers.
#pragma once
#include "ref.hpp"

namespace pyutil {

// float(value) for real numbers only (int, float, a float subclass such as a numpy scalar,
// anything with __float__ or __index__), as a plain float: text fails with the conversion's own
// "must be real number, not str" instead of being parsed.
inline Ref real_to_float(PyObject* value) {
    if (PyFloat_CheckExact(value)) return Ref::borrow(value);
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return Ref();
    return Ref::steal(PyFloat_FromDouble(number));
}

}  // namespace pyutil
