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
#include "operations.hpp"

#include "../pyutil/dict.hpp"
#include "../pyutil/errors.hpp"
#include "../pyutil/gc_fields.hpp"
#include "../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

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

PyMethodDef api_methods[] = {
    {"_emitAction", pyutil::as_method(emit_action), kMethodFlags,
     "_emitAction($self, /, action, data)\n--\n\n"
     "Emits the given action with the given data to Mol*\n\n"
     "Args:\n"
     "    action: The name of the action, written to the log.\n"
     "    data: The viewer message; it is stamped with the flow's savedID and queued on the\n"
     "        running flow's pendingActions."},
    {"addMolecule", pyutil::as_method(add_molecule), kMethodFlags,
     "addMolecule($self, /, filePath, label=None)\n--\n\n"
     "Adds the given Molecule file to Mol*\n\n"
     "Args:\n"
     "    filePath: The path of the molecule file.\n"
     "    label: The label for the molecule. Optional. Defaults to the filename"},
    {"loadMVJS", pyutil::as_method(load_mvjs), kMethodFlags,
     "loadMVJS($self, /, mvjs, replaceExisting=False)\n--\n\n"
     "Loads a molviewspec session into Mol*\n\n"
     "Args:\n"
     "    mvjs: The state of a scene built with `mvs`, as returned by the scene builder's\n"
     "        get_state(): a dictionary, a text holding a JSON object, or a pydantic model.\n"
     "    replaceExisting: Whether to replace the existing session or not"},
    {"focusResidue", pyutil::as_method(focus_residue), kMethodFlags,
     "focusResidue($self, /, residue, structureLabel=None, chain=None, nearRadius=5)\n--\n\n"
     "Focuses on the given residue\n\n"
     "Args:\n"
     "    residue: The sequence number of the residue to focus\n"
     "    structureLabel: The label of the structure to focus\n"
     "    chain: The chain ID of the residue to focus\n"
     "    nearRadius: The radius around the residue to display nearby residues"},
    {"addSphere", pyutil::as_method(add_sphere), kMethodFlags,
     "addSphere($self, /, x, y, z, radius, color=None, opacity=1.0)\n--\n\n"
     "Adds a sphere to the scene.\n\n"
     "Args:\n"
     "    x, y, z: The centre of the sphere, in angstrom.\n"
     "    radius: The radius of the sphere, in angstrom.\n"
     "    color: The colour as an RGB hex string; defaults to \"#0000FF\".\n"
     "    opacity: The opacity, from 0.0 to 1.0."},
    {"addBox", pyutil::as_method(add_box), kMethodFlags,
     "addBox($self, /, center, sides=[1.0, 1.0, 1.0], lineSize=1.0, color=None, opacity=1.0)\n--\n\n"
     "Adds a box to the scene.\n\n"
     "Args:\n"
     "    center: The centre [x, y, z] of the box (three floats); the box is centred on it.\n"
     "    sides: The side lengths [a, b, c] along the x, y and z axes (three floats).\n"
     "    lineSize: The width of the lines.\n"
     "    color: The colour as an RGB hex string; defaults to \"#0000FF\".\n"
     "    opacity: The opacity, from 0.0 to 1.0."},
    {"setBackgroundColor", pyutil::as_method(set_background_color), kMethodFlags,
     "setBackgroundColor($self, /, color)\n--\n\n"
     "Sets the background color of the scene\n\n"
     "Args:\n"
     "    color: The colour as an RGB hex string."},
    {"setSpin", pyutil::as_method(set_spin), kMethodFlags,
     "setSpin($self, /, speed=1.0)\n--\n\n"
     "Sets the spin of the molecule.\n\n"
     "Args:\n"
     "    speed: The rotation speed; 0 stops the rotation."},
    {"reset", pyutil::as_method(reset), kMethodFlags,
     "reset($self, /)\n--\n\n"
     "Resets the visualizer"},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_methods, api_methods},
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
