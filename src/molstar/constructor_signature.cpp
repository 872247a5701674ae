// `MolstarAPI.__signature__`: the constructor's signature as inspect.signature() and help()
// show it.
//
// The public class is built by the metaclass `SingletonMeta`, and inspect reports a metaclass's
// own `__call__(cls, *args, **kwargs)` ahead of anything the class says about itself; only a
// `__signature__` attribute comes first. This descriptor answers `inspect.Signature()` (the
// constructor takes no arguments), built on the first read so that loading the module does not
// import `inspect`.
#include "operations.hpp"

#include "../pyutil/gc_fields.hpp"
#include "../pyutil/ref.hpp"

namespace molstar {
namespace {

struct SignatureObject {
    PyObject_HEAD
    PyObject* signature;  // the built inspect.Signature, once read
};

using Fields = pyutil::GcFields<&SignatureObject::signature>;

PyObject* signature_get(PyObject* self, PyObject*, PyObject*) {
    auto* d = reinterpret_cast<SignatureObject*>(self);
    if (d->signature == nullptr) {
        pyutil::Ref inspect = pyutil::Ref::steal(PyImport_ImportModule("inspect"));
        if (!inspect) return nullptr;
        pyutil::Ref signature_class = pyutil::Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        if (!signature_class) return nullptr;
        d->signature = PyObject_CallNoArgs(signature_class.get());
        if (d->signature == nullptr) return nullptr;
    }
    return Py_NewRef(d->signature);
}

PyType_Slot signature_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(signature_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(Fields::traverse<SignatureObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(Fields::clear<SignatureObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Fields::dealloc<SignatureObject>)},
    {0, nullptr},
};

PyType_Spec signature_spec = {
    "QorvelAPI.molstar._NoArgumentsSignature",
    sizeof(SignatureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    signature_slots,
};

}  // namespace

pyutil::Ref no_arguments_signature(PyObject* module, ModuleState& state) {
    if (state.NoArgumentsSignature == nullptr) {
        state.NoArgumentsSignature =
            reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &signature_spec, nullptr));
        if (state.NoArgumentsSignature == nullptr) return {};
    }
    return pyutil::Ref::steal(state.NoArgumentsSignature->tp_alloc(state.NoArgumentsSignature, 0));
}

}  // namespace molstar
