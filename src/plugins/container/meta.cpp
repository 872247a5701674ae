// Plugin metadata: the pydantic model `PluginMetaModel` of the `plugin.meta` file, and
// `Plugin.loadPluginMeta`, which reads the file and the logo into the plugin.
//
// The model is a real pydantic model (the host reads `pluginMeta` as one), built at module
// initialisation by the metaclass of `pydantic.BaseModel` from annotations and defaults, which
// pydantic 1.x and 2.x both accept.
#include "plugin.hpp"

#include "../../pyutil/errors.hpp"
#include "../../pyutil/log.hpp"

namespace plugins {

using pyutil::Ref;

namespace {

constexpr const char* platform_names[] = {"universal", "linux", "macos_intel", "macos_arm"};

// typing.<form>[argument]
Ref subscript(PyObject* typing, const char* form, PyObject* argument) {
    Ref generic = Ref::steal(PyObject_GetAttrString(typing, form));
    if (!generic) return Ref();
    return Ref::steal(PyObject_GetItem(generic.get(), argument));
}

// List[Literal["universal", "linux", "macos_intel", "macos_arm"]]
Ref build_platform_type(PyObject* typing) {
    Ref names = Ref::steal(PyTuple_New(std::size(platform_names)));
    if (!names) return Ref();
    for (std::size_t i = 0; i < std::size(platform_names); ++i) {
        PyObject* name = PyUnicode_FromString(platform_names[i]);
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    Ref literal = subscript(typing, "Literal", names.get());
    if (!literal) return Ref();
    return subscript(typing, "List", literal.get());
}

struct FieldSpec {
    const char* name;
    PyObject* annotation;  // borrowed
    PyObject* default_value;  // borrowed; null: required
};

bool add_field(PyObject* annotations, PyObject* namespace_dict, const FieldSpec& field) {
    if (PyDict_SetItemString(annotations, field.name, field.annotation) < 0) return false;
    return field.default_value == nullptr || PyDict_SetItemString(namespace_dict, field.name, field.default_value) == 0;
}

Ref build_model(PyObject* platform_type) {
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    Ref pydantic = Ref::steal(PyImport_ImportModule("pydantic"));
    if (!typing || !pydantic) return Ref();
    Ref base = Ref::steal(PyObject_GetAttrString(pydantic.get(), "BaseModel"));
    if (!base) return Ref();
    PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Ref optional_str = subscript(typing.get(), "Optional", str_type);
    Ref optional_platforms = subscript(typing.get(), "Optional", platform_type);
    Ref str_list = subscript(typing.get(), "List", str_type);
    Ref optional_str_list = str_list ? subscript(typing.get(), "Optional", str_list.get()) : Ref();
    Ref universal = Ref::steal(Py_BuildValue("[s]", "universal"));
    Ref no_dependencies = Ref::steal(PyList_New(0));
    Ref annotations = Ref::steal(PyDict_New());
    Ref namespace_dict = Ref::steal(PyDict_New());
    if (!optional_str || !optional_platforms || !optional_str_list || !universal || !no_dependencies ||
        !annotations || !namespace_dict) {
        return Ref();
    }
    const FieldSpec fields[] = {
        {"id", str_type, nullptr},
        {"name", str_type, nullptr},
        {"description", str_type, nullptr},
        {"author", str_type, nullptr},
        {"version", str_type, nullptr},
        {"pluginFile", str_type, nullptr},
        {"minQorvelVersion", optional_str.get(), Py_None},
        {"maxQorvelVersion", optional_str.get(), Py_None},
        {"platforms", optional_platforms.get(), universal.get()},
        {"externalURL", optional_str.get(), Py_None},
        {"dependencies", optional_str_list.get(), no_dependencies.get()},
    };
    for (const FieldSpec& field : fields) {
        if (!add_field(annotations.get(), namespace_dict.get(), field)) return Ref();
    }
    Ref module_name = Ref::steal(PyUnicode_FromString("QorvelAPI.plugins"));
    Ref qualname = Ref::steal(PyUnicode_FromString("PluginMetaModel"));
    Ref doc = Ref::steal(PyUnicode_FromString("The metadata of a plugin"));
    if (!module_name || !qualname || !doc ||
        PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__annotations__", annotations.get()) < 0) {
        return Ref();
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return Ref();
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    return Ref::steal(PyObject_CallFunction(metaclass, "sOO", "PluginMetaModel", bases.get(), namespace_dict.get()));
}

// Validates the raw JSON text with the model, in each pydantic major version's own way:
// `model_validate_json` (2.x), `parse_raw` (1.x).
Ref parse_meta(PyObject* model, PyObject* text) {
    const char* method = PyObject_HasAttrString(model, "model_validate_json") ? "model_validate_json" : "parse_raw";
    return Ref::steal(PyObject_CallMethod(model, method, "O", text));
}

// Lower case, then every character outside [A-Za-z0-9] becomes one "_".
Ref normalise_id(PyObject* id) {
    Ref lowered = Ref::steal(PyObject_CallMethod(id, "lower", nullptr));
    if (!lowered) return Ref();
    if (!PyUnicode_Check(lowered.get())) {
        return Ref::steal(pyutil::raise_expected("str", lowered.get()));
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(lowered.get());
    Ref result = Ref::steal(PyUnicode_New(length, 127));
    if (!result) return Ref();
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(lowered.get(), i);
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        PyUnicode_WRITE(PyUnicode_1BYTE_KIND, PyUnicode_DATA(result.get()), i, keep ? ch : '_');
    }
    return result;
}

// Steps that a failure turns into "Error loading plugin.meta file (...)": read, validate,
// store, normalise the identifier, log.
bool load_meta_file(PyObject* self, PyObject* meta_path) {
    ModuleState* state = state_of(self);
    if (state == nullptr) return false;
    Ref text = read_plugin_text(meta_path, kPluginMetaLimit);
    if (!text) return false;
    Ref meta = parse_meta(reinterpret_cast<PyObject*>(state->PluginMetaModel), text.get());
    if (!meta || PyObject_SetAttrString(self, "pluginMeta", meta.get()) < 0) return false;
    Ref raw_id = Ref::steal(PyObject_GetAttrString(meta.get(), "id"));
    if (!raw_id) return false;
    Ref id = normalise_id(raw_id.get());
    if (!id || PyObject_SetAttrString(self, "id", id.get()) < 0 ||
        PyObject_SetAttrString(meta.get(), "id", id.get()) < 0) {
        return false;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(meta.get(), "name"));
    if (!name) return false;
    return pyutil::log_to(nullptr, "debug", "Assigned ID '%s' to plugin '%s'", id.get(), name.get());
}

bool load_logo(PyObject* self, PyObject* folder) {
    Ref logo_path = path_join(folder, "logo.png");
    if (!logo_path) return false;
    int exists = path_exists(logo_path.get());
    if (exists <= 0) return exists == 0;
    Ref data = read_plugin_bytes(logo_path.get(), kLogoLimit);
    if (!data) return false;
    Ref encoded = call_function("base64", "b64encode", {data.get()});
    if (!encoded) return false;
    Ref logo = Ref::steal(PyUnicode_FromFormat("data:image/png;base64,%s", PyBytes_AsString(encoded.get())));
    return logo && PyObject_SetAttrString(self, "logo", logo.get()) == 0;
}

}  // namespace

bool register_plugin_meta_model(PyObject* module, ModuleState& state) {
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return false;
    Ref platform_type = build_platform_type(typing.get());
    if (!platform_type) return false;
    Ref model = build_model(platform_type.get());
    if (!model) return false;
    if (PyModule_AddObjectRef(module, "PlatformType", platform_type.get()) < 0 ||
        PyModule_AddObjectRef(module, "PluginMetaModel", model.get()) < 0) {
        return false;
    }
    state.PluginMetaModel = reinterpret_cast<PyTypeObject*>(model.release());
    return true;
}

PyObject* plugin_load_meta(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!pyutil::parse_none("Plugin.loadPluginMeta", nargs, kwnames)) return nullptr;
    Ref folder = Ref::steal(PyObject_GetAttrString(self, "_path"));
    if (!folder) return nullptr;
    Ref meta_path = path_join(folder.get(), "plugin.meta");
    if (!meta_path) return nullptr;
    int exists = path_exists(meta_path.get());
    if (exists < 0) return nullptr;
    if (exists == 0) {
        return pyutil::raise_format(PyExc_Exception, "plugin.meta file not found at '%S'.", meta_path.get());
    }
    if (!load_meta_file(self, meta_path.get())) {
        // Interrupts and exits are not loading errors: they leave unchanged.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        Ref cause = pyutil::fetch_exception();
        pyutil::raise_format(PyExc_Exception, "Error loading plugin.meta file (%S): %S", meta_path.get(), cause.get());
        pyutil::set_cause_of_current(std::move(cause));
        return nullptr;
    }
    if (!load_logo(self, folder.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plugins
