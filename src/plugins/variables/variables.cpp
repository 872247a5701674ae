// PluginVariable: one typed, named slot of a block, its construction rules and its dictionary.
#include "internal.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/json.hpp"
#include "../../pyutil/log.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <cstddef>
#include <utility>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr auto variable_signature = pyutil::signature(
    "PluginVariable.__init__", Param{"id", Accept::Str, true}, Param{"name", Accept::Str, true},
    Param{"description", Accept::Str, true}, Param{"type", Accept::Any, true}, Param{"defaultValue"},
    Param{"allowedValues", Accept::ListOrNone}, Param{"category", Accept::StrOrNone}, Param{"disabled"},
    Param{"required"}, Param{"placeholder", Accept::StrOrNone});

template <std::size_t N>
VariableArgs variable_args(const pyutil::Bound<N>& b) {
    VariableArgs a;
    a.id = b[0];
    a.name = b[1];
    a.description = b[2];
    a.type = b[3];
    a.defaultValue = b[4];
    a.allowedValues = b[5];
    a.category = b[6];
    a.disabled = b[7];
    a.required = b[8];
    a.placeholder = b[9];
    return a;
}

bool equals(PyObject* a, PyObject* b, bool& error) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    error = r < 0;
    return r > 0;
}

// Whether `type` is the special member `member`. The enumeration's members are unique objects, so
// one of them is compared by identity; anything else (a plain str, a str subclass) as == does.
bool is_member(ModuleState& state, PyObject* type, PyObject* member, bool& error) {
    error = false;
    if (type == member) return true;
    if (Py_IS_TYPE(type, state.VariableTypes)) return false;
    return equals(type, member, error);
}

bool refuse_group_type(PyObject* id, PyObject* name, PyObject* description) {
    PyErr_Format(PyExc_Exception,
                 "You cannot use VariableTypes._GROUP in PluginVariable. Use VariableGroup class instead. "
                 "(While loading variable ID: %S, name: %S, description: %S)",
                 id, name, description);
    return false;
}

// The rules for LIST variables: one element type per row, taken from the vocabulary, and never a
// group or list type (those need a VariableList).
bool check_list_element_types(ModuleState& state, PyObject* id, PyObject* allowed) {
    if (PyList_GET_SIZE(allowed) > 1) {
        Ref first = Ref::borrow(PyList_GET_ITEM(allowed, 0));
        if (!log_warning(state, "Only the first allowed value '%s' will be used on variable %s. Use the "
                                 "VariableList class if you intend on having multiple values per row on a list.",
                                 first.get(), id)) {
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(allowed); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(allowed, i));
        bool error = false;
        bool known = is_variable_type(state, item.get(), error);
        if (error) return false;
        if (!known) {
            PyErr_Format(PyExc_ValueError,
                         "Variable '%S' has invalid allowedValues. Allowed values for LIST variables can only "
                         "include values from the VariableTypes enum. ",
                         id);
            return false;
        }
    }
    for (PyObject* forbidden : {state.vt_GROUP, state.vt_LIST, state.vt_LIST_INTERNAL}) {
        int found = PySequence_Contains(allowed, forbidden);
        if (found < 0) return false;
        if (found > 0) {
            PyErr_Format(PyExc_ValueError,
                         "Variable '%S' has invalid allowedValues. Allowed values for LIST variables can not "
                         "include VariableTypes.GROUP, VariableTypes.LIST, VariableTypes._LIST. Use the "
                         "VariableList class instead.",
                         id);
            return false;
        }
    }
    return true;
}

// One attribute the constructor stores: its slot, its name and the value.
struct Stored {
    PyObject** slot;
    PyObject* name;
    PyObject* value;
};

}  // namespace

