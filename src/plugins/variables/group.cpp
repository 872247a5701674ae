// VariableGroup: a named set of variables that travels as one variable (input groups, group
// variables and outputs of blocks).
#include "internal.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/types.hpp"

#include <cstddef>
#include <utility>


namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

constexpr auto group_signature = pyutil::signature(
    "VariableGroup.__init__", Param{"id", Accept::Str, true}, Param{"name", Accept::Str, true},
    Param{"description", Accept::Str, true}, Param{"variables", Accept::List, true},
    Param{"allowedValues", Accept::ListOrNone}, Param{"category", Accept::StrOrNone}, Param{"disabled"},
    Param{"required"});

VariableGroupObject* as_group(PyObject* self) { return reinterpret_cast<VariableGroupObject*>(self); }

// Refuses the first member whose id repeats an earlier one.
bool check_unique_member_ids(ModuleState& state, PyObject* group_id, PyObject* members) {
    Ref id;
    if (!find_repeated_id(state, members, id)) return false;
    if (!id) return true;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Variable ID '%S' is not unique for VariableGroup '%S'. Variable IDs must be unique.", id.get(), group_id));
    if (!message) return false;
    return raise_unique_id(state, message.get(), id.get());
}

template <std::size_t N>
bool init_group(ModuleState& state, PyObject* self, const pyutil::Bound<N>& b) {
    PyObject* members = b[3];
    if (!check_unique_member_ids(state, b[0], members)) return false;
    // The members are stored before the group constructs itself as a variable.
    if (!store_field(self, is_own_variable_class(state, self), as_group(self)->variables, state.k_variables, members)) {
        return false;
    }
    VariableArgs args;
    args.id = b[0];
    args.name = b[1];
    args.description = b[2];
    args.type = state.vt_GROUP;
    args.allowedValues = b[4];
    args.category = b[5];
    args.disabled = b[6];
    args.required = b[7];
    return init_variable(state, self, args);
}

int group_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<group_signature.size> bound;
    if (!pyutil::parse(group_signature, args, kwargs, bound)) return -1;
    return init_group(*state, self, bound) ? 0 : -1;
}

PyObject* group_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    pyutil::Bound<group_signature.size> bound;
    if (!pyutil::parse(group_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !init_group(*state, self.get(), bound)) return nullptr;
    return self.release();
}

using GroupFields = VariableFields::Extended<PluginVariableObject, &VariableGroupObject::variables>;

PyObject* group_to_dict_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    bool minimal = false;
    static constexpr auto sig = pyutil::signature("VariableGroup.toDict", Param{"minimal"});
    if (!parse_minimal(sig, args, nargs, kwnames, minimal)) return nullptr;
    return group_dict(*state_of_class(defining_class), self, minimal).release();
}

