// A slot descriptor with a class-level value.
//
// A plain member descriptor answers itself when read on the class, which would hide values that
// plugin code reads on the class (`PluginVariable.id` is "baseplugin.variable", `VariableGroup.variables`
// an empty list). This descriptor reads and writes the same object slot on instances (an unset
// slot raises AttributeError, like a member) and returns the class value when read on the class.
// The C++ code keeps using the slot directly, so only Python-level reads of these few attributes
// go through it.
#include "internal.hpp"

#include "../../pyutil/errors.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <cstddef>

namespace plugins {
namespace {

struct SlotDescriptorObject {
    PyObject_HEAD
    PyTypeObject* owner;     // the class whose instances have the slot
    PyObject* name;
    PyObject* class_value;
    PyObject* doc;           // what help() shows for the attribute
    Py_ssize_t offset;
};

SlotDescriptorObject* as_descriptor(PyObject* self) { return reinterpret_cast<SlotDescriptorObject*>(self); }

bool check_instance(SlotDescriptorObject* d, PyObject* obj) {
    if (PyObject_TypeCheck(obj, d->owner)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", d->name,
                 pyutil::short_type_name(d->owner), pyutil::type_name(obj));
    return false;
}

PyObject*& slot_of(SlotDescriptorObject* d, PyObject* obj) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + d->offset);
}

PyObject* descriptor_get(PyObject* self, PyObject* obj, PyObject*) {
    SlotDescriptorObject* d = as_descriptor(self);
    if (obj == nullptr || obj == Py_None) return Py_NewRef(d->class_value);
    if (!check_instance(d, obj)) return nullptr;
    PyObject* value = slot_of(d, obj);
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", pyutil::type_name(obj), d->name);
        return nullptr;
    }
    return Py_NewRef(value);
}

int descriptor_set(PyObject* self, PyObject* obj, PyObject* value) {
    SlotDescriptorObject* d = as_descriptor(self);
    if (!check_instance(d, obj)) return -1;
    PyObject*& slot = slot_of(d, obj);
    if (value == nullptr && slot == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", pyutil::type_name(obj), d->name);
        return -1;
    }
    pyutil::assign_slot(slot, value);
    return 0;
}


using DescriptorFields = pyutil::GcFields<&SlotDescriptorObject::owner, &SlotDescriptorObject::name, &SlotDescriptorObject::class_value, &SlotDescriptorObject::doc>;

void descriptor_dealloc(PyObject* self) { pyutil::dealloc_gc_object<descriptor_dealloc>(self, DescriptorFields::clear<SlotDescriptorObject>); }

PyObject* descriptor_repr(PyObject* self) {
    SlotDescriptorObject* d = as_descriptor(self);
    return PyUnicode_FromFormat("<member '%U' of '%s' objects>", d->name, pyutil::short_type_name(d->owner));
}

PyMemberDef descriptor_members[] = {
    {"__name__", T_OBJECT, offsetof(SlotDescriptorObject, name), READONLY, nullptr},
    {"__objclass__", T_OBJECT, offsetof(SlotDescriptorObject, owner), READONLY, nullptr},
    // Each attribute's own text; the type has no docstring so that this member answers `__doc__`.
    {"__doc__", T_OBJECT, offsetof(SlotDescriptorObject, doc), READONLY, nullptr},
    {nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(descriptor_set)},
    {Py_tp_traverse, reinterpret_cast<void*>(DescriptorFields::traverse<SlotDescriptorObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(DescriptorFields::clear<SlotDescriptorObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_members, descriptor_members},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "QorvelAPI.plugins.member_with_class_value",
    sizeof(SlotDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

}  // namespace

bool register_slot_descriptor(PyObject* module, ModuleState& state) {
    state.SlotWithClassDefault = PyType_FromModuleAndSpec(module, &descriptor_spec, nullptr);
    return state.SlotWithClassDefault != nullptr;
}

pyutil::Ref slots_getstate(ModuleState& state, PyObject* self) {
    pyutil::Ref result = pyutil::members_getstate(self);
    if (!result) return result;
    // The descriptors stand in the class dictionaries, base classes last.
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        Py_ssize_t pos = 0;
        PyObject *name, *descriptor;
        while (dict != nullptr && PyDict_Next(dict, &pos, &name, &descriptor)) {
            if (!Py_IS_TYPE(descriptor, reinterpret_cast<PyTypeObject*>(state.SlotWithClassDefault))) continue;
            PyObject* value = slot_of(as_descriptor(descriptor), self);
            if (value != nullptr && PyDict_SetItem(result.get(), name, value) < 0) return pyutil::Ref();
        }
    }
    return result;
}

bool install_slot_with_default(ModuleState& state, PyTypeObject* owner, const char* name, Py_ssize_t offset,
                               PyObject* class_value, const char* doc) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.SlotWithClassDefault);
    pyutil::Ref descriptor = pyutil::Ref::steal(type->tp_alloc(type, 0));
    pyutil::Ref key = pyutil::Ref::steal(PyUnicode_InternFromString(name));
    pyutil::Ref text = pyutil::Ref::steal(PyUnicode_FromString(doc));
    if (!descriptor || !key || !text) return false;
    SlotDescriptorObject* d = as_descriptor(descriptor.get());
    d->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(owner)));
    d->name = key.new_ref();
    d->class_value = Py_NewRef(class_value);
    d->doc = text.new_ref();
    d->offset = offset;
    return PyObject_SetAttr(reinterpret_cast<PyObject*>(owner), key.get(), descriptor.get()) == 0;
}

}  // namespace plugins
