// A native deep copy with a memo, compatible with `copy.deepcopy`.
//
// JSON-like built-ins are handled here (dict, list and tuple copied; str, int, float, bool,
// None shared as the immutable values they are). Every other type is classified once per copy
// by the caller's rule:
//   - Slots:    an object whose layout after the header is object references only (our own
//               model types): allocated anew and filled slot by slot, the instance __dict__
//               included;
//   - Share:    kept as it is (callables, enumeration members, plugin-level objects);
//   - Fallback: handed to `copy.deepcopy` with a memo that holds everything copied so far, so
//               objects shared between native and foreign parts stay shared in the copy.
// The memo maps originals to copies before their contents are copied, so cycles are safe.
#pragma once
#include "ref.hpp"

#include <unordered_map>
#include <vector>

namespace pyutil {

enum class CopyPolicy : unsigned char { Unknown, Slots, Share, Fallback };

class DeepCopier {
public:
    // `classify` decides for types that are not JSON-like built-ins; Unknown means "share if
    // callable, else fall back". `memo` (borrowed, may be null) is a copy.deepcopy memo.
    using Classify = CopyPolicy (*)(const void* ctx, PyTypeObject* type);

    DeepCopier(Classify classify, const void* ctx, PyObject* memo) noexcept
        : classify_(classify), ctx_(ctx), pymemo_(Ref::borrow(memo)) {}

    // A new reference to the copy of `obj`, or null with an exception set.
    Ref copy(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (obj == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
            type == &PyFloat_Type) {
            return Ref::borrow(obj);
        }
        bool error = false;
        if (PyObject* known = find(obj, error)) return Ref::borrow(known);
        if (error) return Ref();
        if (Py_EnterRecursiveCall(" while deep-copying an object")) return Ref();
        Ref result = copy_new(obj, type);
        Py_LeaveRecursiveCall();
        return result;
    }

private:
    Ref copy_new(PyObject* obj, PyTypeObject* type) {
        if (type == &PyList_Type) return copy_list(obj);
        if (type == &PyDict_Type) return copy_dict(obj);
        if (type == &PyTuple_Type) return copy_tuple(obj);
        switch (policy(type)) {
            case CopyPolicy::Slots: return copy_slots(obj, type);
            case CopyPolicy::Share: return Ref::borrow(obj);
            default: return fallback(obj);
        }
    }

    CopyPolicy policy(PyTypeObject* type) {
        auto it = policies_.find(type);
        if (it != policies_.end()) return it->second;
        CopyPolicy decided = classify_(ctx_, type);
        if (decided == CopyPolicy::Slots &&
            ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_itemsize != 0)) {
            decided = CopyPolicy::Fallback;  // a layout we cannot walk word by word
        }
        if (decided == CopyPolicy::Unknown) {
            // Functions, methods, classes and other callables are shared, not duplicated;
            // immutable built-ins that deepcopy treats as atomic too.
            const bool atomic = type == &PyBytes_Type || type == &PyComplex_Type || type == &PyRange_Type ||
                                type == &PyEllipsis_Type || type == &PyCode_Type ||
                                type == Py_TYPE(Py_NotImplemented) || type == &PyProperty_Type;
            decided = (atomic || type->tp_call != nullptr) ? CopyPolicy::Share : CopyPolicy::Fallback;
        }
        policies_.emplace(type, decided);
        return decided;
    }

