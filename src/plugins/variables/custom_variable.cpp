// CustomVariable: a variable whose value the user sets on one of the plugin's extension pages
// instead of in the editor's standard input. It tells the front end which page renders it by
// carrying the page's information in its dictionary.
#include "variables.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

namespace plugins {
namespace {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

constexpr auto custom_signature = pyutil::signature(
    "CustomVariable.__init__", Param{"id", Accept::Str, true}, Param{"name", Accept::Str, true},
    Param{"description", Accept::Str, true}, Param{"type", Accept::Any, true}, Param{"customPage", Accept::Any, true},
    Param{"defaultValue"}, Param{"allowedValues", Accept::ListOrNone}, Param{"category", Accept::StrOrNone},
    Param{"disabled"}, Param{"required"});

CustomVariableObject* as_custom(PyObject* self) { return reinterpret_cast<CustomVariableObject*>(self); }

bool init_custom(ModuleState& state, PyObject* self, const pyutil::Bound<custom_signature.size>& b) {
    VariableArgs args;
    args.id = b[0];
    args.name = b[1];
    args.description = b[2];
    args.type = b[3];
    args.defaultValue = b[5];
    args.allowedValues = b[6];
    args.category = b[7];
    args.disabled = b[8];
    args.required = b[9];
    // The page is stored only once the declaration has passed every rule of a variable.
    if (!init_variable(state, self, args)) return false;
    return store_field(self, is_own_variable_class(state, self), as_custom(self)->customPage, state.kcv_customPage,
                       b[4]);
}

int custom_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<custom_signature.size> bound;
    if (!pyutil::parse(custom_signature, args, kwargs, bound)) return -1;
    return init_custom(*state, self, bound) ? 0 : -1;
}

PyObject* custom_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    pyutil::Bound<custom_signature.size> bound;
    if (!pyutil::parse(custom_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_custom(*state, self.get(), bound)) return nullptr;
    return self.release();
}

using CustomFields = VariableFields::Extended<PluginVariableObject, &CustomVariableObject::customPage>;

// The variable dictionary followed by "isCustom" and "customPage" (the page's _pageInfo as it
// is now), in the minimal form as well.
PyObject* custom_to_dict(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("CustomVariable.toDict", Param{"minimal"});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    int minimal = bound.given(0) ? PyObject_IsTrue(bound[0]) : 0;
    if (minimal < 0) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref dict = base_variable_dict(state, self, minimal != 0);
    if (!dict) return nullptr;
    Ref is_custom = Ref::steal(PyObject_GetAttr(self, state.kcv_isCustomAttr));
    Ref page = is_custom ? Ref::steal(PyObject_GetAttr(self, state.kcv_customPage)) : Ref();
    Ref page_info = page ? Ref::steal(PyObject_GetAttr(page.get(), state.kcv_pageInfo)) : Ref();
    if (!page_info || PyDict_SetItem(dict.get(), state.kcv_isCustom, is_custom.get()) < 0 ||
        PyDict_SetItem(dict.get(), state.kcv_customPage, page_info.get()) < 0) {
        return nullptr;
    }
    return dict.release();
}

PyMethodDef custom_methods[] = {
    {"toDict", pyutil::as_method(custom_to_dict),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "toDict($self, /, minimal=False)\n--\n\nConverts the variable to a dictionary and adds the pageID.\n\n"
     "Args:\n    minimal: Only the ID, the value and the type, as a block state stores the variable.\n\n"
     "Returns:\n    The variable dictionary that the editor receives."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef custom_members[] = {
    {"customPage", T_OBJECT_EX, offsetof(CustomVariableObject, customPage), 0,
     "The page instance where the variable will be rendered."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot custom_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CustomVariable(id, name, description, type, customPage, defaultValue=None, "
                    "allowedValues=None, category=None, disabled=False, required=False)\n--\n\n"
                    "Custom varialbe which supports custom view\n\n"
                    "The custom variable works like a regular variable, but it can use an extension page\n"
                    "to render a custom and complex configuration view to define the variable value.\n"
                    "The variableType attribute will work just as the regular variables counterpart.\n\n"
                    "Inside the extension page, set the value with\n"
                    "parent.qorvel.setVariableValue(variableID, value)\n"
                    "Where variableID is the ID of the variable and value is the value to set.\n"
                    "The values must be JSON serializable.\n\n"
                    "Args:\n"
                    "    id: The ID of the variable.\n"
                    "    name: The name of the variable.\n"
                    "    description: A description of the variable.\n"
                    "    type: The type of the variable's value. Assign it using the VariableTypes class.\n"
                    "    customPage: The page instance where the variable will be rendered.\n"
                    "    defaultValue: The default value of the variable.\n"
                    "    allowedValues: A list of allowed values for the variable.\n"
                    "    category: The category under which the editor lists the variable.\n"
                    "    disabled: Whether the variable is disabled or not.\n"
                    "    required: Whether the variable is required or not.")},
    {Py_tp_init, reinterpret_cast<void*>(custom_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(CustomFields::traverse<CustomVariableObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(CustomFields::clear<CustomVariableObject>)},
    {Py_tp_methods, custom_methods},
    {Py_tp_members, custom_members},
    {0, nullptr},
};

PyType_Spec custom_spec = {
    "QorvelAPI.plugins.CustomVariable",
    sizeof(CustomVariableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    custom_slots,
};

}  // namespace

bool register_custom_variable(PyObject* module, ModuleState& state) {
    state.CustomVariable = pyutil::add_type(module, &custom_spec, reinterpret_cast<PyObject*>(state.PluginVariable));
    if (state.CustomVariable == nullptr) return false;
    state.CustomVariable->tp_vectorcall = custom_vectorcall;
    return pyutil::set_class_attr(state.CustomVariable, "_isCustom", Py_True);
}

}  // namespace plugins
