// The plugin's configuration store: the registry of configuration blocks (PluginConfig), the
// configuration dictionary that actions read as `block.config`, and the JSON configuration
// file that the host keeps at a path of its choosing.
#include "plugin.hpp"

#include "../../pyutil/args.hpp"
#include "../../pyutil/errors.hpp"
#include "../../pyutil/json.hpp"
#include "../../pyutil/log.hpp"

#include <utility>
#include <vector>

namespace plugins {

using pyutil::Accept;
using pyutil::Ref;

namespace {

bool instance_of(PyObject* obj, PyTypeObject* type) { return type != nullptr && PyObject_TypeCheck(obj, type); }

Ref configs_of(PyObject* self) { return Ref::steal(PyObject_GetAttrString(self, "_configs")); }

// 1 when the plugin has configuration blocks, 0 when not, -1 on error.
int has_configs(PyObject* self) {
    Ref configs = configs_of(self);
    return configs ? PyObject_IsTrue(configs.get()) : -1;
}

// Calls `visit(block, variable)` for every variable of every configuration block, in order.
template <typename Visit>
bool for_each_config_variable(ModuleState& state, PyObject* self, Visit visit) {
    Ref configs = Ref::steal(PyObject_GetAttr(self, state.kplugin_configs));
    if (!configs) return false;
    Ref blocks = Ref::steal(PyObject_GetIter(configs.get()));
    if (!blocks) return false;
    while (Ref block = Ref::steal(PyIter_Next(blocks.get()))) {
        PyObject* call_args[] = {block.get()};
        Ref variables = Ref::steal(PyObject_VectorcallMethod(state.kplugin_getVariables, call_args, 1, nullptr));
        if (!variables) return false;
        Ref iterator = Ref::steal(PyObject_GetIter(variables.get()));
        if (!iterator) return false;
        while (Ref variable = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!visit(block.get(), variable.get())) return false;
        }
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

// The configuration dictionary: variable id -> access value, over all configuration blocks.
Ref build_config(PyObject* self) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    bool ok = for_each_config_variable(*state, self, [&](PyObject* block, PyObject* variable) {
        Ref id = Ref::steal(PyObject_GetAttr(variable, state->k_id));
        if (!id) return false;
        PyObject* call_args[] = {block, variable};
        Ref value = Ref::steal(PyObject_VectorcallMethod(state->kplugin_parseAccess, call_args, 2, nullptr));
        return value && PyDict_SetItem(result.get(), id.get(), value.get()) == 0;
    });
    return ok ? result : Ref();
}

bool create_config(PyObject* self, PyObject* config_path) {
    int any = has_configs(self);
    if (any <= 0) return any == 0;
    Ref id = Ref::steal(PyObject_GetAttrString(self, "id"));
    if (!id || !pyutil::log_debug("Creating config file for plugin %s at %s", id.get(), config_path)) return false;
    Ref config = Ref::steal(PyObject_GetAttrString(self, "config"));
    return config && write_json_file(config_path, config.get());
}

// The parsed file, creating it from the current values first when it does not exist.
Ref load_config_file(PyObject* self, PyObject* config_path) {
    int exists = path_exists(config_path);
    if (exists < 0) return Ref();
    if (exists == 0 && !create_config(self, config_path)) return Ref();
    Ref text = read_text(config_path);
    if (!text) return Ref();
    Ref stored = pyutil::json_loads(text.get());
    // Valid JSON that is not an object has no keys to load or merge: refused rather than
    // silently ignored.
    if (stored && !PyDict_Check(stored.get())) return Ref::steal(pyutil::raise_expected("dict", stored.get()));
    return stored;
}

// Whether `error` is the JSON reader's decode error (JSONDecodeError), the only failure of
// reading the file that the recovery handles.
int is_json_decode_error(PyObject* error) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return -1;
    Ref decode_error = Ref::steal(PyObject_GetAttrString(json.get(), "JSONDecodeError"));
    if (!decode_error) return -1;
    return PyErr_GivenExceptionMatches(error, decode_error.get());
}

// A file that is not valid JSON is set aside as "<path>.bak" and written anew from the
// current values, which the variables keep.
bool recover_corrupt_file(PyObject* self, PyObject* config_path) {
    Ref backup = Ref::steal(PyUnicode_FromFormat("%U.bak", config_path));
    if (!backup) return false;
    Ref moved = call_function("os", "replace", {config_path, backup.get()});
    if (!moved || !create_config(self, config_path)) return false;
    return pyutil::log_error(
        "Error reading config file %s.The config file has been moved to %s and a new config file has been created",
        config_path, backup.get());
}

// Writes a stored value into a variable the way its kind takes values.
bool apply_stored_value(ModuleState& state, PyObject* variable, PyObject* value) {
    if (instance_of(variable, state.VariableGroup)) {
        return static_cast<bool>(Ref::steal(PyObject_CallMethod(variable, "_updateVariablesInGroup", "O", value)));
    }
    if (instance_of(variable, state.VariableList)) {
        return static_cast<bool>(Ref::steal(PyObject_CallMethod(variable, "_updateVariablesInList", "O", value)));
    }
    return PyObject_SetAttrString(variable, "value", value) == 0;
}

// Refuses, with the error its update would raise, a stored value that a group or list of our
// own classes cannot take. Checked before anything is written or applied, so that a refused
// load changes no variable and a refused save leaves the file loadable. (A Python subclass
// that overrides its update decides itself what it accepts.)
bool check_stored_value(ModuleState& state, PyObject* variable, PyObject* value) {
    if (Py_IS_TYPE(variable, state.VariableGroup) && !PyDict_CheckExact(value)) {
        pyutil::raise_argument_type("values", "dict", value);
        return false;
    }
    if (!Py_IS_TYPE(variable, state.VariableList) || value == Py_None) return true;
    if (!PyList_CheckExact(value)) {
        pyutil::raise_argument_type("value", "list", value);
        return false;
    }
    // A row's attribute lookup runs its code, which may change the list: re-read every step.
    return pyutil::for_each_item(value, [](PyObject* row) {
        if (PyDict_Check(row)) return true;
        int has_items = PyObject_HasAttrString(row, "items");
        if (has_items == 0) {
            PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'items'", pyutil::type_name(row));
        }
        return has_items > 0;
    });
}

// The stored values that the configuration variables take from `stored`, each checked.
bool collect_stored_values(ModuleState& state, PyObject* self, PyObject* stored,
                           std::vector<std::pair<Ref, Ref>>& updates) {
    return for_each_config_variable(state, self, [&](PyObject*, PyObject* variable) {
        Ref id = Ref::steal(PyObject_GetAttrString(variable, "id"));
        if (!id) return false;
        int present = PySequence_Contains(stored, id.get());
        if (present <= 0) return present == 0;
        Ref value = Ref::steal(PyObject_GetItem(stored, id.get()));
        if (!value || !check_stored_value(state, variable, value.get())) return false;
        updates.emplace_back(Ref::borrow(variable), std::move(value));
        return true;
    });
}

bool update_configs(PyObject* self, PyObject* config_path) {
    int any = has_configs(self);
    if (any <= 0) return any == 0;
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    Ref stored = load_config_file(self, config_path);
    if (!stored) {
        Ref error = pyutil::fetch_exception();
        int decode_error = is_json_decode_error(error.get());
        if (decode_error <= 0) {
            if (decode_error == 0) pyutil::reraise(std::move(error));
            return false;
        }
        return recover_corrupt_file(self, config_path);
    }
    // Read and check everything first, then assign.
    std::vector<std::pair<Ref, Ref>> updates;
    if (!collect_stored_values(*state, self, stored.get(), updates)) return false;
    for (const auto& [variable, value] : updates) {
        if (!apply_stored_value(*state, variable.get(), value.get())) return false;
    }
    return true;
}

// The values as the file holds them once written: through JSON and back, so that any value with
// a JSON form is taken (a tuple comes back as a list, a dict subclass as a dict) and one without
// is refused before the file changes.
Ref as_stored(PyObject* values) {
    Ref text = pyutil::json_dumps_indented(values);
    return text ? pyutil::json_loads(text.get()) : Ref();
}

bool merge_into_config_file(PyObject* self, PyObject* config_path, PyObject* given) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    Ref stored = load_config_file(self, config_path);
    if (!stored) return false;
    Ref values = as_stored(given);
    if (!values) return false;
    // A value that the loading would refuse is refused before the file is written.
    std::vector<std::pair<Ref, Ref>> updates;
    if (!collect_stored_values(*state, self, values.get(), updates)) return false;
    // The entries as a list: storing a key hashes and compares it, which runs the code of a key
    // that is not an exact string, and that code may change `values`.
    Ref entries = Ref::steal(PyDict_Items(values.get()));
    if (!entries) return false;
    const bool merged = pyutil::for_each_item(entries.get(), [&](PyObject* entry) {
        return PyObject_SetItem(stored.get(), PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1)) == 0;
    });
    return merged && write_json_file(config_path, stored.get());
}

