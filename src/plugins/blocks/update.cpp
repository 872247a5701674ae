// Writing the flow editor's JSON into a block: variable values, input values, and the block
// state JSON of one placement.
//
// Every update reads and checks everything first and only then assigns, so that a refused
// JSON leaves the block exactly as it was. Group and list values are checked in the reading
// phase too (a group takes a dictionary, a list a list of row dictionaries or null): the
// assignment phase then has nothing left to refuse, and should a member update still fail it
// restores the values it had already written.
#include "internal.hpp"
#include "../connections/connections.hpp"

#include "../../pyutil/collected.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/numbers.hpp"
#include "../../pyutil/types.hpp"

#include <vector>

namespace plugins {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

namespace {

enum class Kind : unsigned char { Plain, Group, List };

struct Planned {
    Ref variable;
    Ref value;
    Kind kind;
};

// A value that a group update would refuse: the group's own message, raised before any change.
bool check_group_value(PyObject* value) {
    if (PyDict_CheckExact(value)) return true;
    pyutil::raise_argument_type("values", "dict", value);
    return false;
}

// A value that a list update would refuse (not a list, or a row that is not a dictionary).
bool check_list_value(PyObject* value) {
    if (value == Py_None) return true;
    if (!PyList_CheckExact(value)) {
        pyutil::raise_argument_type("value", "list", value);
        return false;
    }
    // A row's attribute lookup runs its code, which may change the list: re-read every step.
    return pyutil::for_each_item(value, [](PyObject* row) {
        if (PyDict_Check(row) || PyObject_HasAttrString(row, "items")) return true;
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute 'items'", Py_TYPE(row)->tp_name);
        return false;
    });
}

// Whether the object's class replaces the method that `base` defines (a Python subclass).
bool overrides(PyObject* obj, PyTypeObject* base, PyObject* name) {
    return Py_TYPE(obj) != base && pyutil::lookup_in_mro(Py_TYPE(obj), name) != pyutil::lookup_in_mro(base, name);
}

// An exact VariableGroup's update planned as plain writes of its members' values, when every
// member is one of our own classes with a plain `disabled` flag (so the writes cannot fail and
// need no saved values). 1 when planned, 0 when not (the group is then updated as a whole when
// the plan is applied, and nothing of it is left in the plan), -1 on error.
int plan_group_members(ModuleState& state, PyObject* group, PyObject* values, std::vector<Planned>& plan) {
    PyObject* slot = reinterpret_cast<VariableGroupObject*>(group)->variables;
    if (slot == nullptr || !PyList_CheckExact(slot)) return 0;
    Ref members = Ref::borrow(slot);
    const std::size_t start = plan.size();
    bool eligible = true;
    const bool ok = pyutil::for_each_item(members.get(), [&](PyObject* member) {
        PluginVariableObject* v = as_variable(member);
        if (!is_own_variable_class(state, member) || v->id == nullptr ||
            (v->disabled != Py_True && v->disabled != Py_False)) {
            eligible = false;
            return false;
        }
        if (v->disabled == Py_True) return true;
        Ref held = Ref::borrow(member), id = Ref::borrow(v->id);
        bool error = false;
        Ref value = Ref::borrow(pyutil::dict_find(values, id.get(), error));
        if (error) return false;
        if (value) plan.push_back({std::move(held), std::move(value), Kind::Plain});
        return true;
    });
    if (ok) return 1;
    plan.resize(start);
    return eligible ? -1 : 0;
}

// Reading phase of a variable update: which variables take which values.
bool plan_updates(ModuleState& state, PyObject* variables, PyObject* values, std::vector<Planned>& plan) {
    if (PyDict_GET_SIZE(values) == 0) return true;  // nothing to write, nothing to check
    // The block's own list is walked by index (read afresh at every step: the checks below can
    // run Python code); anything else through its iterator.
    const bool exact_list = PyList_CheckExact(variables);
    Ref iterator = exact_list ? Ref() : Ref::steal(PyObject_GetIter(variables));
    if (!exact_list && !iterator) return false;
    // Room for a group's members too, planned one by one.
    if (exact_list) plan.reserve(2 * static_cast<std::size_t>(PyList_GET_SIZE(variables)) + 8);
    Py_ssize_t index = 0;
    auto next_variable = [&]() {
        if (!exact_list) return Ref::steal(PyIter_Next(iterator.get()));
        return index < PyList_GET_SIZE(variables) ? Ref::borrow(PyList_GET_ITEM(variables, index++)) : Ref();
    };
    pyutil::KeyCursor cursor(values);
    while (Ref variable = next_variable()) {
        const int disabled = variable_disabled(state, variable.get());
        if (disabled < 0) return false;
        if (disabled == 1) continue;
        Ref id = variable_field(state, variable.get(), &PluginVariableObject::id, state.k_id);
        if (!id) return false;
        bool error = false;
        Ref value = Ref::borrow(cursor.find(id.get(), error));
        if (error) return false;
        if (!value) continue;
        // Our own exact classes: a plain write, a group's members' writes, a list's rows copied
        // now (a list update stores them only once complete anyway).
        PyTypeObject* type = Py_TYPE(variable.get());
        if (type == state.PluginVariable) {
            plan.push_back({std::move(variable), std::move(value), Kind::Plain});
            continue;
        }
        if (type == state.VariableGroup) {
            if (!check_group_value(value.get())) return false;
            const int planned = plan_group_members(state, variable.get(), value.get(), plan);
            if (planned < 0) return false;
            if (planned == 0) plan.push_back({std::move(variable), std::move(value), Kind::Group});
            continue;
        }
        if (type == state.VariableList) {
            if (!check_list_value(value.get())) return false;
            Ref rows = list_update_value(state, variable.get(), value.get());
            if (!rows) return false;
            plan.push_back({std::move(variable), std::move(rows), Kind::Plain});
            continue;
        }
        // A subclass's own update method decides what it accepts; its failure is rolled back.
        Kind kind = Kind::Plain;
        if (is_group(state, variable.get())) {
            if (!overrides(variable.get(), state.VariableGroup, state.kb_updateVariablesInGroup) &&
                !check_group_value(value.get())) {
                return false;
            }
            kind = Kind::Group;
        } else if (is_list(state, variable.get())) {
            if (!overrides(variable.get(), state.VariableList, state.kb_updateVariablesInList) &&
                !check_list_value(value.get())) {
                return false;
            }
            kind = Kind::List;
        }
        plan.push_back({std::move(variable), std::move(value), kind});
    }
    return !PyErr_Occurred();
}

bool write_value(ModuleState& state, PyObject* variable, PyObject* value) {
    if (is_variable(state, variable)) return set_variable_value(state, variable, value);
    return PyObject_SetAttr(variable, state.k_value, value) == 0;
}

// What a planned update may overwrite: the variable's value, or each member's for a group.
bool snapshot(ModuleState& state, const Planned& p, std::vector<std::pair<Ref, Ref>>& saved) {
    auto save = [&](PyObject* variable) {
        Ref old = variable_field(state, variable, &PluginVariableObject::value, state.k_value);
        if (!old) return false;
        saved.emplace_back(Ref::borrow(variable), std::move(old));
        return true;
    };
    if (p.kind != Kind::Group) return save(p.variable.get());
    Ref members = group_members(state, p.variable.get());
    Ref iterator = members ? Ref::steal(PyObject_GetIter(members.get())) : Ref();
    if (!iterator) return false;
    while (Ref member = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!save(member.get())) return false;
    }
    return !PyErr_Occurred();
}

// Puts the saved values back, keeping the exception that made the update fail.
void roll_back(ModuleState& state, const std::vector<std::pair<Ref, Ref>>& saved) {
    Ref failure = pyutil::fetch_exception();
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (!write_value(state, it->first.get(), it->second.get())) PyErr_Clear();
    }
    pyutil::reraise(std::move(failure));
}

