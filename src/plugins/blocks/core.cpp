// PluginBlock: the type, its initial run state, the constructor with all its checks,
// identifier normalisation, invocation, equality and text form.
#include "internal.hpp"

#include "../../pyutil/dict.hpp"
#include "../../pyutil/json.hpp"
#include "../../pyutil/log.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

// ---------------------------------------------------------------------------------------------
// Helpers shared by the unit

// Our own classes are read from the slot; a Python subclass through the attribute, so that a
// property it defines (a computed `value`, say) is what the block sees.
Ref group_members(ModuleState& state, PyObject* group) {
    if (Py_TYPE(group) == state.VariableGroup) {
        PyObject* members = reinterpret_cast<VariableGroupObject*>(group)->variables;
        if (members != nullptr) return Ref::borrow(members);
    }
    return Ref::steal(PyObject_GetAttr(group, state.k_variables));
}

bool add_slot_with_class_value(ModuleState& state, PyTypeObject* type, const char* name, Py_ssize_t offset,
                               PyObject* value, const char* doc) {
    return install_slot_with_default(state, type, name, offset, value, doc);
}

bool uses_builtin_method(PyTypeObject* type, PyObject* name, void (*fn)()) {
    PyObject* found = pyutil::lookup_in_mro(type, name);
    if (found == nullptr || !Py_IS_TYPE(found, &PyMethodDescr_Type)) return false;
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(found);
    return reinterpret_cast<void (*)()>(descr->d_method->ml_meth) == fn;
}

namespace {

// Reads a declaration slot that the constructor sets; a block whose constructor never ran
// reports the missing attribute as Python would.
PyObject* declared(PyObject* self, PyObject* slot, const char* name) {
    if (slot == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    }
    return slot;
}

// ---------------------------------------------------------------------------------------------
// Initial run state

// Every reference slot of the layout (blocks.hpp), for the GC.
using BlockFields = pyutil::GcFields<&PluginBlockObject::dict, &PluginBlockObject::id, &PluginBlockObject::name, &PluginBlockObject::description, &PluginBlockObject::action, &PluginBlockObject::externalURL, &PluginBlockObject::variables, &PluginBlockObject::outputs, &PluginBlockObject::inputGroups, &PluginBlockObject::TYPE, &PluginBlockObject::position, &PluginBlockObject::isPlaced, &PluginBlockObject::isRunning, &PluginBlockObject::error, &PluginBlockObject::blockLogs, &PluginBlockObject::placedID, &PluginBlockObject::finishedExecution, &PluginBlockObject::storedOutputs, &PluginBlockObject::variableConnections, &PluginBlockObject::variableConnectionsReferences, &PluginBlockObject::selectedInputGroup, &PluginBlockObject::selectedRemote, &PluginBlockObject::extensionsToOpen, &PluginBlockObject::time, &PluginBlockObject::extraData, &PluginBlockObject::flow, &PluginBlockObject::pluginDir, &PluginBlockObject::dirty, &PluginBlockObject::remote, &PluginBlockObject::config, &PluginBlockObject::isOriginal>;
// A slot added to the layout without being listed here would escape the GC (weakrefs is the one left out).
static_assert(sizeof(PluginBlockObject) == offsetof(PluginBlockObject, dict) + (BlockFields::count + 1) * sizeof(PyObject*));

// The instance type's own clear, so a C++ block kind with extra fields releases them too.
void block_dealloc(PyObject* self) {
    pyutil::dealloc_gc_object<block_dealloc>(self, [](PyObject* obj) { Py_TYPE(obj)->tp_clear(obj); });
}

}  // namespace

int block_traverse_base(PyObject* self, visitproc visit, void* arg) {
    return BlockFields::traverse<PluginBlockObject>(self, visit, arg);
}
int block_clear_base(PyObject* self) { return BlockFields::clear<PluginBlockObject>(self); }

