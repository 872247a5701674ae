// Owning and borrowed references to Python objects.
//
// Business logic never calls Py_INCREF/Py_DECREF itself: a `Ref` owns one strong reference and
// releases it when it goes out of scope. `Ref::steal` takes over a new reference returned by the
// C API (the usual case), `Ref::borrow` adds a reference to a borrowed one.
//
// Rules of use
//
//  1. A borrowed pointer (an object slot, a list or dictionary item, an argument of a callback)
//     is valid only until the next call that can run Python code. Such calls are many: a method
//     or attribute of an object that is not exactly one of our own or a built-in type, a
//     comparison or hash, a conversion (str, float, truth value), an allocation (any allocation
//     can start the cyclic GC, which runs finalizers, which can release the GIL and let another
//     thread run), and logging.
//  2. Before such a call, hold a strong reference (a Ref) to everything used after it: the object
//     being worked on, the containers being walked and the values already read. `slot_ref` takes
//     a strong snapshot of an object slot; an empty slot (never set, or deleted) raises the
//     interpreter's own AttributeError.
//  3. A container being walked is re-read on every step with a bounds check, as the interpreter's
//     own list iteration does: code run by one element may shrink, grow or replace it.
//     `list_item` and `for_each_item` do that for exact lists.
//  4. Slots are replaced with `assign_slot`, which releases the old value last, so a finalizer
//     run by that release sees the object already updated.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyutil {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (may be null, which then signals a pending exception).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a strong reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return ptr_; }
    // Gives the reference away (to a C API call that steals, or as a return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new strong reference for a caller that keeps it.
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

// Replaces the strong reference held in an object's slot, releasing the old one afterwards
// (so a destructor that runs Python code never sees a half-updated object).
inline void assign_slot(PyObject*& slot, PyObject* value) noexcept {
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

inline void assign_slot(PyObject*& slot, Ref value) noexcept {
    PyObject* old = slot;
    slot = value.release();
    Py_XDECREF(old);
}

// A strong snapshot of an object slot. An empty slot (never set, or deleted with `del obj.attr`)
// is read as the attribute `name`, so the error is exactly the interpreter's own (that of the
// member or descriptor that the class has), and a subclass's __getattr__ is honoured.
inline Ref slot_ref(PyObject* self, PyObject* slot, PyObject* name) {
    if (slot != nullptr) return Ref::borrow(slot);
    Ref value = Ref::steal(PyObject_GetAttr(self, name));
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
    return value;
}

inline Ref slot_ref(PyObject* self, PyObject* slot, const char* name) {
    if (slot != nullptr) return Ref::borrow(slot);
    return Ref::steal(PyObject_GetAttrString(self, name));
}

// The item at `index` of the exact list `list`, as a strong reference, or an empty Ref (and no
// exception) once `index` is past the list's current end. Read afresh on every call.
inline Ref list_item(PyObject* list, Py_ssize_t index) noexcept {
    if (index < 0 || index >= PyList_GET_SIZE(list)) return Ref();
    return Ref::borrow(PyList_GET_ITEM(list, index));
}

// Calls `fn(item)` (returning false on error) for each item of the exact list `list`, re-reading
// the list's size and item with a bounds check on every step. The caller holds `list` strongly.
template <typename Fn>
bool for_each_item(PyObject* list, Fn&& fn) {
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = list_item(list, i);
        if (!item) return true;
        if (!fn(item.get())) return false;
    }
}

}  // namespace pyutil
