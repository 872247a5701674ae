// `Plugin`: the object a plugin script creates to represent its plugin. Construction (locating
// the plugin folder, loading the metadata), comparison and text form, and the block and page
// registries with the attribute scans that the host runs after importing the script.
// Metadata, configuration store and preset flows live in meta.cpp, config.cpp
// and flows.cpp.
#include "plugin.hpp"

#include "../../pyutil/construct.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/log.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

namespace plugins {
namespace {

using pyutil::Accept;
using pyutil::Ref;

using PluginFields =
    pyutil::GcFields<&PluginObject::dict, &PluginObject::id, &PluginObject::actions, &PluginObject::views,
                     &PluginObject::blocks, &PluginObject::pages, &PluginObject::configs, &PluginObject::filename,
                     &PluginObject::path>;

bool instance_of(PyObject* obj, PyTypeObject* type) { return type != nullptr && PyObject_TypeCheck(obj, type); }

bool append_to(PyObject* list, PyObject* item) {
    if (PyList_Check(list)) return PyList_Append(list, item) == 0;
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(list, "append", "O", item)));
}

// ---------------------------------------------------------------------------------------------
// Construction

constexpr auto plugin_signature = pyutil::signature("Plugin.__init__", pyutil::Param{"id", Accept::StrOrNone, false},
                                                    pyutil::Param{"noMetaLoad", Accept::Any, false});

bool plugin_init(PyObject* self, const pyutil::Bound<2>& bound) {
    const int no_meta_load = bound.given(1) ? PyObject_IsTrue(bound[1]) : 0;
    if (no_meta_load < 0) return false;
    if (bound.given(0) && bound[0] != Py_None &&
        !pyutil::log_warning("Plugins must define the ID in the plugin.meta file. Please remove the ID parameter "
                             "from the Plugin class initialization.")) {
        return false;
    }
    Ref undefined = Ref::steal(PyUnicode_FromString("undefined"));
    Ref views = Ref::steal(PyList_New(0));
    Ref blocks = Ref::steal(PyList_New(0));
    Ref pages = Ref::steal(PyList_New(0));
    Ref configs = Ref::steal(PyList_New(0));
    if (!undefined || !views || !blocks || !pages || !configs) return false;
    auto* obj = reinterpret_cast<PluginObject*>(self);
    pyutil::assign_slot(obj->id, std::move(undefined));
    pyutil::assign_slot(obj->actions, Py_None);
    pyutil::assign_slot(obj->views, std::move(views));
    pyutil::assign_slot(obj->blocks, std::move(blocks));
    pyutil::assign_slot(obj->pages, std::move(pages));
    pyutil::assign_slot(obj->configs, std::move(configs));

    Ref script = find_plugin_script_path();
    if (!script) return false;
    if (script.get() == Py_None) {
        PyErr_SetString(PyExc_ValueError,
                        "Could not find the path of the plugin. Please check the plugin installation.");
        return false;
    }
    Ref filename = call_function("os.path", "basename", {script.get()});
    Ref folder = filename ? call_function("os.path", "dirname", {script.get()}) : Ref();
    if (!folder) return false;
    pyutil::assign_slot(obj->filename, std::move(filename));
    pyutil::assign_slot(obj->path, std::move(folder));

    if (no_meta_load) return true;
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(self, "loadPluginMeta", nullptr)));
}

PyObject* plugin_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return pyutil::vectorcall_construct(plugin_signature, type, args, nargsf, kwnames, plugin_init);
}

int plugin_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pyutil::tuple_init(plugin_signature, self, args, kwargs, plugin_init);
}

// ---------------------------------------------------------------------------------------------
// Comparison and text form: by the identifier of the loaded metadata.

Ref meta_id(PyObject* plugin) {
    Ref meta = Ref::steal(PyObject_GetAttrString(plugin, "pluginMeta"));
    return meta ? Ref::steal(PyObject_GetAttrString(meta.get(), "id")) : Ref();
}