constexpr auto config_arg_signature = pyutil::signature("Plugin.addConfig", pyutil::Param{"config", Accept::Any, true});
constexpr auto get_config_signature = pyutil::signature("Plugin._getConfig", pyutil::Param{"id", Accept::Str, true});
constexpr auto create_signature =
    pyutil::signature("Plugin._createConfig", pyutil::Param{"configPath", Accept::Str, true});
constexpr auto update_signature =
    pyutil::signature("Plugin._updateConfigs", pyutil::Param{"configPath", Accept::Str, true});
constexpr auto save_signature = pyutil::signature("Plugin._saveConfig", pyutil::Param{"configPath", Accept::Str, true},
                                                  pyutil::Param{"valuesToSave", Accept::Dict, true});

}  // namespace

PyObject* plugin_add_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(config_arg_signature, args, nargs, kwnames, bound)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    PyObject* config = bound[0];
    if (!instance_of(config, state->PluginConfig)) Py_RETURN_NONE;
    Ref plugin_id = Ref::steal(PyObject_GetAttrString(self, "id"));
    Ref own_id = Ref::steal(PyObject_GetAttrString(config, "id"));
    if (!plugin_id || !own_id) return nullptr;
    Ref id = prefixed_id(plugin_id.get(), ".config.", own_id.get());
    if (!id || PyObject_SetAttrString(config, "id", id.get()) < 0) return nullptr;
    Ref configs = configs_of(self);
    if (!configs) return nullptr;
    Ref found = find_by_id(configs.get(), id.get());
    if (found) Py_RETURN_NONE;
    if (PyErr_Occurred()) return nullptr;
    if (PyList_Check(configs.get()) ? PyList_Append(configs.get(), config) < 0
                                    : !Ref::steal(PyObject_CallMethod(configs.get(), "append", "O", config))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* plugin_get_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(get_config_signature, args, nargs, kwnames, bound)) return nullptr;
    Ref configs = configs_of(self);
    if (!configs) return nullptr;
    Ref found = find_by_id(configs.get(), bound[0]);
    if (found) return found.release();
    if (PyErr_Occurred()) return nullptr;
    return pyutil::raise_format(PyExc_Exception, "Config %S not found.", bound[0]);
}

