// A native deep copy with a memo, compatible with `copy.deepcopy`.
//
// JSON-like built-ins are handled here (dict, list and tuple copied; str, int, float, bool,
// None shared as the immutable values they are). Every other type gets a policy: the caller
// names its own exact types up front (a short table compared by identity), and any other type
// is classified once per copy by the caller's rule:
//   - Slots:    an object whose layout after the header is object references only (our own
//               model types): allocated anew and filled slot by slot, the instance __dict__
//               included;
//   - Share:    kept as it is (callables, enumeration members, plugin-level objects);
//   - Fallback: handed to `copy.deepcopy` with a memo that holds everything copied so far, so
//               objects shared between native and foreign parts stay shared in the copy.
//
// The memo maps originals to copies before their contents are copied, so cycles are safe. Only
// objects that can be reached twice are remembered: one that a single reference holds (the slot
// it is read from) cannot be met again, which is most of a block's lists, dictionaries and
// variables. The memo table holds strong references to both sides, so an original freed and
// its address reused, or a copy dropped by Python code, can never be mistaken for a live entry.
#pragma once
#include "recursion.hpp"
#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace pyutil {

enum class CopyPolicy : unsigned char { Unknown, Slots, Share, Fallback };

struct KnownCopyType {
    PyTypeObject* type;
    CopyPolicy policy;
};

// Originals to copies, in a flat open-addressed table of pointers; one table is kept between
// copies so a copy does not start by allocating.
class CopyMemo {
public:
    CopyMemo() { index_.assign(initial_capacity, 0); }
    CopyMemo(const CopyMemo&) = delete;
    CopyMemo& operator=(const CopyMemo&) = delete;
    ~CopyMemo() { clear(); }

    // The copy of `original` (borrowed, held by the table), or null.
    PyObject* find(PyObject* original) const noexcept {
        for (std::size_t i = home(original);; i = (i + 1) & mask()) {
            const std::uint32_t slot = index_[i];
            if (slot == 0) return nullptr;
            if (entries_[slot - 1].original == original) return entries_[slot - 1].copy;
        }
    }

    void insert(PyObject* original, PyObject* copy) {
        if (2 * (entries_.size() + 1) > index_.size()) grow();
        entries_.push_back({original, copy});  // may throw std::bad_alloc: nothing held yet
        Py_INCREF(original);
        Py_INCREF(copy);
        place(static_cast<std::uint32_t>(entries_.size()));
    }

    struct Entry {
        PyObject* original;
        PyObject* copy;
    };
    std::span<const Entry> entries() const noexcept { return entries_; }

    // Drops every entry. The references are released after the table is empty: releasing one
    // can run Python code, which may start another copy.
    void clear() {
        std::vector<Entry> dropped;
        dropped.swap(entries_);
        if (index_.size() > max_kept_capacity) index_.assign(initial_capacity, 0);
        else std::memset(index_.data(), 0, index_.size() * sizeof(index_[0]));
        for (const Entry& e : dropped) {
            Py_DECREF(e.copy);
            Py_DECREF(e.original);
        }
        if (entries_.empty() && dropped.capacity() <= max_kept_capacity) entries_.swap(dropped);
        entries_.clear();
    }

    // The table kept for the next copy (null when it is in use by a copy in progress).
    static std::unique_ptr<CopyMemo>& spare() {
        static std::unique_ptr<CopyMemo> kept;
        return kept;
    }

private:
    static constexpr std::size_t initial_capacity = 256;
    static constexpr std::size_t max_kept_capacity = 1 << 14;

    std::size_t mask() const noexcept { return index_.size() - 1; }
    std::size_t home(PyObject* obj) const noexcept {
        const auto bits = reinterpret_cast<std::uintptr_t>(obj) >> 4;
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 20) & mask();
    }
    void place(std::uint32_t slot) noexcept {
        std::size_t i = home(entries_[slot - 1].original);
        while (index_[i] != 0) i = (i + 1) & mask();
        index_[i] = slot;
    }
    void grow() {
        index_.assign(index_.size() * 2, 0);
        for (std::uint32_t slot = 1; slot <= entries_.size(); ++slot) place(slot);
    }

    std::vector<std::uint32_t> index_;  // 0: empty, else 1 + position in entries_
    std::vector<Entry> entries_;
};

class DeepCopier {
public:
    // `classify` decides for types that are neither JSON-like built-ins nor in `known`; Unknown
    // means "share if callable, else fall back". `memo` (borrowed, may be null) is a
    // copy.deepcopy memo.
    using Classify = CopyPolicy (*)(const void* ctx, PyTypeObject* type);