    PyObject* find(PyObject* obj, bool& error) {
        auto it = memo_.find(obj);
        if (it != memo_.end()) return it->second;
        if (!pymemo_) return nullptr;
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!key) {
            error = true;
            return nullptr;
        }
        PyObject* found = PyDict_GetItemWithError(pymemo_.get(), key.get());
        error = found == nullptr && PyErr_Occurred() != nullptr;
        return found;
    }

    bool remember(PyObject* obj, PyObject* copy) {
        memo_.emplace(obj, copy);
        held_.push_back(Ref::borrow(copy));
        return !pymemo_ || put_pymemo(obj, copy);
    }

    bool put_pymemo(PyObject* obj, PyObject* copy) {
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        return key && PyDict_SetItem(pymemo_.get(), key.get(), copy) == 0;
    }

    Ref copy_list(PyObject* obj) {
        Ref result = Ref::steal(PyList_New(0));
        if (!result || !remember(obj, result.get())) return Ref();
        // The source may change size under a foreign __deepcopy__; index it afresh each time.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            Ref copied = copy(item.get());
            if (!copied || PyList_Append(result.get(), copied.get()) < 0) return Ref();
        }
        return result;
    }

    Ref copy_dict(PyObject* obj) {
        Ref result = Ref::steal(PyDict_New());
        if (!result || !remember(obj, result.get())) return Ref();
        Ref items = Ref::steal(PyDict_Items(obj));  // a snapshot, safe against mutation
        if (!items) return Ref();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            Ref key = copy(PyTuple_GET_ITEM(pair, 0));
            if (!key) return Ref();
            Ref value = copy(PyTuple_GET_ITEM(pair, 1));
            if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return Ref();
        }
        return result;
    }

    Ref copy_tuple(PyObject* obj) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        Ref result = Ref::steal(PyTuple_New(size));
        if (!result) return Ref();
        bool same = true;
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref copied = copy(PyTuple_GET_ITEM(obj, i));
            if (!copied) return Ref();
            same = same && copied.get() == PyTuple_GET_ITEM(obj, i);
            PyTuple_SET_ITEM(result.get(), i, copied.release());
        }
        // As copy.deepcopy: a tuple reached again through its own elements is the copy made there.
        bool error = false;
        if (PyObject* known = find(obj, error)) return Ref::borrow(known);
        if (error) return Ref();
        if (same) return Ref::borrow(obj);
        if (!remember(obj, result.get())) return Ref();
        return result;
    }

    Ref copy_slots(PyObject* obj, PyTypeObject* type) {
        Ref result = Ref::steal(type->tp_alloc(type, 0));
        if (!result || !remember(obj, result.get())) return Ref();
        char* src = reinterpret_cast<char*>(obj);
        char* dst = reinterpret_cast<char*>(result.get());
        for (Py_ssize_t offset = sizeof(PyObject); offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) <=
                                                   type->tp_basicsize;
             offset += sizeof(PyObject*)) {
            if (offset == type->tp_weaklistoffset) continue;
            PyObject* value = *reinterpret_cast<PyObject**>(src + offset);
            if (value == nullptr) continue;
            Ref copied = copy(value);
            if (!copied) return Ref();
            assign_slot(*reinterpret_cast<PyObject**>(dst + offset), std::move(copied));
        }
        return result;
    }

    Ref fallback(PyObject* obj) {
        if (!pymemo_) {
            // First foreign object: give copy.deepcopy everything copied so far.
            pymemo_ = Ref::steal(PyDict_New());
            if (!pymemo_) return Ref();
            for (const auto& [original, copied] : memo_) {
                if (!put_pymemo(original, copied)) return Ref();
            }
        }
        if (!deepcopy_) {
            Ref module = Ref::steal(PyImport_ImportModule("copy"));
            if (!module) return Ref();
            deepcopy_ = Ref::steal(PyObject_GetAttrString(module.get(), "deepcopy"));
            if (!deepcopy_) return Ref();
        }
        PyObject* args[] = {obj, pymemo_.get()};
        return Ref::steal(PyObject_Vectorcall(deepcopy_.get(), args, 2, nullptr));
    }

    Classify classify_;
    const void* ctx_;
    Ref pymemo_;
    Ref deepcopy_;
    std::unordered_map<PyObject*, PyObject*> memo_;  // original -> copy (copies held in held_)
    std::vector<Ref> held_;
    std::unordered_map<PyTypeObject*, CopyPolicy> policies_;
};

}  // namespace pyutil
