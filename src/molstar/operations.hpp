// The methods of `MolstarAPI`, shared between the source files that implement them and the
// method table of the class (api_type.cpp).
#pragma once
#include "state.hpp"

#include "../pyutil/ref.hpp"

#include <string>

namespace molstar {

// Signature of every method: METH_METHOD | METH_FASTCALL | METH_KEYWORDS, so that the module
// state is reached through the defining class without a lookup along the instance's type.
#define MOLSTAR_METHOD(name) \
    PyObject* name(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs, \
                   PyObject* kwnames)

// The channel (channel.cpp).
MOLSTAR_METHOD(emit_action);
std::string emit_action_doc();
PyObject* get_mvs(PyObject* self, void* closure);

// Wraps `data` into the envelope {"type": type, "data": data} and hands it to the object's own
// `_emitAction(action, message)`, looked up on the object so that an override is honoured.
// Returns None, or null with an exception set.
PyObject* emit_message(ModuleState& state, PyObject* self, PyObject* action, PyObject* type, PyObject* data);

// A new `__signature__` descriptor for a class whose constructor takes no arguments
// (constructor_signature.cpp); null with an exception set on failure.
pyutil::Ref no_arguments_signature(PyObject* module, ModuleState& state);

// The argument of `loadMVJS` (a dictionary, a JSON text or a pydantic model) as the JSON text of
// one dictionary (session.cpp); null with an exception set.
pyutil::Ref session_text(ModuleState& state, PyObject* mvjs);

}  // namespace molstar
