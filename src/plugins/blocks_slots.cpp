// A slot attribute that also carries a class-level value.
//
// The block classes carry the initial values of their run state on the class
// (`GhostBlock.error` is True, `PluginBlock.selectedRemote` is "Local"), while every instance
// keeps its own value in a slot of the object. A plain member descriptor would answer the
// descriptor itself when read on the class, so these attributes use this small data
// descriptor: on the class it gives the value, on an instance it reads and writes the slot.
#include "blocks_internal.hpp"

#include "../pyutil/types.hpp"

#include <structmember.h>

namespace plugins {

namespace {

struct SlotDescriptor {
    PyObject_HEAD
    PyObject* name;       // attribute name (str)
    PyObject* owner;      // the class whose instances have the slot
    PyObject* value;      // the class-level value
    Py_ssize_t offset;    // slot offset in the instance
};

SlotDescriptor* as_descr(PyObject* obj) noexcept { return reinterpret_cast<SlotDescriptor*>(obj); }

bool check_instance(SlotDescriptor* d, PyObject* obj) {
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(d->owner))) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", d->name,
                 reinterpret_cast<PyTypeObject*>(d->owner)->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

PyObject** slot_of(SlotDescriptor* d, PyObject* obj) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + d->offset);
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    SlotDescriptor* d = as_descr(self);
    if (obj == nullptr || obj == Py_None) return Py_NewRef(d->value);
    if (!check_instance(d, obj)) return nullptr;
    PyObject* value = *slot_of(d, obj);
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, d->name);
        return nullptr;
    }
    return Py_NewRef(value);
}

int descr_set(PyObject* self, PyObject* obj, PyObject* value) {
    SlotDescriptor* d = as_descr(self);
    if (!check_instance(d, obj)) return -1;
    PyObject** slot = slot_of(d, obj);
    if (value == nullptr && *slot == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, d->name);
        return -1;
    }
    pyutil::assign_slot(*slot, value);
    return 0;
}

int descr_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_descr(self)->name);
    Py_VISIT(as_descr(self)->owner);
    Py_VISIT(as_descr(self)->value);
    return 0;
}

int descr_clear(PyObject* self) {
    Py_CLEAR(as_descr(self)->name);
    Py_CLEAR(as_descr(self)->owner);
    Py_CLEAR(as_descr(self)->value);
    return 0;
}

void descr_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    descr_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef descr_members[] = {
    {"__name__", T_OBJECT, offsetof(SlotDescriptor, name), READONLY, nullptr},
    {"__objclass__", T_OBJECT, offsetof(SlotDescriptor, owner), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot descr_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(descr_set)},
    {Py_tp_traverse, reinterpret_cast<void*>(descr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(descr_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descr_dealloc)},
    {Py_tp_members, descr_members},
    {0, nullptr},
};

PyType_Spec descr_spec = {
    "QorvelAPI.plugins.slot_with_class_value",
    sizeof(SlotDescriptor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    descr_slots,
};

}  // namespace

bool register_slot_descriptor(PyObject* module, ModuleState& state) {
    state.SlotWithClassValue = PyType_FromModuleAndSpec(module, &descr_spec, nullptr);
    return state.SlotWithClassValue != nullptr;
}

bool add_slot_with_class_value(ModuleState& state, PyTypeObject* type, const char* name, Py_ssize_t offset,
                               PyObject* value) {
    auto* descr_type = reinterpret_cast<PyTypeObject*>(state.SlotWithClassValue);
    pyutil::Ref descr = pyutil::Ref::steal(descr_type->tp_alloc(descr_type, 0));
    pyutil::Ref text = pyutil::Ref::steal(PyUnicode_InternFromString(name));
    if (!descr || !text) return false;
    SlotDescriptor* d = as_descr(descr.get());
    d->name = text.release();
    d->owner = Py_NewRef(reinterpret_cast<PyObject*>(type));
    d->value = Py_NewRef(value);
    d->offset = offset;
    return pyutil::set_class_attr(type, name, descr.get());
}

}  // namespace plugins
