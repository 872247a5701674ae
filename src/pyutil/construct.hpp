// Constructors that work both when the class is called directly (vectorcall, fast) and from a
// Python subclass's __init__ (tp_init with a tuple and a dict; Python subclasses do not inherit
// the type's vectorcall).
#pragma once
#include "args.hpp"

namespace pyutil {

// Allocates an instance of `type` and runs `init(self, bound)` on it; returns the new object or
// null with an exception set. `Init` returns false on failure.
template <std::size_t N, typename Init>
PyObject* vectorcall_construct(const Signature<N>& sig, PyObject* callable, PyObject* const* args,
                               size_t nargsf, PyObject* kwnames, Init init) {
    Bound<N> bound;
    if (!parse(sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init(self.get(), bound)) return nullptr;
    return self.release();
}

// tp_init body: binds (args, kwargs) and runs `init(self, bound)`; 0 on success, -1 on failure.
template <std::size_t N, typename Init>
int tuple_init(const Signature<N>& sig, PyObject* self, PyObject* args, PyObject* kwargs, Init init) {
    Bound<N> bound;
    if (!parse(sig, args, kwargs, bound)) return -1;
    return init(self, bound) ? 0 : -1;
}

// Installs a vectorcall constructor on a heap type created from a spec (the spec slots of the
// supported interpreters cannot carry it).
inline void set_type_vectorcall(PyTypeObject* type, vectorcallfunc call) noexcept { type->tp_vectorcall = call; }

}  // namespace pyutil