PyObject* plugin_get_configs(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin._getConfigs", nargs, kwnames)) return nullptr;
    return configs_of(self).release();
}

PyObject* plugin_config_property(PyObject* self, void*) { return build_config(self).release(); }

PyObject* plugin_create_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(create_signature, args, nargs, kwnames, bound)) return nullptr;
    ConfigLock lock;
    if (!lock.acquire(bound[0]) || !create_config(self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_update_configs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(update_signature, args, nargs, kwnames, bound)) return nullptr;
    ConfigLock lock;  // the recovery of a corrupt file sets it aside and writes it anew
    if (!lock.acquire(bound[0]) || !update_configs(self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_save_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<2> bound;
    if (!pyutil::parse(save_signature, args, nargs, kwnames, bound)) return nullptr;
    int any = has_configs(self);
    if (any < 0) return nullptr;
    // Savers in other processes and threads wait, so that none overwrites a value that another
    // merged after this one read the file.
    ConfigLock lock;
    if (any == 1 && (!lock.acquire(bound[0]) || !merge_into_config_file(self, bound[0], bound[1]))) return nullptr;
    if (!update_configs(self, bound[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_configs_to_dict(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin._configToDict", nargs, kwnames)) return nullptr;
    Ref configs = configs_of(self);
    if (!configs) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(configs.get()));
    if (!result || !iterator) return nullptr;
    while (Ref block = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref document = Ref::steal(PyObject_CallMethod(block.get(), "_toDict", nullptr));
        if (!document || PyList_Append(result.get(), document.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

}  // namespace plugins
