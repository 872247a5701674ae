// The text form of the model's objects and the files it writes: JSON indented by 4 spaces,
// keys in dictionary order, non-ASCII characters escaped; produced by Python's own json module
// so that the text is byte for byte what the platform's Python code produces.
#pragma once
#include "ref.hpp"

namespace pyutil {

// json.dumps(obj, indent=4, **extra) where `ensure_ascii` is left at its default (True).
inline Ref json_dumps_indented(PyObject* obj) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return Ref();
    Ref dumps = Ref::steal(PyObject_GetAttrString(json.get(), "dumps"));
    Ref indent = Ref::steal(PyLong_FromLong(4));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "indent"));
    if (!dumps || !indent || !kwnames) return Ref();
    PyObject* args[] = {obj, indent.get()};
    return Ref::steal(PyObject_Vectorcall(dumps.get(), args, 1, kwnames.get()));
}

// json.loads(text)
inline Ref json_loads(PyObject* text) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return Ref();
    return Ref::steal(PyObject_CallMethod(json.get(), "loads", "O", text));
}

}  // namespace pyutil
