// Logging to the platform's logger "Qorvel" with %-style arguments passed separately, so the
// record keeps its message template and arguments exactly as a Python caller would produce.
#pragma once
#include "ref.hpp"

namespace pyutil {

// Calls `logging.getLogger(name).<level>(format, *args)`; the logger is fetched at each use.
// `args` are borrowed. Returns false with an exception set when logging itself failed.
template <typename... Args>
bool log_to(const char* logger_name, const char* level, const char* format, Args... args) {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
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
