// Logging to the platform's logger "Qorvel" with %-style arguments passed separately, so the
// record keeps its message template and arguments exactly as a Python caller would produce.
#pragma once
#include "ref.hpp"

namespace pyutil {

// The `logging` module: taken from sys.modules when it is there (the usual case, and several
// times cheaper than a full import statement on every log line), else imported.
inline Ref import_logging() {
    Ref name = Ref::steal(PyUnicode_FromString("logging"));
    if (!name) return Ref();
    Ref loaded = Ref::steal(PyImport_GetModule(name.get()));
    if (loaded || PyErr_Occurred()) return loaded;
    return Ref::steal(PyImport_Import(name.get()));
}

// Calls `logging.getLogger(name).<level>(format, *args)`; the logger is fetched at each use.
// `args` are borrowed. Returns false with an exception set when logging itself failed.
template <typename... Args>
bool log_to(const char* logger_name, const char* level, const char* format, Args... args) {
    Ref logging = import_logging();
    if (!logging) return false;
    Ref logger = logger_name != nullptr
                     ? Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", logger_name))
                     : Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", nullptr));
    if (!logger) return false;
    Ref method = Ref::steal(PyObject_GetAttrString(logger.get(), level));
    Ref text = Ref::steal(PyUnicode_FromString(format));
    if (!method || !text) return false;
    PyObject* call_args[] = {text.get(), static_cast<PyObject*>(args)...};
    Ref result = Ref::steal(PyObject_Vectorcall(method.get(), call_args, 1 + sizeof...(Args), nullptr));
    return static_cast<bool>(result);
}

// The same call for modules that keep `logging.getLogger` and the names as str objects in their
// state: `get_logger(logger_name).<level>(format, *args)`, sparing the creation and hashing of
// four strings on every log line. The logger itself is still fetched at each use.
template <typename... Args>
bool log_with(PyObject* get_logger, PyObject* logger_name, PyObject* level, PyObject* format, Args... args) {
    Ref logger = Ref::steal(PyObject_CallOneArg(get_logger, logger_name));
    if (!logger) return false;
    PyObject* call_args[] = {logger.get(), format, static_cast<PyObject*>(args)...};
    Ref result = Ref::steal(PyObject_VectorcallMethod(level, call_args, (2 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      nullptr));
    return static_cast<bool>(result);
}

template <typename... Args>
bool log_warning(const char* format, Args... args) {
    return log_to("Qorvel", "warning", format, args...);
}

template <typename... Args>
bool log_error(const char* format, Args... args) {
    return log_to("Qorvel", "error", format, args...);
}

template <typename... Args>
bool log_debug(const char* format, Args... args) {
    return log_to("Qorvel", "debug", format, args...);
}

}  // namespace pyutil