    DeepCopier(std::span<const KnownCopyType> known, Classify classify, const void* ctx, PyObject* memo)
        : known_(known), classify_(classify), ctx_(ctx), pymemo_(Ref::borrow(memo)) {
        memo_ = std::move(CopyMemo::spare());
        if (!memo_) memo_ = std::make_unique<CopyMemo>();
    }
    DeepCopier(const DeepCopier&) = delete;
    DeepCopier& operator=(const DeepCopier&) = delete;
    ~DeepCopier() {
        memo_->clear();
        if (!CopyMemo::spare()) CopyMemo::spare() = std::move(memo_);
    }

    // A new reference to the copy of `obj` (held by the caller), or null with an exception set.
    Ref copy(PyObject* obj) { return atomic(obj) ? Ref::borrow(obj) : copy_value(obj, false); }

private:
    static bool atomic(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        return obj == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
               type == &PyFloat_Type;
    }

    // `unique`: the caller read `obj` from a slot that held its only reference, and holds it now.
    // (Callers place atomic values themselves: this is the call for everything else.)
    [[gnu::noinline]] Ref copy_value(PyObject* obj, bool unique) {
        PyTypeObject* type = Py_TYPE(obj);
        const bool container = type == &PyList_Type || type == &PyDict_Type || type == &PyTuple_Type;
        const CopyPolicy decided = container ? CopyPolicy::Unknown : policy(type);
        if (decided == CopyPolicy::Share) return Ref::borrow(obj);  // never duplicated: no memo needed
        if (!unique) {
            bool error = false;
            if (PyObject* known = find(obj, error)) return Ref::borrow(known);
            if (error) return Ref();
        }
        const RecursiveCall level(" while deep-copying an object");
        if (!level) return Ref();
        return copy_new(obj, type, container ? CopyPolicy::Unknown : decided, unique);
    }

    // `decided` is Unknown for the built-in containers.
    Ref copy_new(PyObject* obj, PyTypeObject* type, CopyPolicy decided, bool unique) {
        if (type == &PyList_Type) return copy_list(obj, unique);
        if (type == &PyDict_Type) return copy_dict(obj, unique);
        if (type == &PyTuple_Type) return copy_tuple(obj, unique);
        return decided == CopyPolicy::Slots ? copy_slots(obj, type, unique) : fallback(obj);
    }

    // Reads a slot's value for copying: a strong reference, and whether the slot's was the only one.
    static Ref take(PyObject* slot_value, bool& unique) noexcept {
        unique = Py_REFCNT(slot_value) == 1;
        return Ref::borrow(slot_value);
    }

    CopyPolicy policy(PyTypeObject* type) {
        for (const KnownCopyType& k : known_) {
            if (k.type == type) return k.policy;
        }
        for (const KnownCopyType& k : foreign_) {
            if (k.type == type) return k.policy;
        }
        const CopyPolicy decided = classify_foreign(type);
        foreign_.push_back({type, decided});
        return decided;
    }

    CopyPolicy classify_foreign(PyTypeObject* type) {
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
        return decided;
    }

