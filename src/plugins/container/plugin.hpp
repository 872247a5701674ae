// The plugin container: object layout of `Plugin` and the operations that its source files
// (plugin.cpp, meta.cpp, config.cpp, flows.cpp, path.cpp,
// files.cpp) provide to one another.
#pragma once
#include "../state.hpp"

#include "../../pyutil/args.hpp"

#include <string>
#include <string_view>

namespace plugins {

// Slots hold strong references. `pluginMeta` and `logo` live in the instance __dict__ instead:
// `pluginMeta` must not exist before the metadata loads (so that dir() and the attribute scans
// do not see it), and `Plugin.logo` read on the class must give its class-level None.
struct PluginObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* id;
    PyObject* actions;
    PyObject* views;
    PyObject* blocks;    // _blocks
    PyObject* pages;     // _pages
    PyObject* configs;   // _configs
    PyObject* filename;  // _filename
    PyObject* path;      // _path
};

// ---- Python helpers (files.cpp) ------------------------------------------------------

// `module.function(*args)`; args are borrowed.
pyutil::Ref call_function(const char* module, const char* function, std::initializer_list<PyObject*> args);
// os.path.join(a, b) with b given as text.
pyutil::Ref path_join(PyObject* folder, const char* name);
// os.path.exists(path): 1, 0, or -1 with an exception set.
int path_exists(PyObject* path);
// The whole file as text (UTF-8), as `open(path, encoding="utf-8").read()` gives it.
pyutil::Ref read_text(PyObject* path);
// A file of the plugin folder, as text (UTF-8, line ends as a text-mode read gives them) or as
// bytes. Only a regular file (or a symbolic link to one) of at most `limit` bytes is read;
// anything else fails with an OSError naming the file, and the read never blocks.
pyutil::Ref read_plugin_text(PyObject* path, std::size_t limit);
pyutil::Ref read_plugin_bytes(PyObject* path, std::size_t limit);
// The size limits of the plugin folder's files.
inline constexpr std::size_t kPluginMetaLimit = 1u << 20;  // plugin.meta: 1 MiB
inline constexpr std::size_t kLogoLimit = 16u << 20;       // logo.png: 16 MiB

// An exclusive OS lock (flock) around a read-merge-write of the configuration file at a path,
// shared by every process and thread that saves into the same folder; released on destruction.
class ConfigLock {
public:
    ConfigLock() = default;
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    ~ConfigLock();
    // False with an exception set (an interrupted wait).
    bool acquire(PyObject* path);

private:
    int fd_ = -1;
    std::string folder_;
};
// Replaces the file at `path` with `data` so that a reader (or the next run after a crash or a
// full disk) sees either the old content or the new, never a mixture or a truncated file.
bool write_file_atomically(PyObject* path, std::string_view data);
// json.dumps(obj, indent=4) written atomically as UTF-8.
bool write_json_file(PyObject* path, PyObject* obj);
// The identifier in the plugin's namespace: "<prefix><middle><own>" with spaces as "_", lower case.
pyutil::Ref prefixed_id(PyObject* prefix, const char* middle, PyObject* own);
// First object of `registry` whose `id` equals `id`: new reference, empty Ref when none (check
// PyErr_Occurred for failures).
pyutil::Ref find_by_id(PyObject* registry, PyObject* id);

// ---- Construction (path.cpp) -----------------------------------------------------------

// Absolute path of the plugin script that is constructing the plugin, from the interpreter's
// call stack; None when no frame names a file; null with an exception set on failure.
pyutil::Ref find_plugin_script_path();

// ---- Metadata (meta.cpp) -----------------------------------------------------------------

// Builds the pydantic model `PluginMetaModel` and the `PlatformType` alias into the module.
bool register_plugin_meta_model(PyObject* module, ModuleState& state);
PyObject* plugin_load_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- Configuration store (config.cpp) ----------------------------------------------------

PyObject* plugin_add_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_get_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_get_configs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_config_property(PyObject* self, void*);
PyObject* plugin_create_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_update_configs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_save_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* plugin_configs_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- Preset flows (flows.cpp) ------------------------------------------------------------

PyObject* plugin_flows_property(PyObject* self, void*);

}  // namespace plugins
