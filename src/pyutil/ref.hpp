// Owning and borrowed references to Python objects.
//
// Business logic never calls Py_INCREF/Py_DECREF itself: a `Ref` owns one strong reference and
// releases it when it goes out of scope. `Ref::steal` takes over a new reference returned by the
// C API (the usual case), `Ref::borrow` adds a reference to a borrowed one.
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

}  // namespace pyutil