// A plain value written into one of our own variable classes is a slot assignment: it cannot fail.
bool cannot_fail(ModuleState& state, const Planned& p) {
    return p.kind == Kind::Plain && is_own_variable_class(state, p.variable.get());
}

// Assignment phase; on a failure the values written so far are put back. Only the updates up to
// the last one that can fail need their values saved (none at all when every update is plain).
bool apply_updates(ModuleState& state, const std::vector<Planned>& plan) {
    if (plan.empty()) return true;
    std::size_t guarded = plan.size();
    while (guarded > 0 && cannot_fail(state, plan[guarded - 1])) --guarded;
    std::vector<std::pair<Ref, Ref>> saved;
    if (guarded > 0) saved.reserve(guarded + 8);
    for (std::size_t i = 0; i < guarded; ++i) {
        if (!snapshot(state, plan[i], saved)) return false;
    }
    for (const Planned& p : plan) {
        bool ok = true;
        if (p.kind == Kind::Plain) {
            ok = write_value(state, p.variable.get(), p.value.get());
        } else if (p.kind == Kind::Group) {
            ok = update_group_via_object(state, p.variable.get(), p.value.get());
        } else {
            ok = update_list_via_object(state, p.variable.get(), p.value.get());
        }
        if (ok) continue;
        roll_back(state, saved);
        return false;
    }
    return true;
}

