// The class `MolstarAPI`: one shared object per process through which block actions reach the
// molecular viewer.
//
// The class must be built by the metaclass `SingletonMeta` of the package's `utils` module (the
// platform may ship its own version of that module), so that `MolstarAPI()` always answers the
// same object. CPython 3.11 cannot create a type from a spec with a metaclass other than `type`,
// and swapping the type of a finished class behind the interpreter's back is only sound when
// the metaclass adds nothing to the class layout, which a replaced `utils` does not promise.
// So the work is split in two:
//   - `_MolstarAPIBase`, a heap type created from a spec, owns the object layout, the GC
//     support and every operation;
//   - `MolstarAPI` is created by calling the metaclass itself, exactly as a `class` statement
//     does, with the C class as its only base and `__slots__ = ()`, so its instances have the
//     base's layout and whatever the metaclass does when it builds or calls a class happens.
#include "catalogue.hpp"
#include "operations.hpp"

#include "../pyutil/dict.hpp"
#include "../pyutil/errors.hpp"
#include "../pyutil/gc_fields.hpp"
#include "../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>
#include <string>
#include <vector>

namespace molstar {
namespace {

// The instance: nothing but the attribute dictionary (`_flow` and whatever the host adds) and
// the weak reference list. `_flow` lives in the dictionary with a class-level None behind it, so
// the host may assign it on the instance or on the class and the operations see the same value.
struct ApiObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};



using ApiFields = pyutil::GcFields<&ApiObject::dict>;

void api_dealloc(PyObject* self) { pyutil::dealloc_gc_object<api_dealloc>(self, ApiFields::clear<ApiObject>); }

// Only the public class (or a subclass of it) hands out instances: an object made from the
// bare base would bypass the metaclass and so the one-object rule.
PyObject* api_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) return nullptr;
    if (type == state_of_module(module)->MolstarAPIBase) {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances; use MolstarAPI()", type->tp_name);
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

// `MolstarAPI()` takes no arguments; a Python subclass with its own `__init__` may take some.
int api_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const bool has_args = args != nullptr && PyTuple_GET_SIZE(args) > 0;
    const bool has_kwargs = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
    if (has_args || has_kwargs) {
        pyutil::Ref name = pyutil::Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (name) PyErr_Format(PyExc_TypeError, "%U() takes no arguments", name.get());
        return -1;
    }
    return 0;
}

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// `_emitAction`, then the catalogue's operations, each with its generated text signature. Built
// once for the process (the texts must outlive every interpreter's class).
PyMethodDef* api_methods() {
    static const auto table = [] {
        struct Table {
            std::vector<std::string> docs;
            std::vector<PyMethodDef> methods;
        } t;
        const auto entries = catalogue();
        t.docs.reserve(entries.size() + 1);
        t.docs.push_back(emit_action_doc());
        t.methods.push_back({"_emitAction", pyutil::as_method(emit_action), kMethodFlags, t.docs.back().c_str()});
        for (const CatalogueEntry& entry : entries) {
            t.docs.push_back(operation_doc(*entry.operation));
            const std::string_view qualified = entry.operation->qualified_name;
            // The method name is the tail of the qualified name, itself a literal with static storage.
            const char* name = entry.operation->qualified_name + qualified.rfind('.') + 1;
            t.methods.push_back({name, entry.method, kMethodFlags, t.docs.back().c_str()});
        }
        t.methods.push_back({nullptr, nullptr, 0, nullptr});
        return t;
    }();
    return const_cast<PyMethodDef*>(table.methods.data());
}