bool block_init_run_state(ModuleState& state, PyObject* self) {
    PluginBlockObject* b = as_block(self);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref position = Ref::steal(PyList_New(2));
    if (!position) return false;
    PyList_SET_ITEM(position.get(), 0, zero.new_ref());
    PyList_SET_ITEM(position.get(), 1, zero.new_ref());
    Ref stored = Ref::steal(PyDict_New());
    Ref connections = Ref::steal(PyList_New(0));
    Ref references = Ref::steal(PyList_New(0));
    Ref extensions = Ref::steal(PyList_New(0));
    Ref extra = Ref::steal(PyDict_New());
    Ref config = Ref::steal(PyDict_New());
    if (!stored || !connections || !references || !extensions || !extra || !config) return false;
    using pyutil::assign_slot;
    assign_slot(b->position, std::move(position));
    assign_slot(b->isPlaced, Py_False);
    assign_slot(b->isRunning, Py_False);
    assign_slot(b->error, Py_False);
    assign_slot(b->blockLogs, state.kb_empty);
    assign_slot(b->placedID, zero.get());
    assign_slot(b->finishedExecution, Py_False);
    assign_slot(b->storedOutputs, std::move(stored));
    assign_slot(b->variableConnections, std::move(connections));
    assign_slot(b->variableConnectionsReferences, std::move(references));
    assign_slot(b->selectedInputGroup, state.kb_default);
    assign_slot(b->selectedRemote, state.kb_Local);
    assign_slot(b->extensionsToOpen, std::move(extensions));
    assign_slot(b->time, zero.get());
    assign_slot(b->extraData, std::move(extra));
    assign_slot(b->dirty, Py_False);
    assign_slot(b->config, std::move(config));
    assign_slot(b->isOriginal, Py_True);
    return true;
}

PyObject* block_new(PyTypeObject* type, PyObject*, PyObject*) {
    ModuleState* state = state_of_type(type);
    if (state == nullptr) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !block_init_run_state(*state, self.get())) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Identifier normalisation

namespace {

bool ascii_alnum(Py_UCS4 c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// `re.sub("[^A-Za-z0-9]", "_", id.lower())`
Ref parse_id(PyObject* id) {
    if (PyUnicode_CheckExact(id) && PyUnicode_IS_ASCII(id)) {
        // str.lower() of ASCII text changes only A-Z: done on the spot.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(id);
        Ref result = Ref::steal(PyUnicode_New(length, 127));
        if (!result) return Ref();
        const Py_UCS1* in = PyUnicode_1BYTE_DATA(id);
        Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS1 c = in[i] >= 'A' && in[i] <= 'Z' ? static_cast<Py_UCS1>(in[i] - 'A' + 'a') : in[i];
            out[i] = ascii_alnum(c) ? c : static_cast<Py_UCS1>('_');
        }
        return result;
    }
    Ref lowered = Ref::steal(PyObject_CallMethod(id, "lower", nullptr));
    if (!lowered) return Ref();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(lowered.get());
    Ref result = Ref::steal(PyUnicode_New(length, 127));
    if (!result) return Ref();
    const int kind = PyUnicode_KIND(lowered.get());
    const void* data = PyUnicode_DATA(lowered.get());
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        out[i] = ascii_alnum(c) ? static_cast<Py_UCS1>(c) : static_cast<Py_UCS1>('_');
    }
    return result;
}

}  // namespace

PyObject* block_method_parseID(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._parseID", Param{"id", Accept::Str, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    return parse_id(bound[0]).release();
}

// ---------------------------------------------------------------------------------------------
// Constructor

namespace {

Ref raise_unique(ModuleState& state, PyObject* message, PyObject* variable_id) {
    PyObject* args[] = {message, variable_id};
    Ref exc = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.UniqueVariableIDException), args, 2,
                                             nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return Ref();
}

