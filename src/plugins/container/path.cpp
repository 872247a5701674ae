// Finding the plugin script that constructs a Plugin, from the interpreter's call stack.
//
// The constructor is native code, so it is not a frame on the interpreter's stack: the
// innermost frame is the code that called it. That is the plugin script's module code (when the
// script runs `Plugin()`), a function of the script, or the `__init__` of a Python subclass
// defined in the script that calls `super().__init__()`. Frames of code without a source file
// (their file names are written in angle brackets, such as "<frozen importlib._bootstrap>" or
// "<string>") are skipped, so the script is found whether it was run by runpy, imported as a
// module or loaded through importlib.
#include "plugin.hpp"

namespace plugins {

using pyutil::Ref;

namespace {

Ref frame_filename(PyFrameObject* frame) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) return Ref();
    return Ref::steal(PyObject_GetAttrString(code.get(), "co_filename"));
}

bool has_source_file(PyObject* filename) {
    return PyUnicode_Check(filename) && PyUnicode_GET_LENGTH(filename) > 0 &&
           PyUnicode_READ_CHAR(filename, 0) != '<';
}

}  // namespace

Ref find_plugin_script_path() {
    // A frozen application (sys.frozen) has no script files; the innermost code is the one
    // whose location stands for the plugin.
    const bool frozen = PySys_GetObject("frozen") != nullptr;
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    Ref chosen;
    while (frame) {
        auto* current = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref filename = frame_filename(current);
        if (!filename) return Ref();
        if (frozen || has_source_file(filename.get())) {
            chosen = std::move(filename);
            break;
        }
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
    }
    if (!chosen) return Ref::borrow(Py_None);
    return call_function("os.path", "abspath", {chosen.get()});
}

}  // namespace plugins