// `self._updateVariables(values)` of a block class that overrides it; the override may write any
// variable, so every variable's value is saved first and put back should it fail.
bool apply_override(ModuleState& state, PyObject* self, PyObject* variables, PyObject* values) {
    std::vector<std::pair<Ref, Ref>> saved;
    Ref iterator = Ref::steal(PyObject_GetIter(variables));
    if (!iterator) return false;
    while (Ref variable = Ref::steal(PyIter_Next(iterator.get()))) {
        const Kind kind = is_group(state, variable.get()) ? Kind::Group : Kind::Plain;
        if (!snapshot(state, Planned{std::move(variable), Ref(), kind}, saved)) return false;
    }
    if (PyErr_Occurred()) return false;
    if (Ref::steal(PyObject_CallMethodOneArg(self, state.kb_updateVariables, values))) return true;
    roll_back(state, saved);
    return false;
}

}  // namespace

bool update_group_via_object(ModuleState& state, PyObject* group, PyObject* values) {
    if (!overrides(group, state.VariableGroup, state.kb_updateVariablesInGroup)) {
        return update_variables_in_group(state, group, values);
    }
    return static_cast<bool>(Ref::steal(PyObject_CallMethodOneArg(group, state.kb_updateVariablesInGroup, values)));
}

bool update_list_via_object(ModuleState& state, PyObject* list, PyObject* value) {
    if (!overrides(list, state.VariableList, state.kb_updateVariablesInList)) {
        return update_variables_in_list(state, list, value);
    }
    return static_cast<bool>(Ref::steal(PyObject_CallMethodOneArg(list, state.kb_updateVariablesInList, value)));
}

bool update_variables(ModuleState& state, PyObject* variables, PyObject* values) {
    std::vector<Planned> plan;
    return plan_updates(state, variables, values, plan) && apply_updates(state, plan);
}