// verifyUniqueIDs: the first repeated `id` of the list (only the list itself, not group members).
bool verify_unique_ids(ModuleState& state, PyObject* variables, PyObject* block_id) {
    Ref id;  // the first identifier that repeats an earlier one (compared by equality)
    if (!find_repeated_id(state, variables, id)) return false;
    if (!id) return true;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Variable '%S' is used more than once on block '%S'. Variable IDs must be unique.", id.get(), block_id));
    if (message) raise_unique(state, message.get(), id.get());
    return false;
}

// checkNestedVariables: a group directly inside a group of the list is refused.
bool check_nested(ModuleState& state, PyObject* variables, PyObject* block_id) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(variables); ++i) {
        Ref outer = Ref::borrow(PyList_GET_ITEM(variables, i));
        if (!is_group(state, outer.get())) continue;
        Ref members = group_members(state, outer.get());
        if (!members) return false;
        // A plain list is read by index (a type check runs no Python code); anything else iterated.
        const bool exact_list = PyList_CheckExact(members.get());
        Ref iterator = exact_list ? Ref() : Ref::steal(PyObject_GetIter(members.get()));
        if (!exact_list && !iterator) return false;
        Py_ssize_t index = 0;
        auto next_member = [&]() {
            if (!exact_list) return Ref::steal(PyIter_Next(iterator.get()));
            return index < PyList_GET_SIZE(members.get()) ? Ref::borrow(PyList_GET_ITEM(members.get(), index++)) : Ref();
        };
        while (Ref inner = next_member()) {
            if (!is_group(state, inner.get())) continue;
            Ref inner_id = variable_field(state, inner.get(), &PluginVariableObject::id, state.k_id);
            Ref outer_id = variable_field(state, outer.get(), &PluginVariableObject::id, state.k_id);
            if (!inner_id || !outer_id) return false;
            pyutil::raise_format(PyExc_ValueError,
                                 "Variable %S is a VariableGroup inside %S on block %S. You cannot use nested "
                                 "VariableGroups.",
                                 inner_id.get(), outer_id.get(), block_id);
            return false;
        }
        if (PyErr_Occurred()) return false;
    }
    return true;
}

// One input group: nesting, then uniqueness reported with the group's identifier.
bool check_input_group(ModuleState& state, PyObject* group, PyObject* block_id) {
    Ref members = group_members(state, group);
    if (!members) return false;
    if (members.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    if (!PyList_CheckExact(members.get())) {
        pyutil::raise_expected("list", members.get());
        return false;
    }
    if (!check_nested(state, members.get(), block_id)) return false;
    if (verify_unique_ids(state, members.get(), block_id)) return true;
    if (!PyErr_ExceptionMatches(reinterpret_cast<PyObject*>(state.UniqueVariableIDException))) return false;
    Ref caught = pyutil::fetch_exception();
    Ref duplicated = Ref::steal(PyObject_GetAttrString(caught.get(), "variableId"));
    Ref group_id = variable_field(state, group, &PluginVariableObject::id, state.k_id);
    if (!duplicated || !group_id) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Variable '%S' is used more than once on block '%S' input group '%S'. Variable IDs must be unique.",
        duplicated.get(), block_id, group_id.get()));
    if (!message) return false;
    raise_unique(state, message.get(), group_id.get());
    pyutil::set_cause_of_current(std::move(caught));
    return false;
}

bool check_type(PyObject* value, const char* parameter, Accept accept) {
    if (pyutil::detail::accepts(accept, value)) return true;
    pyutil::raise_argument_type(parameter, pyutil::detail::accept_name(accept), value);
    return false;
}

Ref list_or_new(PyObject* given) { return given != nullptr ? Ref::borrow(given) : Ref::steal(PyList_New(0)); }