bool init_variable(ModuleState& state, PyObject* self, const VariableArgs& a) {
    PyObject* id = a.id;
    PyObject* type = a.type;
    PyObject* allowed = a.allowedValues != nullptr ? a.allowedValues : Py_None;
    if (allowed != Py_None && !PyList_Check(allowed)) {
        pyutil::raise_argument_type("allowedValues", "list", allowed);
        return false;
    }

    bool error = false;
    if (!is_variable_type(state, type, error)) {
        if (!error) PyErr_Format(PyExc_Exception, "Invalid type %S.", type);
        return false;
    }
    bool is_group_type = is_member(state, type, state.vt_GROUP, error);
    if (error) return false;
    if (is_group_type && !PyObject_TypeCheck(self, state.VariableGroup)) {
        return refuse_group_type(id, a.name, a.description);
    }

    if (allowed != Py_None && PyList_GET_SIZE(allowed) == 0) allowed = Py_None;
    PyObject* category = a.category;
    if (category == nullptr || !PyUnicode_Check(category) || PyUnicode_GET_LENGTH(category) == 0) {
        category = state.s_General;
    }

    Ref default_value = Ref::borrow(a.defaultValue != nullptr ? a.defaultValue : Py_None);
    if (default_value.get() == Py_None) {
        bool is_list = is_member(state, type, state.vt_STRING_LIST, error);
        if (!error && !is_list) is_list = is_member(state, type, state.vt_NUMBER_LIST, error);
        if (error) return false;
        if (is_list) {
            if (allowed == Py_None) {
                if (!log_warning(state, "No allowed values provided for STRING_LIST or NUMBER_LIST variable with "
                                         "id '%s'. This variable may not work as expected.",
                                         id)) {
                    return false;
                }
            } else {
                // The comparisons above may have run a type's __eq__, which can empty the list.
                default_value = pyutil::list_item(allowed, 0);
                if (!default_value) default_value = Ref::borrow(Py_None);
            }
        }
    }
    if (allowed != Py_None) {
        bool is_list_type = is_member(state, type, state.vt_LIST, error);
        if (error) return false;
        if (is_list_type && !check_list_element_types(state, id, allowed)) return false;
    }

    // Every check passed: store, so a refused declaration leaves the object untouched. (Every
    // value stored is held by the caller's arguments, the module state or `default_value`, so
    // a subclass's setattr running Python code cannot free one.)
    PluginVariableObject* v = as_variable(self);
    const Stored stores[] = {
        {&v->name, state.k_name, a.name},
        {&v->description, state.k_description, a.description},
        {&v->type, state.k_type, type},
        {&v->disabled, state.k_disabled, a.disabled != nullptr ? a.disabled : Py_False},
        {&v->required, state.k_required, a.required != nullptr ? a.required : Py_False},
        {&v->placeholder, state.k_placeholder, a.placeholder != nullptr ? a.placeholder : Py_None},
        {&v->category, state.k_category, category},
        {&v->defaultValue, state.k_defaultValue, default_value.get()},
        {&v->value, state.k_value, default_value.get()},
        {&v->id, state.k_id, id},
        {&v->allowedValues, state.k_allowedValues, allowed},
    };
    if (is_own_variable_class(state, self)) {
        for (const Stored& s : stores) pyutil::assign_slot(*s.slot, s.value);
        return true;
    }
    for (const Stored& s : stores) {
        if (!store_field(self, false, *s.slot, s.name, s.value)) return false;
    }
    return true;
}

namespace {

// A field as the dictionary reads it: the slot of our own classes, the attribute of a Python
// subclass (a property it defines is what Python code would read).
template <bool Own>
Ref read_field(PyObject* self, PyObject* slot, PyObject* name) {
    if constexpr (Own) {
        return pyutil::slot_ref(self, slot, name);
    } else {
        return Ref::steal(PyObject_GetAttr(self, name));
    }
}

// The full form's remaining keys read as attributes of a Python subclass (keys only of `fields`).
template <typename Fields>
Ref add_attributes(PyObject* self, Ref dict, const Fields& fields) {
    for (const auto& f : fields) {
        Ref item = Ref::steal(PyObject_GetAttr(self, f.key));
        if (!item || PyDict_SetItem(dict.get(), f.key, item.get()) < 0) return Ref();
    }
    return dict;
}

// The variable dictionary of an object of our own classes (Own) or of a Python subclass.
template <bool Own>
Ref variable_dict(ModuleState& state, PyObject* self, bool minimal) {
    PluginVariableObject* v = as_variable(self);
    // Held: the text of a type that is not a plain string runs its __str__.
    Ref id = read_field<Own>(self, v->id, state.k_id);
    Ref value = id ? read_field<Own>(self, v->value, state.k_value) : Ref();
    if (value.get() == Py_None) value = read_field<Own>(self, v->defaultValue, state.k_defaultValue);
    Ref type = value ? read_field<Own>(self, v->type, state.k_type) : Ref();
    if (!type) return Ref();
    Ref text = type_text(state, type.get());
    if (!text) return Ref();
    // The public API has no presized dictionary; the fields below are read as each entry is added,
    // so a resize (an allocation) never leaves a value unheld.
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !pyutil::put_all(dict.get(), {{state.k_id, id.get()}, {state.k_value, value.get()},
                                               {state.k_type, text.get()}})) {
        return Ref();
    }
    if (minimal) return dict;
    struct Field {
        PyObject* key;
        PyObject* PluginVariableObject::*slot;
    };
    const Field fields[] = {
        {state.k_name, &PluginVariableObject::name},
        {state.k_category, &PluginVariableObject::category},
        {state.k_description, &PluginVariableObject::description},
        {state.k_allowedValues, &PluginVariableObject::allowedValues},
        {state.k_disabled, &PluginVariableObject::disabled},
        {state.k_required, &PluginVariableObject::required},
        {state.k_placeholder, &PluginVariableObject::placeholder},
    };
    if constexpr (!Own) {
        return add_attributes(self, std::move(dict), fields);
    } else {
        // The slots as they are, read as each entry is added.
        for (const Field& f : fields) {
            if (!pyutil::put_slot(dict.get(), f.key, self, v->*f.slot, f.key)) return Ref();
        }
        return dict;
    }
}

}  // namespace