    PyObject* find(PyObject* obj, bool& error) {
        if (PyObject* found = memo_->find(obj)) return found;
        if (!pymemo_) return nullptr;
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!key) {
            error = true;
            return nullptr;
        }
        PyObject* found = PyDict_GetItemWithError(pymemo_.get(), key.get());
        if (found == nullptr) {
            error = PyErr_Occurred() != nullptr;
            return nullptr;
        }
        // Kept alive by the table from here on, whatever happens to the caller's memo.
        memo_->insert(obj, found);
        return found;
    }

    // Records the copy of `obj` unless nothing else can lead to `obj` again.
    bool remember(PyObject* obj, PyObject* copy, bool unique) {
        if (unique) return true;
        memo_->insert(obj, copy);
        return !pymemo_ || put_pymemo(obj, copy);
    }

    bool put_pymemo(PyObject* obj, PyObject* copy) {
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        return key && PyDict_SetItem(pymemo_.get(), key.get(), copy) == 0;
    }

    // The copy is presized and filled with None first, so it is a valid list at every moment
    // (the memo hands it to foreign code); the source is re-read at every step, since foreign
    // code may change its size meanwhile.
    Ref copy_list(PyObject* obj, bool unique) {
        const Py_ssize_t size = PyList_GET_SIZE(obj);
        Ref result = Ref::steal(PyList_New(size));
        if (!result) return Ref();
        for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(Py_None));
        if (!remember(obj, result.get(), unique)) return Ref();
        Py_ssize_t i = 0;
        for (; i < PyList_GET_SIZE(obj); ++i) {
            bool item_unique = false;
            Ref item = take(PyList_GET_ITEM(obj, i), item_unique);
            Ref copied = atomic(item.get()) ? std::move(item) : copy_value(item.get(), item_unique);
            if (!copied) return Ref();
            const int stored = i < PyList_GET_SIZE(result.get()) ? PyList_SetItem(result.get(), i, copied.release())
                                                                 : PyList_Append(result.get(), copied.get());
            if (stored < 0) return Ref();
        }
        if (i < PyList_GET_SIZE(result.get()) && PyList_SetSlice(result.get(), i, PyList_GET_SIZE(result.get()),
                                                                  nullptr) < 0) {
            return Ref();  // the source shrank while it was copied
        }
        return result;
    }

    static bool atomic_keys(PyObject* dict) noexcept {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!atomic(key)) return false;
        }
        return true;
    }

    Ref copy_dict(PyObject* obj, bool unique) {
        if (!atomic_keys(obj)) return copy_dict_by_items(obj, unique);
        // The usual dictionary: a presized copy holding the same values, whose values are then
        // replaced by their copies in place (the set of keys never changes, so iterating it stays
        // valid, and atomic values need no work at all).
        Ref result = Ref::steal(PyDict_Copy(obj));
        if (!result || !remember(obj, result.get(), unique)) return Ref();
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(result.get(), &pos, &key, &value)) {
            if (atomic(value)) continue;
            // The value is held by the source and by this copy: two references when no other.
            const bool value_unique = Py_REFCNT(value) <= 2;
            Ref held_key = Ref::borrow(key);
            Ref held_value = Ref::borrow(value);
            Ref copied = copy_value(held_value.get(), value_unique);
            if (!copied || PyDict_SetItem(result.get(), held_key.get(), copied.get()) < 0) return Ref();
        }
        return result;
    }

    Ref copy_dict_by_items(PyObject* obj, bool unique) {
        Ref result = Ref::steal(PyDict_New());
        if (!result || !remember(obj, result.get(), unique)) return Ref();
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            bool key_unique = false;
            bool value_unique = false;
            Ref held_key = take(key, key_unique);
            Ref held_value = take(value, value_unique);
            Ref key_copy = atomic(key) ? std::move(held_key) : copy_value(held_key.get(), key_unique);
            if (!key_copy) return Ref();
            Ref value_copy = atomic(held_value.get()) ? std::move(held_value) : copy_value(held_value.get(), value_unique);
            if (!value_copy || PyDict_SetItem(result.get(), key_copy.get(), value_copy.get()) < 0) return Ref();
        }
        return result;
    }

    Ref copy_tuple(PyObject* obj, bool unique) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        Ref result = Ref::steal(PyTuple_New(size));
        if (!result) return Ref();
        bool same = true;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyTuple_GET_ITEM(obj, i);  // held by the tuple, which cannot change
            Ref copied = atomic(item) ? Ref::borrow(item) : copy_value(item, Py_REFCNT(item) == 1);
            if (!copied) return Ref();
            same = same && copied.get() == item;
            PyTuple_SET_ITEM(result.get(), i, copied.release());
        }
        if (unique) return same ? Ref::borrow(obj) : result;
        // As copy.deepcopy: a tuple reached again through its own elements is the copy made there.
        bool error = false;
        if (PyObject* known = find(obj, error)) return Ref::borrow(known);
        if (error) return Ref();
        if (same) return Ref::borrow(obj);
        if (!remember(obj, result.get(), false)) return Ref();
        return result;
    }

    Ref copy_slots(PyObject* obj, PyTypeObject* type, bool unique) {
        Ref result = Ref::steal(type->tp_alloc(type, 0));
        if (!result || !remember(obj, result.get(), unique)) return Ref();
        const Py_ssize_t end = type->tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyObject*));
        for (Py_ssize_t offset = sizeof(PyObject); offset <= end; offset += sizeof(PyObject*)) {
            if (offset == type->tp_weaklistoffset) continue;
            // Read afresh at every step: copying a value may run code that assigns the source.
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
            if (value == nullptr) continue;
            PyObject*& target = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(result.get()) + offset);
            if (atomic(value)) {
                assign_slot(target, value);
                continue;
            }
            bool value_unique = false;
            Ref held = take(value, value_unique);
            Ref copied = copy_value(held.get(), value_unique);
            if (!copied) return Ref();
            assign_slot(target, std::move(copied));
        }
        return result;
    }

    Ref fallback(PyObject* obj) {
        if (!pymemo_) {
            // First foreign object: give copy.deepcopy everything copied so far.
            pymemo_ = Ref::steal(PyDict_New());
            if (!pymemo_) return Ref();
            // Index-based: put_pymemo allocates, and an allocation may run code that copies.
            for (std::size_t i = 0; i < memo_->entries().size(); ++i) {
                const CopyMemo::Entry e = memo_->entries()[i];
                if (!put_pymemo(e.original, e.copy)) return Ref();
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

    std::span<const KnownCopyType> known_;
    std::vector<KnownCopyType> foreign_;  // types met in this copy and not in known_
    Classify classify_;
    const void* ctx_;
    Ref pymemo_;
    Ref deepcopy_;
    std::unique_ptr<CopyMemo> memo_;
};

}  // namespace pyutil