// Replaces the text in `type` by the PluginBlockTypes member of that value; a text that names
// no member is left as it is (for the caller's refusal). False with an exception on failure.
bool block_type_member(ModuleState& state, Ref& type) {
    Ref member = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.PluginBlockTypes), type.get()));
    if (member) {
        type = std::move(member);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

bool block_construct(ModuleState& state, PyObject* self, const BlockArgs& a) {
    // Argument types, in parameter order
    if (a.name == nullptr || a.description == nullptr) {
        PyErr_SetString(PyExc_TypeError, "PluginBlock() missing required arguments 'name' and 'description'");
        return false;
    }
    if (!check_type(a.name, "name", Accept::Str) || !check_type(a.description, "description", Accept::Str)) return false;
    Ref variables = list_or_new(a.variables), inputs = list_or_new(a.inputs), groups = list_or_new(a.inputGroups),
        outputs = list_or_new(a.outputs);
    if (!variables || !inputs || !groups || !outputs) return false;
    if (!check_type(variables.get(), "variables", Accept::List) || !check_type(inputs.get(), "inputs", Accept::List) ||
        !check_type(groups.get(), "inputGroups", Accept::List) || !check_type(outputs.get(), "outputs", Accept::List)) {
        return false;
    }
    PyObject* id_arg = a.id != nullptr ? a.id : Py_None;
    PyObject* url = a.externalURL != nullptr ? a.externalURL : Py_None;
    if (!check_type(id_arg, "id", Accept::StrOrNone) || !check_type(url, "externalURL", Accept::StrOrNone)) return false;

    // The identifier: the name when none is given, then normalised by _parseID
    if (id_arg == Py_None) {
        if (!log_warning(state, "Block '%s' does not have a unique ID assigned. The name of the block will be used "
                                 "instead. For consistency, please define an ID for your block.",
                                 a.name)) {
            return false;
        }
        id_arg = a.name;
    }
    Ref block_id;
    if (uses_builtin_method(Py_TYPE(self), state.kb_parseID, reinterpret_cast<void (*)()>(block_method_parseID))) {
        block_id = parse_id(id_arg);
    } else {
        block_id = Ref::steal(PyObject_CallMethodOneArg(self, state.kb_parseID, id_arg));
    }
    if (!block_id) return false;

    // Unique identifiers, and no list or group nested where it may not be
    if (!verify_unique_ids(state, variables.get(), block_id.get()) ||
        !verify_unique_ids(state, outputs.get(), block_id.get()) ||
        !check_nested(state, variables.get(), block_id.get()) || !check_nested(state, outputs.get(), block_id.get())) {
        return false;
    }

    // Plain inputs become the one default input group
    if (PyList_GET_SIZE(inputs.get()) > 0 && PyList_GET_SIZE(groups.get()) > 0) {
        PyErr_SetString(PyExc_Exception, "A block can only have inputs or input groups, not both.");
        return false;
    }
    if (PyList_GET_SIZE(inputs.get()) > 0) {
        PyObject* args[] = {state.kb_default, state.kb_Default, state.kb_default_group_description, inputs.get()};
        Ref group = Ref::steal(
            PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.VariableGroup), args, 4, nullptr));
        if (!group) return false;
        groups = Ref::steal(PyList_New(1));
        if (!groups) return false;
        PyList_SET_ITEM(groups.get(), 0, group.release());
    }

    // Input groups checked, then keyed by their identifiers in list order; the first is selected
    Ref selected = Ref::borrow(as_block(self)->selectedInputGroup);
    Ref by_id = Ref::steal(PyDict_New());
    if (!by_id) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        Ref group = Ref::borrow(PyList_GET_ITEM(groups.get(), i));
        if (!check_input_group(state, group.get(), block_id.get())) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        Ref group = Ref::borrow(PyList_GET_ITEM(groups.get(), i));
        Ref group_id = variable_field(state, group.get(), &PluginVariableObject::id, state.k_id);
        if (!group_id || PyDict_SetItem(by_id.get(), group_id.get(), group.get()) < 0) return false;
        if (i == 0) selected = group_id;
    }

    // Block type: BASE unless given
    Ref block_type = Ref::borrow(a.blockType != nullptr ? a.blockType : state.bt_BASE);
    // A plain string equal to a member's value stands for that member, as it does for every
    // string-valued enumeration of the model.
    if (PyUnicode_CheckExact(block_type.get()) && !block_type_member(state, block_type)) return false;
    if (!PyObject_TypeCheck(block_type.get(), state.PluginBlockTypes)) {
        pyutil::raise_format(PyExc_Exception, "Invalid block type %S. Allowed types: %S", block_type.get(),
                             reinterpret_cast<PyObject*>(state.PluginBlockTypes));
        return false;
    }

    // Everything checked: the block takes its declaration at once.
    PluginBlockObject* b = as_block(self);
    using pyutil::assign_slot;
    assign_slot(b->id, block_id.get());
    assign_slot(b->name, a.name);
    assign_slot(b->description, a.description);
    assign_slot(b->action, a.action != nullptr ? a.action : Py_None);
    assign_slot(b->externalURL, url);
    assign_slot(b->variables, variables.get());
    assign_slot(b->outputs, outputs.get());
    assign_slot(b->selectedInputGroup, selected.get());
    assign_slot(b->inputGroups, by_id.get());
    assign_slot(b->TYPE, block_type.get());
    return true;
}