PyObject* block_method_updateVariables(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._updateVariables", Param{"values", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    Ref variables = pyutil::slot_ref(self, as_block(self)->variables, "_variables");
    if (!variables || !update_variables(*state_of_class(cls), variables.get(), bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* block_method_updateInputs(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static constexpr auto sig = pyutil::signature("PluginBlock._updateInputs", Param{"values", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(cls);
    bool no_groups = false;
    Ref group = selected_group(state, self, no_groups);
    if (no_groups) Py_RETURN_NONE;
    if (!group) return nullptr;
    Ref members = group_members(state, group.get());
    if (!members || !update_variables(state, members.get(), bound[0])) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Block state JSON

namespace {

// What `json.get(key, fallback)` gives for a value read with `pyutil::read_keys`.
void or_default(Ref& value, PyObject* fallback) {
    if (!value) value = Ref::borrow(fallback);
}

// The same for `json.get(key, [])` / `json.get(key, {})`, the empty container made only when needed.
bool or_new(Ref& value, bool list) {
    if (!value) value = Ref::steal(list ? PyList_New(0) : PyDict_New());
    return static_cast<bool>(value);
}

bool expect(PyObject* value, bool ok, const char* type) {
    if (!ok) pyutil::raise_expected(type, value);
    return ok;
}

bool str_or_none(PyObject* v) { return v == Py_None || PyUnicode_CheckExact(v); }

// The values of the "variables" entries: id -> value, a group entry giving id -> {member: value}.
Ref parse_variable_entries(ModuleState& state, PyObject* entries) {
    Ref parsed = Ref::steal(PyDict_New());
    if (!parsed || pyutil::list_or_raise(entries) == nullptr) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
        if (pyutil::dict_or_raise(entry.get()) == nullptr) return Ref();
        PyObject* const keys[] = {state.k_id, state.k_value, state.k_type, state.k_variables};
        Ref fields[4];
        if (!pyutil::read_keys(entry.get(), keys, fields)) return Ref();
        auto& [keep_id, entry_value, type, members] = fields;
        if (!keep_id || keep_id.get() == Py_None) {
            PyErr_SetString(PyExc_Exception, "Invalid flow object.");
            return Ref();
        }
        or_default(type, Py_None);
        // A plain string is compared by its text; anything else by its own __eq__.
        const int is_group_entry = PyUnicode_CheckExact(type.get()) ? pyutil::same_text(type.get(), state.kb_group)
                                                                    : PyObject_RichCompareBool(type.get(), state.kb_group, Py_EQ);
        if (is_group_entry < 0) return Ref();
        Ref value;
        if (is_group_entry == 1) {
            // An entry without "variables" names no member to update. Lookups and insertions hash
            // and compare keys, which runs the code of a key that is not an exact string:
            // everything used afterwards is held.
            if (!or_new(members, true) || pyutil::list_or_raise(members.get()) == nullptr) return Ref();
            value = Ref::steal(PyDict_New());
            if (!value) return Ref();
            PyObject* const member_keys[] = {state.k_id, state.k_value};
            const bool ok = pyutil::for_each_item(members.get(), [&](PyObject* member) {
                if (pyutil::dict_or_raise(member) == nullptr) return false;
                Ref member_fields[2];
                if (!pyutil::read_keys(member, member_keys, member_fields)) return false;
                or_default(member_fields[0], Py_None);
                or_default(member_fields[1], Py_None);
                return PyDict_SetItem(value.get(), member_fields[0].get(), member_fields[1].get()) == 0;
            });
            if (!ok) return Ref();
        } else {
            value = std::move(entry_value);
            or_default(value, Py_None);
        }
        if (PyDict_SetItem(parsed.get(), keep_id.get(), value.get()) < 0) return Ref();
    }
    return parsed;
}

// The keys of a block state JSON, in the order the block's dictionary holds them (the order
// `pyutil::read_keys` finds them fastest in; "id" is only passed over).
enum StateKey : unsigned char {
    Id, IsPlaced, Position, IsRunning, Error, BlockLogs, PlacedID, FinishedExecution, StoredOutputs, Variables,
    Connections, References, SelectedInputGroup, SelectedRemote, ExtensionsToOpen, Time, ExtraData, Dirty, StateKeys
};

// Everything read from a block state JSON before the block is touched.
struct BlockState {
    Ref read[StateKeys];  // the values as read (defaults filled in); position and lists parsed below
    Ref position, connections, references, parsed;
    std::vector<Planned> plan;
};

// `given`: the "position" value (null when missing).
bool read_position(ModuleState& state, Ref given, Ref& position) {
    if (!or_new(given, false) || pyutil::dict_or_raise(given.get()) == nullptr) return false;
    // Held: the first value's __float__ may change the position dictionary.
    PyObject* const keys[] = {state.kb_x, state.kb_y};
    Ref coordinates[2];
    if (!pyutil::read_keys(given.get(), keys, coordinates)) return false;
    auto& [x, y] = coordinates;
    if (!x) x = Ref::steal(PyLong_FromLong(0));  // small ints are cached: cannot fail
    if (!y) y = Ref::steal(PyLong_FromLong(0));
    Ref fx = pyutil::real_to_float(x.get());
    if (!fx) return false;
    Ref fy = pyutil::real_to_float(y.get());
    if (!fy) return false;
    position = Ref::steal(PyList_New(2));
    if (!position) return false;
    PyList_SET_ITEM(position.get(), 0, fx.release());
    PyList_SET_ITEM(position.get(), 1, fy.release());
    return true;
}

bool read_block_state(ModuleState& state, PyObject* self, PyObject* json, BlockState& s) {
    PyObject* const keys[StateKeys] = {
        state.k_id, state.kb_isPlaced, state.kb_position, state.kb_isRunning, state.kb_error, state.kb_blockLogs,
        state.k_placedID, state.kb_finishedExecution, state.kb_storedOutputs, state.k_variables,
        state.kb_variableConnections, state.kb_variableConnectionsReference, state.kb_selectedInputGroup,
        state.kb_selectedRemote, state.kb_extensionsToOpen, state.kb_time, state.kb_extraData, state.kb_dirty};
    Ref (&v)[StateKeys] = s.read;
    if (!pyutil::read_keys(json, keys, v)) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));  // small ints are cached: cannot fail
    // The plain keys in their order, with defaults and type checks
    or_default(v[IsPlaced], Py_False);
    or_default(v[IsRunning], Py_False);
    or_default(v[Error], Py_False);
    or_default(v[BlockLogs], state.kb_empty);
    if (!expect(v[BlockLogs].get(), str_or_none(v[BlockLogs].get()), "str")) return false;
    or_default(v[PlacedID], zero.get());
    PyObject* placed = v[PlacedID].get();
    if (!expect(placed, placed == Py_None || PyLong_CheckExact(placed), "int")) return false;
    or_default(v[FinishedExecution], Py_True);
    or_default(v[SelectedInputGroup], state.kb_default);
    if (!expect(v[SelectedInputGroup].get(), str_or_none(v[SelectedInputGroup].get()), "str")) return false;
    or_default(v[SelectedRemote], state.kb_Local);
    if (!expect(v[SelectedRemote].get(), str_or_none(v[SelectedRemote].get()), "str")) return false;
    if (!or_new(v[ExtensionsToOpen], true)) return false;
    PyObject* extensions = v[ExtensionsToOpen].get();
    if (!expect(extensions, extensions == Py_None || PyList_CheckExact(extensions), "list")) return false;
    or_default(v[Time], zero.get());
    if (!or_new(v[ExtraData], false)) return false;
    or_default(v[Dirty], Py_False);
    if (!read_position(state, std::move(v[Position]), s.position)) return false;
    or_default(v[StoredOutputs], Py_None);
    PyObject* stored = v[StoredOutputs].get();
    if (!expect(stored, stored == Py_None || PyDict_CheckExact(stored), "dict")) return false;
    // Connections: both lists are type-checked before either is parsed, as the keys are read in order
    Ref connections = std::move(v[Connections]), references = std::move(v[References]);
    if (!or_new(connections, true) || !or_new(references, true)) return false;
    if (connections.get() != Py_None && !expect(connections.get(), PyList_CheckExact(connections.get()), "list")) {
        return false;
    }
    if (references.get() != Py_None && !expect(references.get(), PyList_CheckExact(references.get()), "list")) {
        return false;
    }
    s.connections = connections_from_list(state, connections.get());
    if (!s.connections) return false;
    s.references = connections_from_list(state, references.get());
    if (!s.references) return false;
    // Variable values, and whether the block's variables accept them
    Ref entries = std::move(v[Variables]);
    if (!or_new(entries, true)) return false;
    s.parsed = parse_variable_entries(state, entries.get());
    if (!s.parsed) return false;
    Ref variables = pyutil::slot_ref(self, as_block(self)->variables, "_variables");
    return variables && plan_updates(state, variables.get(), s.parsed.get(), s.plan);
}

}  // namespace

bool block_parse_internal_variables(ModuleState& state, PyObject* self, PyObject* json) {
    BlockState s{};
    if (!read_block_state(state, self, json, s)) return false;
    PluginBlockObject* b = as_block(self);
    using pyutil::assign_slot;
    // Selected group and remote, then the values; a failing member update puts the selection back too
    Ref old_group = Ref::borrow(b->selectedInputGroup), old_remote = Ref::borrow(b->selectedRemote);
    assign_slot(b->selectedInputGroup, std::move(s.read[SelectedInputGroup]));
    assign_slot(b->selectedRemote, std::move(s.read[SelectedRemote]));
    // A block class with its own _updateVariables gets the values through it.
    const bool own = uses_builtin_method(Py_TYPE(self), state.kb_updateVariables,
                                         reinterpret_cast<void (*)()>(block_method_updateVariables));
    Ref variables = own ? Ref() : pyutil::slot_ref(self, b->variables, "_variables");
    if (own ? !apply_updates(state, s.plan) : (!variables || !apply_override(state, self, variables.get(), s.parsed.get()))) {
        assign_slot(b->selectedInputGroup, std::move(old_group));
        assign_slot(b->selectedRemote, std::move(old_remote));
        return false;
    }
    // Run state, position and connections
    assign_slot(b->isPlaced, std::move(s.read[IsPlaced]));
    assign_slot(b->isRunning, std::move(s.read[IsRunning]));
    assign_slot(b->error, std::move(s.read[Error]));
    assign_slot(b->blockLogs, std::move(s.read[BlockLogs]));
    assign_slot(b->position, std::move(s.position));
    assign_slot(b->placedID, std::move(s.read[PlacedID]));
    assign_slot(b->finishedExecution, std::move(s.read[FinishedExecution]));
    assign_slot(b->storedOutputs, std::move(s.read[StoredOutputs]));
    assign_slot(b->variableConnections, std::move(s.connections));
    assign_slot(b->variableConnectionsReferences, std::move(s.references));
    assign_slot(b->extensionsToOpen, std::move(s.read[ExtensionsToOpen]));
    assign_slot(b->time, std::move(s.read[Time]));
    assign_slot(b->extraData, std::move(s.read[ExtraData]));
    assign_slot(b->dirty, std::move(s.read[Dirty]));
    return true;
}

PyObject* block_method_parseInternal(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    static constexpr auto sig =
        pyutil::signature("PluginBlock._parseInternalVariables", Param{"blockJSON", Accept::Dict, true});
    pyutil::Bound<1> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!block_parse_internal_variables(*state_of_class(cls), self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plugins