PyObject* plugin_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) {
        // The negation of whatever __eq__ says, as the class's own __ne__ does.
        Ref equal = Ref::steal(PyObject_CallMethod(self, "__eq__", "O", other));
        if (!equal) return nullptr;
        int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    if (!instance_of(other, state->Plugin)) Py_RETURN_FALSE;
    Ref mine = meta_id(self);
    Ref theirs = mine ? meta_id(other) : Ref();
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

PyObject* plugin_str(PyObject* self) { return meta_id(self).release(); }

// ---------------------------------------------------------------------------------------------
// Block and page registries

constexpr auto get_block_signature = pyutil::signature("Plugin.getBlock", pyutil::Param{"id", Accept::Any, true});
constexpr auto get_page_signature = pyutil::signature("Plugin.getPage", pyutil::Param{"id", Accept::Any, true});
constexpr auto add_block_signature = pyutil::signature("Plugin.addBlock", pyutil::Param{"block", Accept::Any, true});
constexpr auto add_page_signature = pyutil::signature("Plugin.addPage", pyutil::Param{"page", Accept::Any, true});

PyObject* lookup(PyObject* self, const char* registry_name, PyObject* id, const char* kind) {
    Ref registry = Ref::steal(PyObject_GetAttrString(self, registry_name));
    if (!registry) return nullptr;
    Ref found = find_by_id(registry.get(), id);
    if (found) return found.release();
    if (PyErr_Occurred()) return nullptr;
    return pyutil::raise_format(PyExc_Exception, "%s %S not found.", kind, id);
}

PyObject* plugin_get_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(get_block_signature, args, nargs, kwnames, bound)) return nullptr;
    return lookup(self, "_blocks", bound[0], "Block");
}

PyObject* plugin_get_page(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(get_page_signature, args, nargs, kwnames, bound)) return nullptr;
    return lookup(self, "_pages", bound[0], "Page");
}

PyObject* plugin_get_blocks(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin.getBlocks", nargs, kwnames)) return nullptr;
    return PyObject_GetAttrString(self, "_blocks");
}

PyObject* plugin_get_pages(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin.getPages", nargs, kwnames)) return nullptr;
    return PyObject_GetAttrString(self, "_pages");
}

PyObject* plugin_blocks_property(PyObject* self, void*) { return PyObject_CallMethod(self, "getBlocks", nullptr); }

PyObject* plugin_pages_property(PyObject* self, void*) { return PyObject_CallMethod(self, "getPages", nullptr); }

// Rewrites the object's identifier into the plugin's namespace and registers it unless an
// object with that identifier is registered already. Returns 1 when registered, 0 when it was
// a duplicate, -1 on error.
int register_prefixed(PyObject* self, PyObject* obj, const char* registry_name) {
    Ref plugin_id = Ref::steal(PyObject_GetAttrString(self, "id"));
    Ref own_id = plugin_id ? Ref::steal(PyObject_GetAttrString(obj, "id")) : Ref();
    if (!own_id) return -1;
    Ref id = prefixed_id(plugin_id.get(), ".", own_id.get());
    if (!id || PyObject_SetAttrString(obj, "id", id.get()) < 0) return -1;
    Ref registry = Ref::steal(PyObject_GetAttrString(self, registry_name));
    if (!registry) return -1;
    Ref found = find_by_id(registry.get(), id.get());
    if (found) {
        if (std::string_view(registry_name) == "_blocks" &&
            !pyutil::log_warning("Block with ID '%s' already exists. Skipping.", id.get())) {
            return -1;
        }
        return 0;
    }
    if (PyErr_Occurred()) return -1;
    return append_to(registry.get(), obj) ? 1 : -1;
}

