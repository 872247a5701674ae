// The string-valued enumerations VariableTypes and PluginBlockTypes.
//
// They are real Python enumerations with a `str` mix-in, built through the `enum` module's
// functional interface, so plugin authors get the usual behaviour (iteration, lookup by value,
// `.name`, `.value`, pickling by name) while every member is a true `str`: it compares and
// hashes as its value text and serialises to JSON as it. Text conversion, representation and
// formatting are the value text too, so messages and printed dictionaries never show a member
// name.
#include "internal.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace plugins {
namespace {

using Member = std::pair<const char*, const char*>;

// Declaration order, which is the order of iteration.
constexpr std::array<Member, 31> variable_type_members = {{
    {"ANY", "any"},
    {"STRING", "string"},
    {"TEXT_AREA", "text_area"},
    {"NUMBER", "number"},
    {"INTEGER", "integer"},
    {"FLOAT", "float"},
    {"BOOLEAN", "boolean"},
    {"STRING_LIST", "string[]"},
    {"NUMBER_LIST", "number[]"},
    {"NUMBER_RANGE", "[number, number, number]"},
    {"CONSTRAINED_NUMBER_RANGE", "[number, number, number, constrain]"},
    {"FILE", "file"},
    {"FOLDER", "folder"},
    {"MULTIPLE_STRUCTURE", "multiple_structure"},
    {"STRUCTURE", "structure"},
    {"HETERORES", "heterores"},
    {"STDRES", "stdres"},
    {"RESIDUE", "residue"},
    {"ATOM", "atom"},
    {"CHAIN", "chain"},
    {"BOX", "box"},
    {"SPHERE", "sphere"},
    {"SMILES", "smiles"},
    {"_GROUP", "group"},
    {"LIST", "list"},
    {"_LIST", "_list"},
    {"OBJECT", "object"},
    {"CODE", "code"},
    {"CUSTOM", "custom"},
    {"RADIO", "radio"},
    {"CHECKBOX", "checkbox"},
}};

constexpr std::array<Member, 6> block_type_members = {{
    {"BASE", "base"},
    {"INPUT", "input"},
    {"ACTION", "action"},
    {"SLURM", "slurm"},
    {"CONFIG", "config"},
    {"GHOST", "ghost"},
}};

// VariableTypes.getTypes(): a fresh list, so callers may change it freely.
PyObject* get_types(PyObject* module, PyObject*) {
    ModuleState* state = state_of_module(module);
    return PySequence_List(state->variable_types_sorted);
}

PyMethodDef get_types_def = {
    "getTypes", get_types, METH_NOARGS,
    "getTypes()\n--\n\nReturns a list of all the available types.",
};

template <std::size_t N>
pyutil::Ref build_enum(PyObject* module, const char* name, const char* doc, const std::array<Member, N>& members) {
    using pyutil::Ref;
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!names) return Ref();
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* pair = Py_BuildValue("(ss)", members[i].first, members[i].second);
        if (pair == nullptr) return Ref();
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), pair);
    }
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return Ref();
    Ref enum_class = Ref::steal(PyObject_GetAttrString(enum_module.get(), "Enum"));
    Ref str_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref module_name = Ref::steal(PyUnicode_FromString("QorvelAPI.plugins"));
    Ref class_name = Ref::steal(PyUnicode_FromString(name));
    if (!enum_class || !module_name || !class_name) return Ref();
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "module", module_name.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "qualname", class_name.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "type", str_type.get()) < 0) {
        return Ref();
    }
    Ref args = Ref::steal(PyTuple_Pack(2, class_name.get(), names.get()));
    if (!args) return Ref();
    Ref cls = Ref::steal(PyObject_Call(enum_class.get(), args.get(), kwargs.get()));
    if (!cls) return Ref();

    // The value text everywhere a member is turned into text.
    Ref str_str = Ref::steal(PyObject_GetAttrString(str_type.get(), "__str__"));
    Ref str_format = Ref::steal(PyObject_GetAttrString(str_type.get(), "__format__"));
    Ref doc_text = Ref::steal(PyUnicode_FromString(doc));
    if (!str_str || !str_format || !doc_text) return Ref();
    if (PyObject_SetAttrString(cls.get(), "__str__", str_str.get()) < 0 ||
        PyObject_SetAttrString(cls.get(), "__repr__", str_str.get()) < 0 ||
        PyObject_SetAttrString(cls.get(), "__format__", str_format.get()) < 0 ||
        PyObject_SetAttrString(cls.get(), "__doc__", doc_text.get()) < 0) {
        return Ref();
    }
    (void)module;
    return cls;
}

// The members ordered by address, with their texts in parallel: a member is found by identity
// with a binary search (hashing one would run the enumeration's Python-level __hash__).
bool index_members_by_address(ModuleState& state) {
    const Py_ssize_t count = PyTuple_GET_SIZE(state.variable_types_sorted);
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = i;
    auto address = [&](Py_ssize_t i) {
        return reinterpret_cast<std::uintptr_t>(PyTuple_GET_ITEM(state.variable_types_sorted, i));
    };
    std::sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) { return address(a) < address(b); });
    pyutil::Ref members = pyutil::Ref::steal(PyTuple_New(count));
    pyutil::Ref texts = pyutil::Ref::steal(PyTuple_New(count));
    if (!members || !texts) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t from = order[static_cast<std::size_t>(i)];
        PyTuple_SET_ITEM(members.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.variable_types_sorted, from)));
        PyTuple_SET_ITEM(texts.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.variable_type_texts, from)));
    }
    state.variable_types_by_address = members.release();
    state.variable_type_texts_by_address = texts.release();
    return true;
}