Ref base_variable_dict(ModuleState& state, PyObject* self, bool minimal) {
    return is_own_variable_class(state, self) ? variable_dict<true>(state, self, minimal)
                                              : variable_dict<false>(state, self, minimal);
}

void dealloc_variable(PyObject* self) {
    // The instance type's tp_clear covers the fields of C++ kinds that extend the layout.
    pyutil::dealloc_gc_object<dealloc_variable>(self, [](PyObject* obj) { Py_TYPE(obj)->tp_clear(obj); });
}

PyObject* new_variable(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

PyObject* variable_str(PyObject* self) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    // A Python subclass's own toDict, called as `toDict()`: an override may take no flag.
    Ref dict = is_own_variable_class(*state, self) ? variable_to_dict(*state, self, false)
                                                   : Ref::steal(PyObject_CallMethodNoArgs(self, state->k_toDict));
    if (!dict) return nullptr;
    return pyutil::json_dumps_indented(dict.get()).release();
}

Ref member_id(ModuleState& state, PyObject* member) {
    if (PyObject_TypeCheck(member, state.PluginVariable) && as_variable(member)->id != nullptr &&
        Py_TYPE(member)->tp_getattro == PyObject_GenericGetAttr) {
        return Ref::borrow(as_variable(member)->id);
    }
    return Ref::steal(PyObject_GetAttr(member, state.k_id));
}

bool set_variable_value(ModuleState& state, PyObject* variable, PyObject* value) {
    if (is_own_variable_class(state, variable)) {
        pyutil::assign_slot(as_variable(variable)->value, value);
        return true;
    }
    return PyObject_SetAttr(variable, state.k_value, value) == 0;
}

Ref variable_to_dict(ModuleState& state, PyObject* variable, bool minimal) {
    PyTypeObject* type = Py_TYPE(variable);
    if (type == state.PluginVariable) return base_variable_dict(state, variable, minimal);
    if (type == state.VariableGroup) return group_dict(state, variable, minimal);
    if (type == state.VariableList) return list_dict(state, variable, minimal);
    // `toDict(minimal=...)`: an override may make the flag keyword-only.
    PyObject* args[] = {variable, minimal ? Py_True : Py_False};
    return Ref::steal(
        PyObject_VectorcallMethod(state.k_toDict, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.kw_minimal));
}

namespace {

int variable_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<variable_signature.size> bound;
    if (!pyutil::parse(variable_signature, args, kwargs, bound)) return -1;
    return init_variable(*state, self, variable_args(bound)) ? 0 : -1;
}

// The exact class is called through vectorcall; Python subclasses go through tp_new and tp_init.
PyObject* variable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    const pyutil::InternedNames<variable_signature.size> names = {
        state->k_id,           state->k_name,     state->k_description, state->k_type,     state->k_defaultValue,
        state->k_allowedValues, state->k_category, state->k_disabled,    state->k_required, state->k_placeholder};
    pyutil::Bound<variable_signature.size> bound;
    if (!pyutil::parse(variable_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound, &names)) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_variable(*state, self.get(), variable_args(bound))) return nullptr;
    return self.release();
}

}  // namespace

// toDict(minimal=False); `sig` names the class's toDict for the argument errors.
bool parse_minimal(const pyutil::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   bool& minimal) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return false;
    minimal = false;
    if (bound.given(0)) {
        int truth = PyObject_IsTrue(bound[0]);
        if (truth < 0) return false;
        minimal = truth > 0;
    }
    return true;
}

namespace {

PyObject* variable_to_dict_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    bool minimal = false;
    static constexpr auto sig = pyutil::signature("PluginVariable.toDict", Param{"minimal"});
    if (!parse_minimal(sig, args, nargs, kwnames, minimal)) return nullptr;
    return base_variable_dict(*state_of_class(defining_class), self, minimal).release();
}

