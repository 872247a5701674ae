// `copy()` and `copy.deepcopy` of blocks: the host runs every placement of a block on a deep
// copy of the declared block, so the copy must share nothing with it but its callables.
// Pickling (a host sending blocks to worker processes) goes through `__getstate__` and
// `__setstate__`: every attribute, the action and host objects included, which therefore
// pickle only if they can themselves.
//
// Our own model types are duplicated slot by slot (their layouts hold object references only),
// JSON-like values by the native engine, enumeration members and plugin-level objects are
// shared, and anything foreign goes through `copy.deepcopy` with the same memo.
#include "internal.hpp"

#include "../../pyutil/deepcopy.hpp"
#include "../../pyutil/members_state.hpp"

#include <array>
#include <new>

namespace plugins {

using pyutil::CopyPolicy;
using pyutil::Param;
using pyutil::Ref;

namespace {

bool subtype_of(PyTypeObject* type, PyTypeObject* base) noexcept {
    return base != nullptr && PyType_IsSubtype(type, base);
}

CopyPolicy classify(const void* ctx, PyTypeObject* type) {
    const auto& state = *static_cast<const ModuleState*>(ctx);
    // Enumeration members are singletons (copy.deepcopy returns them unchanged as well).
    if (subtype_of(type, state.VariableTypes) || subtype_of(type, state.PluginBlockTypes) ||
        subtype_of(type, state.SlurmBlockStatus)) {
        return CopyPolicy::Share;
    }
    // Model objects whose layout is object references only.
    if (subtype_of(type, state.PluginVariable) || subtype_of(type, state.BlockVarPair) ||
        subtype_of(type, state.BlockConnection) || subtype_of(type, state.PluginBlock) ||
        subtype_of(type, state.PluginRemote)) {
        return CopyPolicy::Slots;
    }
    // Pages and plugins belong to the plugin, not to a block: a block copy refers to the same ones.
    if (subtype_of(type, state.PluginPage) || subtype_of(type, state.PluginEndpoint) ||
        subtype_of(type, state.Plugin)) {
        return CopyPolicy::Share;
    }
    return CopyPolicy::Unknown;
}

// The module's own types, compared by identity before any classification: what a copy of a
// block meets for nearly every object (the most frequent first).
struct KnownTypes {
    std::array<pyutil::KnownCopyType, 20> table;

    explicit KnownTypes(const ModuleState& s)
        : table{{{s.PluginVariable, CopyPolicy::Slots},   {s.VariableTypes, CopyPolicy::Share},
                 {s.BlockVarPair, CopyPolicy::Slots},     {s.BlockConnection, CopyPolicy::Slots},
                 {s.VariableGroup, CopyPolicy::Slots},    {s.VariableList, CopyPolicy::Slots},
                 {&PyFunction_Type, CopyPolicy::Share},   {s.PluginBlockTypes, CopyPolicy::Share},
                 {s.PluginBlock, CopyPolicy::Slots},      {s.CustomVariable, CopyPolicy::Slots},
                 {s.GhostBlock, CopyPolicy::Slots},       {s.PluginConfig, CopyPolicy::Slots},
                 {s.InputBlock, CopyPolicy::Slots},       {s.SlurmBlock, CopyPolicy::Slots},
                 {s.PluginRemote, CopyPolicy::Slots},     {s.SlurmBlockStatus, CopyPolicy::Share},
                 {s.PluginPage, CopyPolicy::Share},       {s.PluginEndpoint, CopyPolicy::Share},
                 {s.Plugin, CopyPolicy::Share},           {&PyCFunction_Type, CopyPolicy::Share}}} {}
};

}  // namespace

Ref deep_copy(ModuleState& state, PyObject* obj, PyObject* memo) {
    const KnownTypes known(state);
    try {
        pyutil::DeepCopier copier(known.table, classify, &state, memo);
        return copier.copy(obj);
    } catch (const std::bad_alloc&) {  // the memo table could not grow
        PyErr_NoMemory();
        return Ref();
    }
}

PyObject* block_method_copy(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock.copy", nargs, kwnames)) return nullptr;
    Ref result = deep_copy(*state_of_class(cls), self, nullptr);
    if (!result) return nullptr;
    if (is_block(*state_of_class(cls), result.get())) {
        pyutil::assign_slot(as_block(result.get())->isOriginal, Py_False);
    }
    return result.release();
}

// copy.copy(block): a new block of the same kind holding the same attribute values (its own
// instance dictionary, as for any Python object).
PyObject* block_method_shallowcopy(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock.__copy__", nargs, kwnames)) return nullptr;
    PyTypeObject* type = Py_TYPE(self);
    Ref result = Ref::steal(type->tp_alloc(type, 0));
    if (!result) return nullptr;
    char* src = reinterpret_cast<char*>(self);
    char* dst = reinterpret_cast<char*>(result.get());
    for (Py_ssize_t offset = sizeof(PyObject);
         offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) <= type->tp_basicsize; offset += sizeof(PyObject*)) {
        if (offset == type->tp_weaklistoffset) continue;
        // Held: copying the instance dictionary allocates, and a finalizer may change the block.
        Ref value = Ref::borrow(*reinterpret_cast<PyObject**>(src + offset));
        if (!value) continue;
        Ref kept = offset == type->tp_dictoffset ? Ref::steal(PyDict_Copy(value.get())) : value;
        if (!kept) return nullptr;
        pyutil::assign_slot(*reinterpret_cast<PyObject**>(dst + offset), std::move(kept));
    }
    return result.release();
}

PyObject* block_method_deepcopy(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginBlock.__deepcopy__", Param{"memo", pyutil::Accept::DictOrNone});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    PyObject* memo = bound.given(0) && bound[0] != Py_None ? bound[0] : nullptr;
    return deep_copy(*state_of_class(cls), self, memo).release();
}

// The attributes by name; a new block of the same kind (tp_new, without __init__) takes them
// back through setattr.
PyObject* block_method_getstate(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (!pyutil::parse_none("PluginBlock.__getstate__", nargs, kwnames)) return nullptr;
    return slots_getstate(*state_of_class(cls), self).release();
}

PyObject* block_method_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plugins