PyObject* group_update_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("VariableGroup._updateVariablesInGroup", Param{"values", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!update_variables_in_group(*state_of_class(defining_class), self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef group_methods[] = {
    {"toDict", pyutil::as_method(group_to_dict_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "toDict($self, /, minimal=False)\n--\n\nConvert the variable group to a dictionary, with its members under "
     "\"variables\".\n\n"
     "Args:\n    minimal: Only the ID, the value and the type, as a block state stores the variable.\n\n"
     "Returns:\n    The variable dictionary that the editor receives."},
    {"_updateVariablesInGroup", pyutil::as_method(group_update_method),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_updateVariablesInGroup($self, /, values)\n--\n\nUpdate the values of the variables inside this group"},
    {nullptr},
};

PyMemberDef group_members[] = {
    {"variables", T_OBJECT_EX, offsetof(VariableGroupObject, variables), 0,
     const_cast<char*>("The list of variables in the group.")},
    {nullptr},
};

PyType_Slot group_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VariableGroup(id, name, description, variables, allowedValues=None, category=None, "
                    "disabled=False, required=False)\n--\n\n"
                    "A group of varaibles to be used together as input.\n\n"
                    "Initialize a VariableGroup\n\n"
                    "Args:\n"
                    "    id: The ID of the variable group (must be unique).\n"
                    "    name: The name of the variable group.\n"
                    "    description: A description of the variable group.\n"
                    "    variables: The list of variables in the group.\n"
                    "    allowedValues: In this case, the allowed values will indicate in the GUI which groups "
                    "can be connected (with the same allowedValues).\n"
                    "    category: The category under which the editor lists the group.\n"
                    "    disabled: This will set all the variables under the group as disabled\n"
                    "    required: Whether the group must be connected.")},
    {Py_tp_new, reinterpret_cast<void*>(new_variable)},
    {Py_tp_init, reinterpret_cast<void*>(group_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_variable)},
    {Py_tp_traverse, reinterpret_cast<void*>(GroupFields::traverse<VariableGroupObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(GroupFields::clear<VariableGroupObject>)},
    {Py_tp_methods, group_methods},
    {Py_tp_members, group_members},
    {0, nullptr},
};

PyType_Spec group_spec = {
    "QorvelAPI.plugins.VariableGroup",
    sizeof(VariableGroupObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    group_slots,
};

}  // namespace

namespace {

// Declarations list a few variables with plain string ids: those are compared on the spot
// (cached hash, then text), without a set.
struct TextIds {
    static constexpr std::size_t capacity = 32;
    Ref ids[capacity];
    Py_hash_t hashes[capacity];
    std::size_t size = 0;

    bool holds(PyObject* id, Py_hash_t hash) const noexcept {
        for (std::size_t i = 0; i < size; ++i) {
            if (ids[i].get() == id || (hashes[i] == hash && pyutil::same_text(ids[i].get(), id))) return true;
        }
        return false;
    }
};

// 1 when every id was a plain string and none repeated, 0 when an id that is not a plain string
// (or one past the capacity) was reached: `pending` is that id, `next` its position. -1 on error.
int find_repeated_text_id(ModuleState& state, PyObject* members, Ref& repeated, TextIds& seen, Ref& pending,
                          Py_ssize_t& next) {
    for (next = 0; next < PyList_GET_SIZE(members); ++next) {
        Ref member = Ref::borrow(PyList_GET_ITEM(members, next));
        Ref id = member_id(state, member.get());
        if (!id) return -1;
        if (!PyUnicode_CheckExact(id.get()) || seen.size == TextIds::capacity) {
            pending = std::move(id);  // the set path takes over from this one
            return 0;
        }
        const Py_hash_t hash = PyObject_Hash(id.get());  // cannot fail for a str
        if (seen.holds(id.get(), hash)) {
            repeated = std::move(id);
            return 1;
        }
        seen.hashes[seen.size] = hash;
        seen.ids[seen.size++] = std::move(id);
    }
    return 1;
}

}  // namespace

bool find_repeated_id(ModuleState& state, PyObject* members, Ref& repeated) {
    TextIds texts;
    Ref pending;
    Py_ssize_t next = 0;
    const int plain = find_repeated_text_id(state, members, repeated, texts, pending, next);
    if (plain != 0) return plain == 1;
    // Identifiers are compared by equality. A set answers while they hash; from the first one
    // that cannot (a list set as an id, say), the ids collected so far are scanned one by one.
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!seen) return false;
    for (std::size_t i = 0; i < texts.size; ++i) {
        if (PySet_Add(seen.get(), texts.ids[i].get()) < 0) return false;
    }
    Ref scanned;  // the ids as a list, once one of them could not be hashed
    for (Py_ssize_t i = next; i < PyList_GET_SIZE(members); ++i) {
        Ref id = std::move(pending);
        if (!id) {
            Ref member = Ref::borrow(PyList_GET_ITEM(members, i));
            id = member_id(state, member.get());
            if (!id) return false;
        }
        if (!scanned && PyObject_Hash(id.get()) == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            scanned = Ref::steal(PySequence_List(seen.get()));
            if (!scanned) return false;
        }
        int found = scanned ? PySequence_Contains(scanned.get(), id.get()) : PySet_Contains(seen.get(), id.get());
        if (found < 0) return false;
        if (found > 0) {
            repeated = std::move(id);
            return true;
        }
        if ((scanned ? PyList_Append(scanned.get(), id.get()) : PySet_Add(seen.get(), id.get())) < 0) return false;
    }
    return true;
}

bool put_member_dicts(ModuleState& state, PyObject* dict, PyObject* members, bool minimal) {
    Ref sequence = Ref::steal(PySequence_Fast(members, "the members of a variable group or list must be a list"));
    if (!sequence) return false;
    Ref dicts = Ref::steal(PyList_New(0));
    if (!dicts) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        Ref member = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
        // Groups and lists recurse here in C without the interpreter's depth check: a group
        // that contains itself, or very deep nesting, must end in RecursionError, not a crash.
        if (Py_EnterRecursiveCall(" while building the dictionary of a variable group or list")) return false;
        Ref member_dict = variable_to_dict(state, member.get(), minimal);
        Py_LeaveRecursiveCall();
        if (!member_dict || PyList_Append(dicts.get(), member_dict.get()) < 0) return false;
    }
    return PyDict_SetItem(dict, state.k_variables, dicts.get()) == 0;
}

Ref group_dict(ModuleState& state, PyObject* self, bool minimal) {
    Ref dict = base_variable_dict(state, self, minimal);
    if (!dict) return Ref();
    Ref members = pyutil::slot_ref(self, as_group(self)->variables, state.k_variables);
    if (!members || !put_member_dicts(state, dict.get(), members.get(), minimal)) return Ref();
    return dict;
}

bool update_variables_in_group(ModuleState& state, PyObject* group, PyObject* values) {
    if (!PyDict_CheckExact(values)) {
        pyutil::raise_argument_type("values", "dict", values);
        return false;
    }
    if (!PyObject_TypeCheck(group, state.VariableGroup)) {
        PyErr_Format(PyExc_TypeError, "expected a VariableGroup, got %s", pyutil::type_name(group));
        return false;
    }
    Ref slot = pyutil::slot_ref(group, as_group(group)->variables, state.k_variables);
    if (!slot) return false;
    Ref members = Ref::steal(PySequence_Fast(slot.get(), "the members of a variable group must be a list"));
    if (!members) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(members.get()); ++i) {
        Ref member = Ref::borrow(PySequence_Fast_GET_ITEM(members.get(), i));
        Ref disabled = Ref::steal(PyObject_GetAttr(member.get(), state.k_disabled));
        if (!disabled) return false;
        int skip = PyObject_IsTrue(disabled.get());
        if (skip < 0) return false;
        if (skip > 0) continue;
        Ref id = member_id(state, member.get());
        if (!id) return false;
        bool error = false;
        Ref value = Ref::borrow(pyutil::dict_find(values, id.get(), error));
        if (error) return false;
        if (value && !set_variable_value(state, member.get(), value.get())) return false;
    }
    return true;
}

bool register_variable_group(PyObject* module, ModuleState& state) {
    Ref bases = Ref::borrow(reinterpret_cast<PyObject*>(state.PluginVariable));
    state.VariableGroup = pyutil::add_type(module, &group_spec, bases.get());
    if (state.VariableGroup == nullptr) return false;
    state.VariableGroup->tp_vectorcall = group_vectorcall;
    Ref empty = Ref::steal(PyList_New(0));
    return empty && install_slot_with_default(state, state.VariableGroup, "variables",
                                              offsetof(VariableGroupObject, variables), empty.get(),
                                              "The list of variables in the group.");
}

}  // namespace plugins