PyGetSetDef api_getset[] = {
    {"mvs", get_mvs, nullptr, "The molviewspec library. Use it to build complex scenes", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef api_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ApiObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ApiObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr const char* kClassDoc = "API for interacting with Mol* visualizer inside Qorvel";

PyType_Slot api_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(api_new)},
    {Py_tp_init, reinterpret_cast<void*>(api_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(api_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ApiFields::traverse<ApiObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(ApiFields::clear<ApiObject>)},
    {Py_tp_methods, nullptr},  // api_methods(), set by register_api
    {Py_tp_getset, api_getset},
    {Py_tp_members, api_members},
    {0, nullptr},
};

PyType_Spec api_spec = {
    "QorvelAPI.molstar._MolstarAPIBase",
    sizeof(ApiObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    api_slots,
};

// `SingletonMeta` from the `utils` module beside this one ("QorvelAPI.utils").
pyutil::Ref singleton_metaclass(PyObject* module) {
    pyutil::Ref name = pyutil::Ref::steal(PyModule_GetNameObject(module));
    if (!name) return {};
    pyutil::Ref parts = pyutil::Ref::steal(PyObject_CallMethod(name.get(), "rpartition", "s", "."));
    if (!parts) return {};
    pyutil::Ref utils_name = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts.get(), 0)) > 0
                                 ? pyutil::Ref::steal(PyUnicode_FromFormat("%U.utils", PyTuple_GET_ITEM(parts.get(), 0)))
                                 : pyutil::Ref::steal(PyUnicode_FromString("utils"));
    if (!utils_name) return {};
    pyutil::Ref utils = pyutil::Ref::steal(PyImport_Import(utils_name.get()));
    if (!utils) return {};
    pyutil::Ref meta = pyutil::Ref::steal(PyObject_GetAttrString(utils.get(), "SingletonMeta"));
    if (meta && !(PyType_Check(meta.get()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta.get()),
                                                                &PyType_Type))) {
        PyErr_Format(PyExc_TypeError, "%U.SingletonMeta must be a metaclass, got %s", utils_name.get(),
                     pyutil::type_name(meta.get()));
        return {};
    }
    return meta;
}

// The public class, built as `class MolstarAPI(_MolstarAPIBase, metaclass=SingletonMeta)` would be.
pyutil::Ref build_public_class(PyObject* module, ModuleState& state, PyObject* meta) {
    pyutil::Ref module_name = pyutil::Ref::steal(PyModule_GetNameObject(module));
    pyutil::Ref qualname = pyutil::Ref::steal(PyUnicode_FromString("MolstarAPI"));
    pyutil::Ref doc = pyutil::Ref::steal(PyUnicode_FromString(kClassDoc));
    pyutil::Ref slots = pyutil::Ref::steal(PyTuple_New(0));
    pyutil::Ref bases = pyutil::Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(state.MolstarAPIBase)));
    pyutil::Ref signature = no_arguments_signature(module, state);
    if (!module_name || !qualname || !doc || !slots || !bases || !signature) return {};
    pyutil::Ref ns = pyutil::Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__signature__", signature.get()) < 0) {
        return {};
    }
    pyutil::Ref cls = pyutil::Ref::steal(PyObject_CallFunction(meta, "sOO", "MolstarAPI", bases.get(), ns.get()));
    if (!cls) return {};
    if (!PyType_Check(cls.get()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()), state.MolstarAPIBase)) {
        PyErr_SetString(PyExc_TypeError, "SingletonMeta did not build a subclass of the MolstarAPI base class");
        return {};
    }
    return cls;
}

}  // namespace

bool register_api(PyObject* module, ModuleState& state) {
    for (PyType_Slot* slot = api_slots; slot->slot != 0; ++slot) {
        if (slot->slot == Py_tp_methods) slot->pfunc = api_methods();
    }
    state.MolstarAPIBase = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &api_spec, nullptr));
    if (state.MolstarAPIBase == nullptr) return false;
    // No flow runs until the host assigns one.
    if (!pyutil::set_class_attr(state.MolstarAPIBase, "_flow", Py_None)) return false;
    pyutil::Ref meta = singleton_metaclass(module);
    if (!meta) return false;
    pyutil::Ref cls = build_public_class(module, state, meta.get());
    if (!cls || PyModule_AddObjectRef(module, "MolstarAPI", cls.get()) < 0) return false;
    state.MolstarAPI = cls.release();
    return true;
}

}  // namespace molstar