PyObject* plugin_add_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(add_block_signature, args, nargs, kwnames, bound)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    PyObject* block = bound[0];
    if (instance_of(block, state->GhostBlock)) {
        if (!pyutil::log_error("Cannot add a GhostBlock to the plugin as a block.")) return nullptr;
        Py_RETURN_NONE;
    }
    if (instance_of(block, state->PluginConfig)) {
        if (!pyutil::log_error("Cannot add a PluginConfig to the plugin as a block. Use addConfig instead of addBlock."))
            return nullptr;
        Py_RETURN_NONE;
    }
    if (!instance_of(block, state->PluginBlock)) Py_RETURN_NONE;
    if (register_prefixed(self, block, "_blocks") < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_add_page(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(add_page_signature, args, nargs, kwnames, bound)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    if (!instance_of(bound[0], state->PluginPage)) Py_RETURN_NONE;
    if (register_prefixed(self, bound[0], "_pages") < 0) return nullptr;
    Py_RETURN_NONE;
}

// The host's scans: every attribute of the plugin, in dir() order (properties are evaluated),
// is offered to addBlock or addPage, which take what they register and ignore the rest.
bool scan_attributes(PyObject* self, PyObject* method, bool log_each) {
    Ref names = Ref::steal(PyObject_Dir(self));
    if (!names) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
    if (!iterator) return false;
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        if (log_each && !pyutil::log_debug("Checking attribute %s", name.get())) return false;
        Ref value = Ref::steal(PyObject_GetAttr(self, name.get()));
        if (!value) return false;
        if (log_each &&
            !pyutil::log_debug("Attribute type: %s", reinterpret_cast<PyObject*>(Py_TYPE(value.get())))) {
            return false;
        }
        PyObject* call_args[] = {self, value.get()};
        Ref result = Ref::steal(
            PyObject_VectorcallMethod(method, call_args, 2, nullptr));
        if (!result) return false;
    }
    return !PyErr_Occurred();
}

PyObject* plugin_add_blocks(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin._addBlocks", nargs, kwnames)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr || !scan_attributes(self, state->kplugin_addBlock, true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_add_pages(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin._addPages", nargs, kwnames)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr || !scan_attributes(self, state->kplugin_addPage, false)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugin_getstate(PyObject* self, PyObject*) { return pyutil::members_getstate(self).release(); }