namespace {

constexpr auto init_signature = pyutil::signature(
    "PluginBlock.__init__", Param{"name", Accept::Str, true}, Param{"description", Accept::Str, true},
    Param{"action"}, Param{"variables", Accept::List}, Param{"inputs", Accept::List},
    Param{"inputGroups", Accept::List}, Param{"outputs", Accept::List}, Param{"blockType"},
    Param{"id", Accept::StrOrNone}, Param{"externalURL", Accept::StrOrNone});

BlockArgs to_block_args(const pyutil::Bound<10>& bound) {
    BlockArgs a;
    a.name = bound[0];
    a.description = bound[1];
    a.action = bound[2];
    a.variables = bound[3];
    a.inputs = bound[4];
    a.inputGroups = bound[5];
    a.outputs = bound[6];
    a.blockType = bound[7];
    a.id = bound[8];
    a.externalURL = bound[9];
    return a;
}

int block_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return -1;
    pyutil::Bound<10> bound;
    if (!pyutil::parse(init_signature, args, kwargs, bound)) return -1;
    return block_construct(*state, self, to_block_args(bound)) ? 0 : -1;
}

PyObject* block_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    ModuleState* state = state_of_type(tp);
    if (state == nullptr) return nullptr;
    pyutil::Bound<10> bound;
    if (!pyutil::parse(init_signature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    Ref self = Ref::steal(block_new(tp, nullptr, nullptr));
    if (!self || !block_construct(*state, self.get(), to_block_args(bound))) return nullptr;
    return self.release();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Invocation, equality, text form

PyObject* block_call(ModuleState& state, PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref action = Ref::borrow(as_block(self)->action);  // the action may replace itself on the block
    if (!action || action.get() == Py_None) {
        Ref name = Ref::borrow(declared(self, as_block(self)->name, "name"));  // held across str(name)
        if (!name) return nullptr;
        Ref line = Ref::steal(PyUnicode_FromFormat("WARNING: No action defined for block %S\n", name.get()));
        if (!line) return nullptr;
        PyObject* out = PySys_GetObject("stdout");  // borrowed
        if (out != nullptr && out != Py_None && PyFile_WriteObject(line.get(), out, Py_PRINT_RAW) < 0) return nullptr;
    } else {
        const Py_ssize_t count = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
        Ref call_args = Ref::steal(PyTuple_New(count + 1));
        if (!call_args) return nullptr;
        PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(self));
        for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
        Ref result = Ref::steal(PyObject_Call(action.get(), call_args.get(), kwargs));
        if (!result) return nullptr;
    }
    return block_outputs(state, self).release();
}

namespace {

PyObject* block_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return block_call(*state, self, args, kwargs);
}

// A block's `id` or `_placedID`: the slot of a block, the attribute of any other object.
Ref identity_part(ModuleState& state, PyObject* obj, bool placed) {
    if (is_block(state, obj)) {
        PyObject* slot = placed ? as_block(obj)->placedID : as_block(obj)->id;
        if (slot != nullptr) return Ref::borrow(slot);
    }
    return placed ? Ref::steal(PyObject_GetAttrString(obj, "_placedID")) : Ref::steal(PyObject_GetAttr(obj, state.k_id));
}

// Equal when the identifiers and then the placements are equal. An object without them is
// simply not equal (NotImplemented lets Python fall back to identity), so `block == None` is
// false rather than an error.
PyObject* block_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    int equal = 1;
    for (bool placed : {false, true}) {
        Ref mine = identity_part(*state, self, placed);
        if (!mine) return nullptr;
        Ref theirs = identity_part(*state, other, placed);
        if (!theirs) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        equal = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) break;  // different identifiers: the placements are not looked at
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* block_str(PyObject* self) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref dict = block_to_dict_via_object(*state, self);
    if (!dict) return nullptr;
    return pyutil::json_dumps_indented(dict.get()).release();
}

