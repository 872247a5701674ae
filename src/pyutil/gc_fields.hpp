// GC traversal and clearing of an object's reference slots, listed once as pointers to members:
//
//     using Fields = pyutil::GcFields<&PageObject::dict, &PageObject::id, &PageObject::name>;
//     ... {Py_tp_traverse, Fields::traverse<PageObject>}, {Py_tp_clear, Fields::clear<PageObject>}
//
// The weak-reference list is not one of these slots: it is emptied by PyObject_ClearWeakRefs.
#pragma once
#include "types.hpp"

namespace pyutil {

template <auto... Fields>
struct GcFields {
    template <typename T>
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        // Heap-type instances own a reference to their type.
        Py_VISIT(Py_TYPE(self));
        T* obj = reinterpret_cast<T*>(self);
        for (PyObject* field : {(obj->*Fields)...}) Py_VISIT(field);
        return 0;
    }

    template <typename T>
    static int clear(PyObject* self) {
        T* obj = reinterpret_cast<T*>(self);
        auto drop = [](PyObject*& slot) { Py_CLEAR(slot); };
        (drop(obj->*Fields), ...);
        return 0;
    }

    template <typename T>
    static void dealloc(PyObject* self) {
        dealloc_gc_object<&dealloc<T>>(self, [](PyObject* obj) { clear<T>(obj); });
    }
};

}  // namespace pyutil
