// GC traversal and clearing of an object's reference slots, listed once as pointers to members:
//
//     using Fields = pyutil::GcFields<&PageObject::dict, &PageObject::id, &PageObject::name>;
//     ... {Py_tp_traverse, Fields::traverse<PageObject>}, {Py_tp_clear, Fields::clear<PageObject>}
//
// The weak-reference list is not one of these slots: it is emptied by PyObject_ClearWeakRefs.
// A layout that begins with another one lists only its own slots, after those of the first:
//
//     using GroupFields = VariableFields::Extended<PluginVariableObject, &VariableGroupObject::variables>;
#pragma once
#include "types.hpp"

namespace pyutil {

template <auto... Fields>
struct GcFields {
    static constexpr std::size_t count = sizeof...(Fields);

    // The slots alone, not the type.
    template <typename T>
    static int visit_slots(PyObject* self, visitproc visit, void* arg) {
        T* obj = reinterpret_cast<T*>(self);
        int stop = 0;
        auto visit_one = [&](PyObject* field) {
            if (stop == 0 && field != nullptr) stop = visit(field, arg);
        };
        (visit_one(reinterpret_cast<PyObject*>(obj->*Fields)), ...);
        return stop;
    }

    template <typename T>
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        // Heap-type instances own a reference to their type.
        Py_VISIT(Py_TYPE(self));
        return visit_slots<T>(self, visit, arg);
    }

    template <typename T>
    static int clear(PyObject* self) {
        T* obj = reinterpret_cast<T*>(self);
        auto drop = [](auto*& slot) { Py_CLEAR(slot); };
        (drop(obj->*Fields), ...);
        return 0;
    }

    // The slots of `Base` (the layout these fields belong to, at the start of the object), then `More`.
    template <typename Base, auto... More>
    struct Extended {
        template <typename T>
        static int traverse(PyObject* self, visitproc visit, void* arg) {
            if (const int stop = GcFields::traverse<Base>(self, visit, arg)) return stop;
            return GcFields<More...>::template visit_slots<T>(self, visit, arg);
        }

        template <typename T>
        static int clear(PyObject* self) {
            GcFields<More...>::template clear<T>(self);
            return GcFields::clear<Base>(self);
        }
    };

    template <typename T>
    static void dealloc(PyObject* self) {
        dealloc_gc_object<&dealloc<T>>(self, [](PyObject* obj) { clear<T>(obj); });
    }
};

}  // namespace pyutil