PyObject* plugin_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Type

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef plugin_methods[] = {
    {"loadPluginMeta", pyutil::as_method(plugin_load_meta), kFast,
     "loadPluginMeta($self, /)\n--\n\nLoads the information about the plugin from the plugin.meta file."},
    {"getBlock", pyutil::as_method(plugin_get_block), kFast, "getBlock($self, /, id)\n--\n\nReturns a block by its ID.\n\n"
     "Args:\n    id: The block's ID.\n\n"
     "Returns:\n    The declared block.\n\n"
     "Raises:\n    Exception: The plugin has no block with that ID."},
    {"getBlocks", pyutil::as_method(plugin_get_blocks), kFast,
     "getBlocks($self, /)\n--\n\nReturns a list of all the blocks in the plugin."},
    {"addBlock", pyutil::as_method(plugin_add_block), kFast, "addBlock($self, /, block)\n--\n\nAdds a PluginBlock to the plugin.\n\n"
     "Args:\n    block: The block; its ID gets the plugin's prefix when the plugin registers its blocks."},
    {"_addBlocks", pyutil::as_method(plugin_add_blocks), kFast,
     "_addBlocks($self, /)\n--\n\nRegisters every block held in an attribute of the plugin. Internal use only."},
    {"getPage", pyutil::as_method(plugin_get_page), kFast, "getPage($self, /, id)\n--\n\nReturns a page by its ID.\n\n"
     "Args:\n    id: The page's ID.\n\n"
     "Returns:\n    The page."},
    {"getPages", pyutil::as_method(plugin_get_pages), kFast,
     "getPages($self, /)\n--\n\nReturns a list of all the pages in the plugin."},
    {"addPage", pyutil::as_method(plugin_add_page), kFast, "addPage($self, /, page)\n--\n\nAdds a PluginPage to the plugin.\n\n"
     "Args:\n    page: The page; its HTML file is in the plugin's Pages folder."},
    {"_addPages", pyutil::as_method(plugin_add_pages), kFast,
     "_addPages($self, /)\n--\n\nRegisters every page held in an attribute of the plugin. Internal use only."},
    {"addConfig", pyutil::as_method(plugin_add_config), kFast,
     "addConfig($self, /, config)\n--\n\nAdds a PluginConfig to the plugin.\n\n"
     "Args:\n    config: The configuration block; its variables' values are read as block.config[\"id\"]."},
    {"_getConfig", pyutil::as_method(plugin_get_config), kFast,
     "_getConfig($self, /, id)\n--\n\nReturns a config by its ID.\n\n"
     "Values are not accurate as per-remote configuration is not implemented here"},
    {"_getConfigs", pyutil::as_method(plugin_get_configs), kFast,
     "_getConfigs($self, /)\n--\n\nReturns the list of the configuration blocks of the plugin."},
    {"_createConfig", pyutil::as_method(plugin_create_config), kFast,
     "_createConfig($self, /, configPath)\n--\n\nCreates the config file for the block."},
    {"_updateConfigs", pyutil::as_method(plugin_update_configs), kFast,
     "_updateConfigs($self, /, configPath)\n--\n\nUpdates the values of the configs of the block.\n\n"
     "From the config JSON file."},
    {"_saveConfig", pyutil::as_method(plugin_save_config), kFast,
     "_saveConfig($self, /, configPath, valuesToSave)\n--\n\nSaves the config file for the block with new values."},
    {"_configToDict", pyutil::as_method(plugin_configs_to_dict), kFast,
     "_configToDict($self, /)\n--\n\nThe block dictionaries of the configuration blocks."},
    {"__getstate__", plugin_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, for copying."},
    {"__setstate__", plugin_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nRestores copied attributes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef plugin_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"blocks", plugin_blocks_property, nullptr, "Returns a list of all the blocks in the plugin.", nullptr},
    {"pages", plugin_pages_property, nullptr, "Returns a list of all the pages in the plugin.", nullptr},
    {"config", plugin_config_property, nullptr, "A dictionary with the configs of the block", nullptr},
    {"_flows", plugin_flows_property, nullptr,
     "Returns a list of the flows contained\nin the 'flows' folder of the plugin.\n\nInternal use only.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef plugin_members[] = {
    {"id", T_OBJECT_EX, offsetof(PluginObject, id), 0, "The identifier of the plugin."},
    {"actions", T_OBJECT_EX, offsetof(PluginObject, actions), 0, "The actions of the plugin; None, kept for the host."},
    {"views", T_OBJECT_EX, offsetof(PluginObject, views), 0, "The views of the plugin; a list kept for the host."},
    {"_blocks", T_OBJECT_EX, offsetof(PluginObject, blocks), 0, "The block registry."},
    {"_pages", T_OBJECT_EX, offsetof(PluginObject, pages), 0, "The page registry."},
    {"_configs", T_OBJECT_EX, offsetof(PluginObject, configs), 0, "The configuration-block registry."},
    {"_filename", T_OBJECT_EX, offsetof(PluginObject, filename), 0, "File name of the plugin script."},
    {"_path", T_OBJECT_EX, offsetof(PluginObject, path), 0, "The plugin folder."},
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot plugin_slots[] = {
    {Py_tp_doc, const_cast<char*>("Plugin(id=None, noMetaLoad=False)\n--\n\n"
                                  "Base class for all plugins.\n\n"
                                  "Initializes the plugin.\n\n"
                                  ":param id: The id of the plugin.\n"
                                  ":param noMetaLoad: Do not load the plugin.meta file on construction.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(plugin_tp_init)},
    {Py_tp_richcompare, reinterpret_cast<void*>(plugin_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_str, reinterpret_cast<void*>(plugin_str)},
    {Py_tp_methods, plugin_methods},
    {Py_tp_getset, plugin_getset},
    {Py_tp_members, plugin_members},
    {Py_tp_traverse, reinterpret_cast<void*>(PluginFields::traverse<PluginObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(PluginFields::clear<PluginObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PluginFields::dealloc<PluginObject>)},
    {0, nullptr},
};

PyType_Spec plugin_spec = {
    "QorvelAPI.plugins.Plugin",
    sizeof(PluginObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    plugin_slots,
};

}  // namespace

bool register_plugin(PyObject* module, ModuleState& state) {
    if (!register_plugin_meta_model(module, state)) return false;
    state.Plugin = pyutil::add_type(module, &plugin_spec);
    if (state.Plugin == nullptr) return false;
    pyutil::set_type_vectorcall(state.Plugin, plugin_vectorcall);
    // Class-level values: no logo until the metadata loads one; `default` is the host's flag.
    return pyutil::set_class_attr(state.Plugin, "logo", Py_None) &&
           pyutil::set_class_attr(state.Plugin, "default", Py_False);
}

}  // namespace plugins