// The position of `member` in variable_types_by_address, or -1.
Py_ssize_t member_position(ModuleState& state, PyObject* member) {
    PyObject* members = state.variable_types_by_address;
    const Py_ssize_t last = state.last_member_position;
    if (last < PyTuple_GET_SIZE(members) && PyTuple_GET_ITEM(members, last) == member) return last;
    const auto wanted = reinterpret_cast<std::uintptr_t>(member);
    Py_ssize_t low = 0, high = PyTuple_GET_SIZE(members);
    while (low < high) {
        const Py_ssize_t middle = (low + high) / 2;
        const auto at = reinterpret_cast<std::uintptr_t>(PyTuple_GET_ITEM(members, middle));
        if (at == wanted) {
            state.last_member_position = middle;
            return middle;
        }
        if (at < wanted) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return -1;
}

bool keep_member(PyObject* cls, const char* name, PyObject*& field) {
    field = PyObject_GetAttrString(cls, name);
    return field != nullptr;
}

bool register_variable_types(PyObject* module, ModuleState& state) {
    using pyutil::Ref;
    Ref cls = build_enum(module, "VariableTypes", "The types of variables.", variable_type_members);
    if (!cls) return false;

    // getTypes() lists the members by name in code-point order (upper case before "_").
    std::array<Member, 31> by_name = variable_type_members;
    std::sort(by_name.begin(), by_name.end(),
              [](const Member& a, const Member& b) { return std::string_view(a.first) < std::string_view(b.first); });
    Ref sorted = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(by_name.size())));
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(by_name.size())));
    Ref values = Ref::steal(PyDict_New());
    if (!sorted || !texts || !values) return false;
    for (std::size_t i = 0; i < by_name.size(); ++i) {
        PyObject* member = PyObject_GetAttrString(cls.get(), by_name[i].first);
        if (member == nullptr) return false;
        PyTuple_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(i), member);
        // Plain value string -> itself: a lookup with a member or its text yields the plain text.
        Ref text = Ref::steal(PyUnicode_FromString(by_name[i].second));
        if (!text || PyDict_SetItem(values.get(), text.get(), text.get()) < 0) return false;
        PyTuple_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    state.variable_types_sorted = sorted.release();
    state.variable_type_values = values.release();
    state.variable_type_texts = texts.release();
    if (!index_members_by_address(state)) return false;

    Ref function = Ref::steal(PyCFunction_NewEx(&get_types_def, module, nullptr));
    if (!function) return false;
    Ref static_method = Ref::steal(PyStaticMethod_New(function.get()));
    if (!static_method || PyObject_SetAttrString(cls.get(), "getTypes", static_method.get()) < 0) return false;

    if (!keep_member(cls.get(), "ANY", state.vt_ANY) || !keep_member(cls.get(), "_GROUP", state.vt_GROUP) ||
        !keep_member(cls.get(), "LIST", state.vt_LIST) || !keep_member(cls.get(), "_LIST", state.vt_LIST_INTERNAL) ||
        !keep_member(cls.get(), "STRING_LIST", state.vt_STRING_LIST) ||
        !keep_member(cls.get(), "NUMBER_LIST", state.vt_NUMBER_LIST)) {
        return false;
    }
    if (PyModule_AddObjectRef(module, "VariableTypes", cls.get()) < 0) return false;
    state.VariableTypes = reinterpret_cast<PyTypeObject*>(cls.release());
    return true;
}

bool register_block_types(PyObject* module, ModuleState& state) {
    pyutil::Ref cls = build_enum(module, "PluginBlockTypes", "The different types of blocks.", block_type_members);
    if (!cls || !keep_member(cls.get(), "BASE", state.bt_BASE) ||
        PyModule_AddObjectRef(module, "PluginBlockTypes", cls.get()) < 0) {
        return false;
    }
    state.PluginBlockTypes = reinterpret_cast<PyTypeObject*>(cls.release());
    return true;
}

}  // namespace

bool register_enumerations(PyObject* module, ModuleState& state) {
    return register_variable_types(module, state) && register_block_types(module, state);
}

bool is_variable_type(ModuleState& state, PyObject* type, bool& error) {
    error = false;
    if (Py_IS_TYPE(type, state.VariableTypes) && member_position(state, type) >= 0) return true;
    if (PyUnicode_CheckExact(type) || Py_IS_TYPE(type, state.VariableTypes)) {
        int found = PyDict_Contains(state.variable_type_values, type);
        error = found < 0;
        return found > 0;
    }
    // Anything else is compared member by member, as a list membership test does.
    int found = PySequence_Contains(state.variable_types_sorted, type);
    error = found < 0;
    return found > 0;
}

pyutil::Ref type_text(ModuleState& state, PyObject* type) {
    if (PyUnicode_CheckExact(type)) return pyutil::Ref::borrow(type);
    if (Py_IS_TYPE(type, state.VariableTypes)) {
        // Found by identity: a dictionary lookup keyed by plain strings would call the member's
        // Python-level __eq__.
        const Py_ssize_t at = member_position(state, type);
        if (at >= 0) return pyutil::Ref::borrow(PyTuple_GET_ITEM(state.variable_type_texts_by_address, at));
        PyObject* plain = PyDict_GetItemWithError(state.variable_type_values, type);
        if (plain != nullptr) return pyutil::Ref::borrow(plain);
        if (PyErr_Occurred()) return pyutil::Ref();
    }
    // Anything else (a str subclass, an object assigned to `type` later) as its text, so the
    // dictionary always holds a plain string.
    pyutil::Ref text = pyutil::Ref::steal(PyObject_Str(type));
    if (text && !PyUnicode_CheckExact(text.get())) text = pyutil::Ref::steal(PyUnicode_FromObject(text.get()));
    return text;
}

}  // namespace plugins
