// Helpers for heap types created from specs in a module's exec slot, and for the cyclic GC.
#pragma once
#include "ref.hpp"

#include <cstring>

namespace pyutil {

// Creates a heap type bound to `module`, adds it to the module under its short name and returns
// a new reference (kept in module state), or null with an exception set.
inline PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* bases = nullptr) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
    if (!type) return nullptr;
    const char* dot = strrchr(spec->name, '.');
    const char* short_name = dot != nullptr ? dot + 1 : spec->name;
    if (PyModule_AddObjectRef(module, short_name, type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// A C function of any of the method signatures as the PyMethodDef field takes it (its ml_flags
// say which signature it has).
template <typename Function>
PyCFunction as_method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Sets a class-level value in a type's dictionary (a default read on the class itself).
inline bool set_class_attr(PyTypeObject* type, const char* name, PyObject* value) {
    return PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value) == 0;
}

// A class's own attribute dictionary (on 3.12+ static built-in types keep theirs elsewhere).
inline Ref class_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// What `name` (an exact str) names in the first class of the type's MRO that defines it, with
// no descriptor called, as the interpreter's own attribute lookup finds it; a borrowed pointer
// (kept alive by that class), or null without an exception when no class defines it.
inline PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::borrow(type->tp_mro);  // a class's key comparison could replace the MRO
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict = class_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)));
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found != nullptr) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();  // a failing key comparison counts as not found, as in the interpreter
            return nullptr;
        }
    }
    return nullptr;
}

// For tp_dealloc of GC heap types: untrack, clear weak references and slots, free, drop the type.
// `Self` is the tp_dealloc calling this. The release goes through the interpreter's trashcan, which
// defers the release of deep chains (a block whose slot holds a block whose slot holds a block...)
// so that freeing them cannot overflow the C stack. Python subclasses get the same from the
// interpreter's own deallocator, hence the trashcan's check on `Self`.
template <destructor Self, typename Clear>
void dealloc_gc_object(PyObject* self, Clear clear_slots) {
    PyObject_GC_UnTrack(self);  // the trashcan only defers untracked objects
    Py_TRASHCAN_BEGIN(self, Self)
    PyTypeObject* type = Py_TYPE(self);
    // Our own types keep the weak reference list in the object (positive offset): most objects
    // never had a weak reference, and the call is skipped for them.
    const Py_ssize_t weaklist = type->tp_weaklistoffset;
    if (weaklist < 0 || (weaklist > 0 && *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + weaklist))) {
        PyObject_ClearWeakRefs(self);
    }
    clear_slots(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

}  // namespace pyutil