// ---------------------------------------------------------------------------------------------
// Type

#define QV_SLOT(name, field, doc) {name, T_OBJECT_EX, offsetof(PluginBlockObject, field), 0, doc}

PyMemberDef block_members[] = {
    QV_SLOT("id", id, "The ID of the block."),
    QV_SLOT("name", name, "The name of the block."),
    QV_SLOT("description", description, "The description of the block."),
    QV_SLOT("action", action, "The action of the block, called when the flow runs the block."),
    QV_SLOT("externalURL", externalURL, "The external URL of the block for documentation purposes."),
    QV_SLOT("_variables", variables, "The variables of the block."),
    QV_SLOT("_outputs", outputs, "The outputs of the block."),
    QV_SLOT("_inputGroups", inputGroups, "The input groups of the block, by group ID."),
    QV_SLOT("TYPE", TYPE, "The type of the block."),
    QV_SLOT("_position", position, "The position of the block on the editor canvas, as [x, y]."),
    QV_SLOT("_storedOutputs", storedOutputs, "The output values set during the run, by output ID."),
    QV_SLOT("_variableConnections", variableConnections, "The connections of the block's variables."),
    QV_SLOT("_variableConnectionsReferences", variableConnectionsReferences,
            "The reference connections of the block, kept and written separately."),
    QV_SLOT("_extensionsToOpen", extensionsToOpen, "The extension pages that the editor is asked to open."),
    QV_SLOT("extraData", extraData, "Free-form data kept with the block for the editor."),
    QV_SLOT("flow", flow, "The flow that the block runs in; assigned by the host."),
    QV_SLOT("pluginDir", pluginDir, "The folder of the plugin that declares the block; assigned by the host."),
    QV_SLOT("remote", remote, "The remote on which the action runs."),
    QV_SLOT("config", config, "The configuration values of the plugin, read as block.config[\"variable_id\"]."),
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginBlockObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginBlockObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef QV_SLOT

PyMethodDef block_methods[] = {
    {"_parseID", pyutil::as_method(block_method_parseID), QV_METHOD_FLAGS,
     "_parseID($self, /, id)\n--\n\n"
     "Parses the ID of the block.\n\nThe ID should only contain letters, numbers, and underscores."},
    {"copy", pyutil::as_method(block_method_copy), QV_METHOD_FLAGS,
     "copy($self, /)\n--\n\n"
     "A deep copy of the block; work on it never modifies this block. Callables are shared.\n\n"
     "Returns:\n"
     "    A new block of the same kind."},
    {"__deepcopy__", pyutil::as_method(block_method_deepcopy), QV_METHOD_FLAGS,
     "__deepcopy__($self, /, memo=None)\n--\n\n"
     "The deep copy that copy.deepcopy() makes; sharing and cycles are kept, callables are shared."},
    {"__copy__", pyutil::as_method(block_method_shallowcopy), QV_METHOD_FLAGS,
     "__copy__($self, /)\n--\n\n"
     "The shallow copy that copy.copy() makes: a new block holding the same attribute objects."},
    {"__getstate__", pyutil::as_method(block_method_getstate), QV_METHOD_FLAGS,
     "__getstate__($self, /)\n--\n\nThe attributes, for pickling."},
    {"__setstate__", block_method_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nRestores pickled attributes."},
    {"_getVariables", pyutil::as_method(block_method_getVariables), QV_METHOD_FLAGS,
     "_getVariables($self, /)\n--\n\n"
     "Returns a list of the variables of the block."},
    {"_parseVariablesForBlockAccess",
     pyutil::as_method(block_method_parseForAccess),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "_parseVariablesForBlockAccess(variable)\n--\n\n"
     "The value of a variable as block actions see it."},
    {"setOutput", pyutil::as_method(block_method_setOutput), QV_METHOD_FLAGS, "setOutput($self, /, id, value)\n--\n\n"
     "Sets the value of an output variable.\n\n"
     "Args:\n"
     "    id: The ID of the output.\n"
     "    value: Its value; it must fit the output's type."},
    {"_cleanRun", pyutil::as_method(block_method_cleanRun), QV_METHOD_FLAGS, "_cleanRun($self, /, cleanCycles=True, cleanDirty=False)\n--\n\n"
     "Cleans the run of the block."},
    {"_setRemote", pyutil::as_method(block_method_setRemote), QV_METHOD_FLAGS, "_setRemote($self, /, remote)\n--\n\n"
     "Sets the remote of the block."},
    {"_minimalEncode", pyutil::as_method(block_method_minimalEncode), QV_METHOD_FLAGS,
     "_minimalEncode($self, /)\n--\n\n"
     "Encode only the blockID and the internal variables."},
    {"_toDict", pyutil::as_method(block_method_toDict), QV_METHOD_FLAGS, "_toDict($self, /)\n--\n\n"
     "Converts the block to a dictionary."},
    {"_variablesToDict", pyutil::as_method(block_method_variablesToDict), QV_METHOD_FLAGS,
     "_variablesToDict($self, /, vars, minimal=False)\n--\n\n"
     "Converts a list of variables to a list of dictionaries."},
    {"_inputGroupsToDict", pyutil::as_method(block_method_inputGroupsToDict), QV_METHOD_FLAGS,
     "_inputGroupsToDict($self, /, inputGroups)\n--\n\n"
     "Converts the input groups to a list of dictionaries."},
    {"_connectionsToDict", pyutil::as_method(block_method_connectionsToDict), QV_METHOD_FLAGS,
     "_connectionsToDict($self, /, references=False)\n--\n\n"
     "Converts the connections of the block to a dictionary."},
    {"_updateVariables", pyutil::as_method(block_method_updateVariables), QV_METHOD_FLAGS,
     "_updateVariables($self, /, values)\n--\n\n"
     "Updates the values of the variables of the block.\n\nvalues: (JSON coming from frontend)"},
    {"_updateInputs", pyutil::as_method(block_method_updateInputs), QV_METHOD_FLAGS,
     "_updateInputs($self, /, values)\n--\n\n"
     "Updates the values of the inputs of the block.\n\nvalues: (JSON coming from frontend)"},
    {"_parseInternalVariables", pyutil::as_method(block_method_parseInternal), QV_METHOD_FLAGS,
     "_parseInternalVariables($self, /, blockJSON)\n--\n\n"
     "Updates the block with the internal variables."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_getset[] = {
    {"variables", block_get_variables, nullptr, "The variables assigned to the block.", nullptr},
    {"inputs", block_get_inputs, nullptr, "The inputs assigned to the block.", nullptr},
    {"outputs", block_get_outputs, nullptr, "The outputs assigned to the block.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PluginBlock(name, description, action=None, variables=[], inputs=[], inputGroups=[], "
                    "outputs=[], blockType=PluginBlockTypes.BASE, id=None, externalURL=None)\n--\n\n"
                    "The base block class for Qorvel blocks. Not to be used directly.\n\n"
                    "Initialize a PluginBlock.\n\n"
                    "Args:\n"
                    "    name: The name of the block.\n"
                    "    description: The description of the block.\n"
                    "    action: The function called with the running copy of the block when the flow runs it.\n"
                    "    variables: The variables of the block, set in the editor.\n"
                    "    inputs: The inputs of the block, in an input group named \"default\".\n"
                    "    inputGroups: Groups of inputs; the block uses the variables of the selected one.\n"
                    "    outputs: The outputs of the block, set by its action with setOutput.\n"
                    "    blockType: The kind of the block.\n"
                    "    id: The ID of the block: letters, numbers and underscores (default: from the name).\n"
                    "    externalURL: The external URL of the block for documentation purposes.")},
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_init, reinterpret_cast<void*>(block_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(BlockFields::traverse<PluginBlockObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(BlockFields::clear<PluginBlockObject>)},
    {Py_tp_call, reinterpret_cast<void*>(block_tp_call)},
    {Py_tp_richcompare, reinterpret_cast<void*>(block_richcompare)},
    {Py_tp_str, reinterpret_cast<void*>(block_str)},
    {Py_tp_members, block_members},
    {Py_tp_methods, block_methods},
    {Py_tp_getset, block_getset},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "QorvelAPI.plugins.PluginBlock",
    sizeof(PluginBlockObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    block_slots,
};

// The run-state attributes whose initial values the class itself carries.
struct ClassValue {
    const char* name;
    Py_ssize_t offset;
    const char* doc;
};

constexpr ClassValue class_values[] = {
    {"_isPlaced", offsetof(PluginBlockObject, isPlaced), "Whether the block has been placed in a flow."},
    {"_isRunning", offsetof(PluginBlockObject, isRunning), "Whether the block is running."},
    {"error", offsetof(PluginBlockObject, error), "Whether the last run of the block ended in error."},
    {"blockLogs", offsetof(PluginBlockObject, blockLogs), kBlockLogsDoc},
    {"_placedID", offsetof(PluginBlockObject, placedID), "The ID of this placement of the block in a flow."},
    {"_finishedExecution", offsetof(PluginBlockObject, finishedExecution),
     "Whether the block has finished executing."},
    {"selectedInputGroup", offsetof(PluginBlockObject, selectedInputGroup),
     "The ID of the input group whose variables are the block's current inputs."},
    {"selectedRemote", offsetof(PluginBlockObject, selectedRemote),
     "The name of the remote selected for this block in the editor."},
    {"time", offsetof(PluginBlockObject, time), "The time of the block's run, shown by the editor."},
    {"dirty", offsetof(PluginBlockObject, dirty), "The editor's dirty mark of the block."},
    {"_isOriginal", offsetof(PluginBlockObject, isOriginal),
     "True for a block built by its constructor, False for a copy."},
};

}  // namespace

bool register_blocks(PyObject* module, ModuleState& state) {
    if (!build_block_key_templates(state)) return false;
    state.PluginBlock = pyutil::add_type(module, &block_spec);
    if (state.PluginBlock == nullptr) return false;
    state.PluginBlock->tp_vectorcall = block_vectorcall;
    // The initial values, read on the class as on a fresh instance.
    Ref sample = Ref::steal(block_new(state.PluginBlock, nullptr, nullptr));
    if (!sample) return false;
    for (const ClassValue& cv : class_values) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(sample.get()) + cv.offset);
        if (!add_slot_with_class_value(state, state.PluginBlock, cv.name, cv.offset, value, cv.doc)) return false;
    }
    return register_special_blocks(module, state);
}

}  // namespace plugins
