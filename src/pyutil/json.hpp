// The text form of the model's objects and the files it writes: JSON indented by 4 spaces,
// keys in dictionary order, non-ASCII characters escaped; byte for byte what the platform's
// Python code produces with its json module.
#pragma once
#include "json_writer.hpp"

#include <exception>

namespace pyutil {

// Python's own json.dumps(obj, indent=4), `ensure_ascii` left at its default (True).
inline Ref python_json_dumps_indented(PyObject* obj) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return Ref();
    Ref dumps = Ref::steal(PyObject_GetAttrString(json.get(), "dumps"));
    Ref indent = Ref::steal(PyLong_FromLong(4));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "indent"));
    if (!dumps || !indent || !kwnames) return Ref();
    PyObject* args[] = {obj, indent.get()};
    return Ref::steal(PyObject_Vectorcall(dumps.get(), args, 1, kwnames.get()));
}

// json.dumps(obj, indent=4): written natively, and by json itself where the writer leaves it.
inline Ref json_dumps_indented(PyObject* obj) {
    JsonWriter::Outcome outcome = JsonWriter::Outcome::Failed;
    JsonWriter writer;
    try {
        outcome = writer.write(obj);
    } catch (const std::exception&) {  // the buffer could not grow (std::bad_alloc, std::length_error)
        PyErr_NoMemory();
        return Ref();
    }
    switch (outcome) {
        case JsonWriter::Outcome::Written: return writer.text();
        case JsonWriter::Outcome::LeaveToJson: return python_json_dumps_indented(obj);
        case JsonWriter::Outcome::Failed: break;
    }
    return Ref();
}

// json.loads(text)
inline Ref json_loads(PyObject* text) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return Ref();
    return Ref::steal(PyObject_CallMethod(json.get(), "loads", "O", text));
}

}  // namespace pyutil