PyObject* variable_getstate(PyObject* self, PyObject*) { return pyutil::members_getstate(self).release(); }

PyObject* variable_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* variable_deepcopy(PyObject* self, PyObject* memo) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return pyutil::members_deepcopy(self, memo, {state->VariableTypes, state->PluginBlockTypes}).release();
}

PyMethodDef variable_methods[] = {
    {"toDict", pyutil::as_method(variable_to_dict_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "toDict($self, /, minimal=False)\n--\n\nConvert the variable to a dictionary.\n\n"
     "Args:\n    minimal: Only the ID, the value and the type, as a block state stores the variable.\n\n"
     "Returns:\n    The variable dictionary that the editor receives."},
    {"__deepcopy__", variable_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the variable."},
    {"__getstate__", variable_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, for copying."},
    {"__setstate__", variable_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nRestores copied attributes."},
    {nullptr},
};

#define VAR_MEMBER(field, doc) \
    {#field, T_OBJECT_EX, offsetof(PluginVariableObject, field), 0, const_cast<char*>(doc)}

PyMemberDef variable_members[] = {
    VAR_MEMBER(id, "The ID of the variable."),
    VAR_MEMBER(name, "The name of the variable."),
    VAR_MEMBER(description, "A description of the variable."),
    VAR_MEMBER(type, "The type of the variable. Assign it using the VariableTypes class."),
    VAR_MEMBER(defaultValue, "The default value of the variable."),
    VAR_MEMBER(value, "The current value of the variable."),
    VAR_MEMBER(allowedValues, "A list of allowed values for the variable."),
    VAR_MEMBER(category, "The category of the variable."),
    VAR_MEMBER(disabled, "Whether the variable is disabled or not"),
    VAR_MEMBER(required, "Whether the variable is required or not. This will show the variable in orange when not connected."),
    VAR_MEMBER(placeholder, "The placeholder of the input field."),
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginVariableObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginVariableObject, weakrefs), READONLY, nullptr},
    {nullptr},
};

#undef VAR_MEMBER

PyGetSetDef variable_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyType_Slot variable_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PluginVariable(id, name, description, type, defaultValue=None, allowedValues=None, "
                    "category=None, disabled=False, required=False, placeholder=None)\n--\n\n"
                    "Class that defines a variable that can be used in a PluginBlock.\n\n"
                    "Args:\n"
                    "    id: The ID of the variable.\n"
                    "    name: The name of the variable.\n"
                    "    description: A description of the variable.\n"
                    "    type: The type of the variable. Assign it using the VariableTypes class.\n"
                    "    defaultValue: The default value of the variable.\n"
                    "    allowedValues: A list of allowed values for the variable.\n"
                    "    category: The category under which the editor lists the variable.\n"
                    "    disabled: Whether the variable is disabled or not\n"
                    "    required: Whether the variable is required or not. This will show the variable in "
                    "orange when not connected.\n"
                    "    placeholder: The placeholder of the input field.")},
    {Py_tp_new, reinterpret_cast<void*>(new_variable)},
    {Py_tp_init, reinterpret_cast<void*>(variable_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_variable)},
    {Py_tp_traverse, reinterpret_cast<void*>(VariableFields::traverse<PluginVariableObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(VariableFields::clear<PluginVariableObject>)},
    {Py_tp_str, reinterpret_cast<void*>(variable_str)},
    {Py_tp_methods, variable_methods},
    {Py_tp_members, variable_members},
    {Py_tp_getset, variable_getset},
    {0, nullptr},
};

PyType_Spec variable_spec = {
    "QorvelAPI.plugins.PluginVariable",
    sizeof(PluginVariableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    variable_slots,
};

}  // namespace

bool register_plugin_variable(PyObject* module, ModuleState& state) {
    state.PluginVariable = pyutil::add_type(module, &variable_spec);
    if (state.PluginVariable == nullptr) return false;
    state.PluginVariable->tp_vectorcall = variable_vectorcall;
    state.kw_minimal = PyTuple_Pack(1, state.k_minimal);
    if (state.kw_minimal == nullptr) return false;
    Ref class_id = Ref::steal(PyUnicode_FromString("baseplugin.variable"));
    return class_id && install_slot_with_default(state, state.PluginVariable, "id",
                                                 offsetof(PluginVariableObject, id), class_id.get(),
                                                 "The ID of the variable.");
}

bool register_variables(PyObject* module, ModuleState& state) {
    return register_enumerations(module, state) && register_slot_descriptor(module, state) &&
           register_plugin_variable(module, state) && register_variable_group(module, state) &&
           register_variable_list(module, state) && register_variable_errors(module, state);
}

}  // namespace plugins
