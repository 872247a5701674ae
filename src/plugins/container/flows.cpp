// Preset flows: the `.flow` files of the plugin's "Flows" folder, read by the host's own flow
// type (`Server.FlowManager.Flow`) and listed for the host. The host module is imported only
// when the folder exists, so a plugin without preset flows works outside the platform.
#include "plugin.hpp"

#include "../../host/flow.hpp"
#include "../../pyutil/dict.hpp"
#include "../../pyutil/log.hpp"

namespace plugins {

using pyutil::Ref;
namespace fm = host::flow;

namespace {

// `from Server.FlowManager import Flow`
Ref import_flow_type() {
    Ref module = Ref::steal(PyImport_ImportModule(fm::module));
    if (!module) return Ref();
    Ref flow = Ref::steal(PyObject_GetAttrString(module.get(), fm::type));
    if (!flow && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", fm::type, fm::module);
    }
    return flow;
}

bool name_is_flow_file(PyObject* name) {
    Ref suffix = Ref::steal(PyUnicode_FromString(".flow"));
    return suffix && PyUnicode_Tailmatch(name, suffix.get(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

// The entry for one flow: name, path, pluginID, pluginName, savedID.
Ref flow_entry(const ModuleState& state, PyObject* self, PyObject* flow) {
    Ref name = Ref::steal(PyObject_GetAttrString(flow, fm::name));
    Ref path = name ? Ref::steal(PyObject_GetAttrString(flow, fm::path)) : Ref();
    Ref plugin_id = path ? Ref::steal(PyObject_GetAttrString(self, "id")) : Ref();
    Ref meta = plugin_id ? Ref::steal(PyObject_GetAttrString(self, "pluginMeta")) : Ref();
    Ref plugin_name = meta ? Ref::steal(PyObject_GetAttrString(meta.get(), "name")) : Ref();
    Ref saved_id = plugin_name ? Ref::steal(PyObject_GetAttrString(flow, fm::savedID)) : Ref();
    if (!saved_id) return Ref();
    return pyutil::make_dict({{state.k_name, name.get()},
                              {state.kflow_path, path.get()},
                              {state.kflow_pluginID, plugin_id.get()},
                              {state.kflow_pluginName, plugin_name.get()},
                              {state.kflow_savedID, saved_id.get()}});
}

}  // namespace

PyObject* plugin_flows_property(PyObject* self, void*) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref folder_base = Ref::steal(PyObject_GetAttrString(self, "_path"));
    if (!folder_base) return nullptr;
    Ref folder = path_join(folder_base.get(), "Flows");
    if (!folder) return nullptr;
    int exists = path_exists(folder.get());
    if (exists <= 0) return exists == 0 ? PyList_New(0) : nullptr;

    Ref flow_type = import_flow_type();
    if (!flow_type) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    Ref names = call_function("os", "listdir", {folder.get()});
    if (!result || !names) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
    if (!iterator) return nullptr;
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!name_is_flow_file(name.get())) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        Ref file = call_function("os.path", "join", {folder.get(), name.get()});
        if (!file) return nullptr;
        Ref flow = Ref::steal(PyObject_CallMethod(flow_type.get(), fm::read, "O", file.get()));
        if (!flow) {
            // A file that the host cannot read is left out; the others are still listed.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            Ref error = pyutil::fetch_exception();
            if (!pyutil::log_error("Error reading preset flow file %s: %s", file.get(), error.get())) return nullptr;
            continue;
        }
        Ref entry = flow_entry(*state, self, flow.get());
        if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

}  // namespace plugins
