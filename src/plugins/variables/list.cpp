// VariableList: a variable whose value is a table of rows, one value per prototype variable.
#include "internal.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/types.hpp"

#include <cstddef>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr auto list_signature = pyutil::signature(
    "VariableList.__init__", Param{"id", Accept::Str, true}, Param{"name", Accept::Str, true},
    Param{"description", Accept::Str, true}, Param{"prototypes", Accept::List, true},
    Param{"allowedValues", Accept::ListOrNone}, Param{"category", Accept::StrOrNone}, Param{"disabled"},
    Param{"required"});

VariableListObject* as_list(PyObject* self) { return reinterpret_cast<VariableListObject*>(self); }

// A row of a list is one value per column; a group cannot be a column.
bool check_no_group_prototype(ModuleState& state, PyObject* list_id, PyObject* prototypes) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(prototypes); ++i) {
        Ref prototype = Ref::borrow(PyList_GET_ITEM(prototypes, i));
        if (!PyObject_TypeCheck(prototype.get(), state.VariableGroup)) continue;
        Ref id = member_id(state, prototype.get());
        if (!id) return false;
        PyErr_Format(PyExc_Exception,
                     "Variable %S is a VariableGroup inside %S. You cannot use VariableGroups inside VariableLists.",
                     id.get(), list_id);
        return false;
    }
    return true;
}

bool check_unique_prototype_ids(ModuleState& state, PyObject* list_id, PyObject* prototypes) {
    Ref id;
    if (!find_repeated_id(state, prototypes, id)) return false;
    if (!id) return true;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Variable ID '%S' is not unique for VariableList '%S'. Variable IDs must be unique.", id.get(), list_id));
    if (!message) return false;
    return raise_unique_id(state, message.get(), id.get());
}

template <std::size_t N>
bool init_list(ModuleState& state, PyObject* self, const pyutil::Bound<N>& b) {
    PyObject* prototypes = b[3];
    // The list checks its prototypes only once it is valid as a variable itself.
    VariableArgs args;
    args.id = b[0];
    args.name = b[1];
    args.description = b[2];
    args.type = state.vt_LIST_INTERNAL;
    args.allowedValues = b[4];
    args.category = b[5];
    args.disabled = b[6];
    args.required = b[7];
    if (!init_variable(state, self, args)) return false;
    if (!check_no_group_prototype(state, b[0], prototypes) ||
        !check_unique_prototype_ids(state, b[0], prototypes)) {
        return false;
    }
    return store_field(self, is_own_variable_class(state, self), as_list(self)->prototypes, state.k_prototypes,
                       prototypes);
}

int list_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<list_signature.size> bound;
    if (!pyutil::parse(list_signature, args, kwargs, bound)) return -1;
    return init_list(*state, self, bound) ? 0 : -1;
}

PyObject* list_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    pyutil::Bound<list_signature.size> bound;
    if (!pyutil::parse(list_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_list(*state, self.get(), bound)) return nullptr;
    return self.release();
}

using ListFields = VariableFields::Extended<PluginVariableObject, &VariableListObject::prototypes>;

// Columns of disabled prototypes are held at the prototype's default value.
Ref held_columns(ModuleState& state, PyObject* prototypes) {
    Ref held = Ref::steal(PyDict_New());
    Ref sequence = Ref::steal(PySequence_Fast(prototypes, "the prototypes of a variable list must be a list"));
    if (!held || !sequence) return Ref();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        Ref prototype = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
        Ref disabled = Ref::steal(PyObject_GetAttr(prototype.get(), state.k_disabled));
        if (!disabled) return Ref();
        int is_disabled = PyObject_IsTrue(disabled.get());
        if (is_disabled < 0) return Ref();
        if (is_disabled == 0) continue;
        Ref id = member_id(state, prototype.get());
        Ref default_value = id ? Ref::steal(PyObject_GetAttr(prototype.get(), state.k_defaultValue)) : Ref();
        if (!default_value || PyDict_SetItem(held.get(), id.get(), default_value.get()) < 0) return Ref();
    }
    return held;
}

bool copy_entry(PyObject* row_copy, PyObject* held, PyObject* key, PyObject* value) {
    bool error = false;
    PyObject* kept = PyDict_GET_SIZE(held) > 0 ? pyutil::dict_find(held, key, error) : nullptr;
    if (error) return false;
    return PyDict_SetItem(row_copy, key, kept != nullptr ? kept : value) == 0;
}

// A new dictionary with the row's entries in the row's order, held columns replaced.
Ref copy_row(ModuleState& state, PyObject* row, PyObject* held) {
    Ref row_copy = Ref::steal(PyDict_New());
    if (!row_copy) return Ref();
    if (PyDict_CheckExact(row)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(row, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            if (!copy_entry(row_copy.get(), held, k.get(), v.get())) return Ref();
        }
        return row_copy;
    }
    // Any other row is read through its items(), which a non-mapping lacks (AttributeError).
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(row, state.k_items));
    Ref iterator = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iterator) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) return Ref();
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "a row item must be a (key, value) pair");
            return Ref();
        }
        if (!copy_entry(row_copy.get(), held, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1))) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return row_copy;
}

