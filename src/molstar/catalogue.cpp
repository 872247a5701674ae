// What every catalogue entry shares: sending its message, the interned texts of its message, its
// docstring, and the catalogue as the host and the tests read it.
#include "catalogue.hpp"
#include "operations.hpp"

#include <initializer_list>
#include <string>

namespace molstar {

using pyutil::Ref;

namespace {

std::size_t position_of(const Operation& operation) {
    const auto entries = catalogue();
    std::size_t i = 0;
    while (entries[i].operation != &operation) ++i;
    return i;
}

// A new dictionary of the entries, in order, under keys given as text.
Ref text_keyed(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    for (const auto& [key, value] : entries) {
        if (PyDict_SetItemString(dict.get(), key, value) < 0) return Ref();
    }
    return dict;
}

// A new list of new strings.
Ref text_list(const char* const* texts, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return Ref();
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* text = PyUnicode_FromString(texts[i]);
        if (text == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list;
}

// {"name": ...} for a required parameter, {"name": ..., "default": text} for the others.
Ref parameter_dict(const pyutil::Param& param) {
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(param.name.data(), static_cast<Py_ssize_t>(param.name.size())));
    if (!name) return Ref();
    if (param.default_text.empty()) return text_keyed({{"name", name.get()}});
    Ref fallback = Ref::steal(PyUnicode_FromStringAndSize(param.default_text.data(),
                                                          static_cast<Py_ssize_t>(param.default_text.size())));
    if (!fallback) return Ref();
    return text_keyed({{"name", name.get()}, {"default", fallback.get()}});
}

Ref entry_dict(const Operation& op) {
    const std::string_view qualified = op.qualified_name;
    const std::string_view method = qualified.substr(qualified.rfind('.') + 1);
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(method.data(), static_cast<Py_ssize_t>(method.size())));
    Ref type = Ref::steal(PyUnicode_FromString(op.type));
    Ref action = Ref::steal(PyUnicode_FromString(op.action));
    Ref parameters = Ref::steal(PyList_New(0));
    Ref keys = text_list(op.keys.items.data(), op.keys.size);
    if (!name || !type || !action || !parameters || !keys) return Ref();
    for (std::size_t i = 0; i < op.params.size; ++i) {
        Ref parameter = parameter_dict(op.params.items[i]);
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return Ref();
    }
    return text_keyed({{"method", name.get()},
                              {"type", type.get()},
                              {"action", action.get()},
                              {"parameters", parameters.get()},
                              {"dataKeys", keys.get()},
                              {"replayed", op.replayed ? Py_True : Py_False}});
}

}  // namespace

PyObject* run_operation(ModuleState& state, PyObject* self, const Operation& operation, PyObject* const* args) {
    Ref values[kMaxDataKeys];
    if (!operation.build(state, args, values)) return nullptr;
    // (type, action, keys...): interned once, in catalogue order.
    PyObject* texts = PyTuple_GET_ITEM(state.operation_texts, static_cast<Py_ssize_t>(position_of(operation)));
    Ref data = Ref::steal(PyDict_New());
    if (!data) return nullptr;
    for (std::size_t i = 0; i < operation.keys.size; ++i) {
        if (PyDict_SetItem(data.get(), PyTuple_GET_ITEM(texts, static_cast<Py_ssize_t>(i) + 2), values[i].get()) < 0) {
            return nullptr;
        }
    }
    return emit_message(state, self, PyTuple_GET_ITEM(texts, 1), PyTuple_GET_ITEM(texts, 0), data.get());
}

Ref intern_operation_texts() {
    const auto entries = catalogue();
    Ref all = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
    if (!all) return Ref();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Operation& op = *entries[i].operation;
        Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(op.keys.size) + 2));
        if (!texts) return Ref();
        auto put = [&](Py_ssize_t at, const char* text) {
            PyObject* interned = PyUnicode_InternFromString(text);
            if (interned != nullptr) PyTuple_SET_ITEM(texts.get(), at, interned);
            return interned != nullptr;
        };
        if (!put(0, op.type) || !put(1, op.action)) return Ref();
        for (std::size_t k = 0; k < op.keys.size; ++k) {
            if (!put(static_cast<Py_ssize_t>(k) + 2, op.keys.items[k])) return Ref();
        }
        PyTuple_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), texts.release());
    }
    return all;
}

PyObject* message_catalogue(PyObject*, PyObject*) {
    const auto entries = catalogue();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const CatalogueEntry& entry : entries) {
        Ref item = entry_dict(*entry.operation);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

std::string operation_doc(const Operation& operation) {
    return pyutil::text_signature(operation.qualified_name,
                                  std::span<const pyutil::Param>(operation.params.items.data(), operation.params.size)) +
           operation.doc;
}

}  // namespace molstar
