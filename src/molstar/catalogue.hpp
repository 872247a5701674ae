// The catalogue of viewer operations: one entry per method of MolstarAPI that sends a viewer
// message. An entry gives the method, the message type, the parameters with their defaults and
// the keys of the message's "data"; the method table, the text signatures, the parsing of the
// arguments and the catalogue that the host and the tests read (`_messageCatalogue()`) all come
// from it. The entries and the functions that build their data are in scene.cpp.
#pragma once
#include "state.hpp"

#include "../pyutil/args.hpp"
#include "../pyutil/ref.hpp"
#include "../pyutil/types.hpp"

#include <array>
#include <span>
#include <string>
#include <utility>

namespace molstar {

inline constexpr std::size_t kMaxParams = 6;
inline constexpr std::size_t kMaxDataKeys = 5;

struct ParamList {
    std::array<pyutil::Param, kMaxParams> items{};
    std::size_t size = 0;
};

template <typename... P>
constexpr ParamList params(P... given) {
    static_assert(sizeof...(P) <= kMaxParams, "raise kMaxParams");
    return {{given...}, sizeof...(P)};
}

struct KeyList {
    std::array<const char*, kMaxDataKeys> items{};
    std::size_t size = 0;
};

template <typename... K>
constexpr KeyList data_keys(K... given) {
    static_assert(sizeof...(K) <= kMaxDataKeys, "raise kMaxDataKeys");
    return {{given...}, sizeof...(K)};
}

// Builds the values of the message's "data", in the order of the entry's data keys, from the
// bound arguments (null where one was not given). False with an exception set; every argument
// error is raised here, before the message is handed to the channel.
using DataBuilder = bool (*)(ModuleState& state, PyObject* const* args, pyutil::Ref* values);

struct Operation {
    const char* qualified_name;  // "MolstarAPI.addSphere", as the argument errors name it
    const char* type;            // the message "type", which the viewer dispatches on
    const char* action;          // the action name written to the log
    ParamList params;
    KeyList keys;
    bool replayed;               // part of the scene that the viewer replays after loading a session
    const char* doc;             // the docstring after its signature
    DataBuilder build;
};

struct CatalogueEntry {
    const Operation* operation;
    PyCFunction method;  // METH_METHOD | METH_FASTCALL | METH_KEYWORDS
};

// The entries in the order of the method table (scene.cpp).
std::span<const CatalogueEntry> catalogue();

// Parses nothing more: builds the data of `operation` from its bound arguments and sends the
// message through the object's `_emitAction` (catalogue.cpp).
PyObject* run_operation(ModuleState& state, PyObject* self, const Operation& operation, PyObject* const* args);

// The interned texts of every entry, one tuple (type, action, data keys...) each, in catalogue
// order: kept in the module state as `operation_texts`. Null with an exception set.
pyutil::Ref intern_operation_texts();

// `QorvelAPI.molstar._messageCatalogue()`: a new list of one dictionary per entry.
PyObject* message_catalogue(PyObject* module, PyObject* unused);

template <std::size_t N, std::size_t... I>
constexpr pyutil::Signature<N> signature_of(const Operation& op, std::index_sequence<I...>) {
    return pyutil::Signature<N>{op.qualified_name, {op.params.items[I]...}, true};
}

template <const Operation& Op>
constexpr pyutil::Signature<Op.params.size> operation_signature =
    signature_of<Op.params.size>(Op, std::make_index_sequence<Op.params.size>{});

// The method of one entry: its arguments bound as the entry declares them.
template <const Operation& Op>
PyObject* operation_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    constexpr auto& sig = operation_signature<Op>;
    pyutil::Bound<sig.size> bound;
    if constexpr (sig.size == 0) {
        if (!pyutil::parse_none(Op.qualified_name, nargs, kwnames)) return nullptr;
    } else if (!pyutil::parse(sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return run_operation(*state_of_class(defining_class), self, Op, bound.values.data());
}

template <const Operation& Op>
CatalogueEntry entry() {
    return {&Op, pyutil::as_method(operation_method<Op>)};
}

// The text signature and docstring of an entry, as the method table holds them.
std::string operation_doc(const Operation& operation);

}  // namespace molstar