PyObject* list_to_dict_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    bool minimal = false;
    static constexpr auto sig = pyutil::signature("VariableList.toDict", Param{"minimal"});
    if (!parse_minimal(sig, args, nargs, kwnames, minimal)) return nullptr;
    return list_dict(*state_of_class(defining_class), self, minimal).release();
}

PyObject* list_update_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("VariableList._updateVariablesInList", Param{"value", Accept::ListOrNone, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!update_variables_in_list(*state_of_class(defining_class), self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef list_methods[] = {
    {"toDict", pyutil::as_method(list_to_dict_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "toDict($self, /, minimal=False)\n--\n\nConvert the variable list to a dictionary, with its prototypes under "
     "\"variables\".\n\n"
     "Args:\n    minimal: Only the ID, the value and the type, as a block state stores the variable.\n\n"
     "Returns:\n    The variable dictionary that the editor receives."},
    {"_updateVariablesInList", pyutil::as_method(list_update_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_updateVariablesInList($self, /, value)\n--\n\nUpdates the variable in the list and takes care of the "
     "disabled variables"},
    {nullptr},
};

PyMemberDef list_members[] = {
    {"prototypes", T_OBJECT_EX, offsetof(VariableListObject, prototypes), 0,
     const_cast<char*>("The list of variables in each row of the list.")},
    {nullptr},
};

PyType_Slot list_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VariableList(id, name, description, prototypes, allowedValues=None, category=None, "
                    "disabled=False, required=False)\n--\n\n"
                    "A list of the designed input variables.\n\n"
                    "Its value is a list of rows, each a dictionary from the prototypes' IDs to values.\n\n"
                    "Args:\n"
                    "    id: The ID of the variable.\n"
                    "    name: The name of the variable.\n"
                    "    description: A description of the variable.\n"
                    "    prototypes: The list of variables in each row of the list.\n"
                    "    allowedValues: Matching allowedValues in other variables will indicate in the GUI "
                    "which variables can be connected.\n"
                    "    category: The category under which the editor lists the variable.\n"
                    "    disabled: Will set all variables under the list as disabled.\n"
                    "    required: Will set all variables under the list as required.")},
    {Py_tp_new, reinterpret_cast<void*>(new_variable)},
    {Py_tp_init, reinterpret_cast<void*>(list_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_variable)},
    {Py_tp_traverse, reinterpret_cast<void*>(ListFields::traverse<VariableListObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(ListFields::clear<VariableListObject>)},
    {Py_tp_methods, list_methods},
    {Py_tp_members, list_members},
    {0, nullptr},
};

PyType_Spec list_spec = {
    "QorvelAPI.plugins.VariableList",
    sizeof(VariableListObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    list_slots,
};

}  // namespace

Ref list_dict(ModuleState& state, PyObject* self, bool minimal) {
    Ref dict = base_variable_dict(state, self, minimal);
    if (!dict) return Ref();
    Ref prototypes = pyutil::slot_ref(self, as_list(self)->prototypes, state.k_prototypes);
    if (!prototypes || !put_member_dicts(state, dict.get(), prototypes.get(), minimal)) return Ref();
    return dict;
}

Ref list_update_value(ModuleState& state, PyObject* list, PyObject* value) {
    if (value != Py_None && !PyList_CheckExact(value)) {
        pyutil::raise_argument_type("value", "list", value);
        return Ref();
    }
    if (!PyObject_TypeCheck(list, state.VariableList)) {
        PyErr_Format(PyExc_TypeError, "expected a VariableList, got %s", pyutil::type_name(list));
        return Ref();
    }
    if (value == Py_None) return Ref::borrow(Py_None);
    Ref prototypes = pyutil::slot_ref(list, as_list(list)->prototypes, state.k_prototypes);
    if (!prototypes) return Ref();
    Ref held = held_columns(state, prototypes.get());
    Ref rows = Ref::steal(PyList_New(0));
    if (!held || !rows) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(value, i));
        Ref row_copy = copy_row(state, row.get(), held.get());
        if (!row_copy || PyList_Append(rows.get(), row_copy.get()) < 0) return Ref();
    }
    return rows;
}

bool update_variables_in_list(ModuleState& state, PyObject* list, PyObject* value) {
    // Stored only once complete, so a failed update leaves the previous rows in place.
    Ref rows = list_update_value(state, list, value);
    return rows && set_variable_value(state, list, rows.get());
}

bool register_variable_list(PyObject* module, ModuleState& state) {
    Ref bases = Ref::borrow(reinterpret_cast<PyObject*>(state.PluginVariable));
    state.VariableList = pyutil::add_type(module, &list_spec, bases.get());
    if (state.VariableList == nullptr) return false;
    state.VariableList->tp_vectorcall = list_vectorcall;
    return true;
}

}  // namespace plugins
