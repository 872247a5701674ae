// Table-driven argument parsing for METH_FASTCALL | METH_KEYWORDS methods, vectorcall
// constructors and classic tuple/dict calls (tp_init of Python subclasses).
//
// Each callable declares one static table of parameters (name, declared type); the parser binds
// positional and keyword arguments, produces CPython's usual messages for missing, repeated and
// unknown arguments, and checks declared types against the exact built-in type, producing
// "Argument '<parameter>' has incorrect type (expected <type>, got <type>)". A `str` subclass
// (an enumeration member) is refused where a `str` is declared, and a `bool` where an `int` is.
#pragma once
#include "errors.hpp"

#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace pyutil {

enum class Accept : unsigned char {
    Any,          // anything, null included
    Str,          // exact str
    StrOrNone,    // exact str or None
    List,         // exact list
    ListOrNone,   // exact list or None
    Dict,         // exact dict
    DictOrNone,   // exact dict or None
    Int,          // exact int (bool refused)
    IntOrNone,    // exact int or None
    Bool,         // bool
    Float,        // exact float
};

struct Param {
    std::string_view name;
    Accept accept = Accept::Any;
    bool required = false;
    // The default as the text signature shows it ("None", "1.0"); the callable itself applies it
    // to an argument that was not given.
    std::string_view default_text = {};
};

// `name` is the callable's qualified name as Python shows it in messages
// ("PluginVariable.__init__", "PluginBlock.setOutput"). A method's positional counts include
// `self`, as CPython counts them for methods defined in Python; a static method's do not.
template <std::size_t N>
struct Signature {
    const char* name;
    std::array<Param, N> params;
    bool counts_self = true;
    static constexpr std::size_t size = N;
};

// A method or a constructor (`__init__`).
template <typename... P>
constexpr auto signature(const char* name, P... params) {
    return Signature<sizeof...(P)>{name, {params...}, true};
}

// A static method: no `self` in the counts.
template <typename... P>
constexpr auto static_signature(const char* name, P... params) {
    return Signature<sizeof...(P)>{name, {params...}, false};
}

// The first lines of a docstring that give the callable's text signature, as the interpreter's
// argument clinic writes them: "addBox($self, /, center, sides=[1.0, 1.0, 1.0])\n--\n\n". The
// method name is the last part of the signature's qualified name; a static method has no $self.
inline std::string text_signature(std::string_view qualified_name, std::span<const Param> params,
                                  bool counts_self = true) {
    std::string text(qualified_name.substr(qualified_name.rfind('.') + 1));
    text += counts_self ? "($self, /" : "(";
    bool first = !counts_self;
    for (const Param& p : params) {
        text += first ? "" : ", ";
        first = false;
        text += p.name;
        if (!p.default_text.empty()) {
            text += '=';
            text += p.default_text;
        }
    }
    text += ")\n--\n\n";
    return text;
}

template <std::size_t N>
std::string text_signature(const Signature<N>& sig) {
    return text_signature(sig.name, sig.params, sig.counts_self);
}

// The bound arguments: borrowed references, null where the caller gave nothing.
template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> values{};
    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
    bool given(std::size_t i) const noexcept { return values[i] != nullptr; }
    // The argument, or `fallback` (borrowed) when it was not given.
    PyObject* get_or(std::size_t i, PyObject* fallback) const noexcept {
        return values[i] != nullptr ? values[i] : fallback;
    }
};

namespace detail {

inline const char* accept_name(Accept accept) noexcept {
    switch (accept) {
        case Accept::Str:
        case Accept::StrOrNone: return "str";
        case Accept::List:
        case Accept::ListOrNone: return "list";
        case Accept::Dict:
        case Accept::DictOrNone: return "dict";
        case Accept::Int:
        case Accept::IntOrNone: return "int";
        case Accept::Bool: return "bool";
        case Accept::Float: return "float";
        case Accept::Any: break;
    }
    return "object";
}

inline bool accepts(Accept accept, PyObject* value) noexcept {
    switch (accept) {
        case Accept::Any: return true;
        case Accept::Str: return PyUnicode_CheckExact(value);
        case Accept::StrOrNone: return value == Py_None || PyUnicode_CheckExact(value);
        case Accept::List: return PyList_CheckExact(value);
        case Accept::ListOrNone: return value == Py_None || PyList_CheckExact(value);
        case Accept::Dict: return PyDict_CheckExact(value);
        case Accept::DictOrNone: return value == Py_None || PyDict_CheckExact(value);
        case Accept::Int: return PyLong_CheckExact(value);
        case Accept::IntOrNone: return value == Py_None || PyLong_CheckExact(value);
        case Accept::Bool: return PyBool_Check(value);
        case Accept::Float: return PyFloat_CheckExact(value);
    }
    return false;
}

// Keyword names coming from call sites are almost always compact ASCII; compare their bytes.
inline bool name_equals(PyObject* keyword, std::string_view name) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(keyword)) {
        return static_cast<std::size_t>(PyUnicode_GET_LENGTH(keyword)) == name.size() &&
               std::memcmp(PyUnicode_DATA(keyword), name.data(), name.size()) == 0;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size)) == name;
}

template <std::size_t N>
Py_ssize_t find_param(const Signature<N>& sig, PyObject* keyword) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (name_equals(keyword, sig.params[i].name)) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

template <std::size_t N>
bool too_many_positional(const Signature<N>& sig, Py_ssize_t nargs) {
    const std::size_t self = sig.counts_self ? 1 : 0;
    std::size_t required = self;
    for (const Param& p : sig.params) required += p.required ? 1 : 0;
    const std::size_t most = N + self;
    const Py_ssize_t given = nargs + static_cast<Py_ssize_t>(self);
    if (required == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     sig.name, most, most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     sig.name, required, most, given, given == 1 ? "was" : "were");
    }
    return false;
}

// "f() missing 2 required positional arguments: 'a' and 'b'", and "'a', 'b', and 'c'" for
// three or more, as Python functions say it.
template <std::size_t N>
bool report_missing(const Signature<N>& sig, const Bound<N>& bound) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (!sig.params[i].required || bound.given(i)) continue;
        // PyUnicode_FromFormat has no "%.*s" before 3.12: copy the name to terminate it.
        const std::string name(sig.params[i].name);
        Ref quoted = Ref::steal(PyUnicode_FromFormat("'%s'", name.c_str()));
        if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return false;
    }
    Py_ssize_t count = PyList_GET_SIZE(names.get());
    Ref listed;
    if (count == 1) {
        listed = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        Ref head = Ref::steal(PyList_GetSlice(names.get(), 0, count - 1));
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!head || !comma) return false;
        Ref joined = Ref::steal(PyUnicode_Join(comma.get(), head.get()));
        if (!joined) return false;
        listed = Ref::steal(PyUnicode_FromFormat(count == 2 ? "%U and %U" : "%U, and %U", joined.get(),
                                                 PyList_GET_ITEM(names.get(), count - 1)));
    }
    if (!listed) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", sig.name, count,
                 count == 1 ? "" : "s", listed.get());
    return false;
}

template <std::size_t N>
bool bind_keyword(const Signature<N>& sig, Bound<N>& bound, PyObject* keyword, PyObject* value) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
        return false;
    }
    Py_ssize_t index = find_param(sig, keyword);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, keyword);
        return false;
    }
    if (bound.values[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.name, keyword);
        return false;
    }
    bound.values[index] = value;
    return true;
}

// How many of `nargs` positional arguments have a parameter to bind to.
template <std::size_t N>
constexpr Py_ssize_t bindable(const Signature<N>&, Py_ssize_t nargs) noexcept {
    return nargs < static_cast<Py_ssize_t>(N) ? nargs : static_cast<Py_ssize_t>(N);
}

template <std::size_t N>
bool check_bound(const Signature<N>& sig, const Bound<N>& bound) {
    // As for a Python function, every argument is bound (and missing ones reported) before any
    // declared type is checked: one pass notes the first mismatch and reports it only when
    // nothing is missing.
    std::size_t mismatch = N;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* value = bound.values[i];
        if (value == nullptr) {
            if (sig.params[i].required) return report_missing(sig, bound);
        } else if (mismatch == N && !accepts(sig.params[i].accept, value)) {
            mismatch = i;
        }
    }
    if (mismatch == N) return true;
    const std::string name(sig.params[mismatch].name);
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name.c_str(),
                 accept_name(sig.params[mismatch].accept), type_name(bound.values[mismatch]));
    return false;
}

}  // namespace detail

// Message for a declared-type mismatch found outside the parser (same text as the parser's).
inline PyObject* raise_argument_type(const char* parameter, const char* expected, PyObject* got) {
    return raise_format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", parameter,
                        expected, type_name(got));
}

// The parameters' names as interned str objects (borrowed, in the signature's order), for
// callables that the module keeps them for.
template <std::size_t N>
using InternedNames = std::array<PyObject*, N>;

// Binds a vectorcall/fastcall argument vector. Returns false with an exception set on failure.
// `interned` (optional) lets keywords be matched by identity before their text is compared.
template <std::size_t N>
bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& bound,
           const InternedNames<N>* interned = nullptr) {
    nargs = PyVectorcall_NARGS(nargs);
    // As CPython binds a call: the positional arguments that have a parameter, then the
    // keywords (whose errors come first), then the count of positional arguments.
    const Py_ssize_t positional = detail::bindable(sig, nargs);
    for (Py_ssize_t i = 0; i < positional; ++i) bound.values[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        std::size_t next = 0;  // callers mostly pass keywords in the parameters' order
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (interned != nullptr) {
                // The keyword names of the callers' code are interned, as the module's names for
                // the same words: identity finds them without reading any text.
                std::size_t i = next;
                std::size_t tried = 0;
                for (; tried < N && (*interned)[i] != keyword; ++tried) i = i + 1 < N ? i + 1 : 0;
                if (tried < N && bound.values[i] == nullptr) {
                    bound.values[i] = args[nargs + k];
                    next = i + 1 < N ? i + 1 : 0;
                    continue;
                }
            }
            // By text, and the messages for unknown and repeated keywords.
            if (!detail::bind_keyword(sig, bound, keyword, args[nargs + k])) return false;
        }
    }
    if (positional < nargs) return detail::too_many_positional(sig, nargs);
    return detail::check_bound(sig, bound);
}

// Binds a classic (tuple, dict) call, as tp_init receives it from Python subclasses.
template <std::size_t N>
bool parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Bound<N>& bound) {
    Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t positional = detail::bindable(sig, nargs);
    for (Py_ssize_t i = 0; i < positional; ++i) bound.values[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!detail::bind_keyword(sig, bound, key, value)) return false;
        }
    }
    if (positional < nargs) return detail::too_many_positional(sig, nargs);
    return detail::check_bound(sig, bound);
}

// Refuses any argument, for methods that take none but `self` (`name` qualified, as in a
// Signature).
inline bool parse_none(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    if (PyVectorcall_NARGS(nargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", name,
                     PyVectorcall_NARGS(nargs) + 1);
        return false;
    }
    return true;
}

}  // namespace pyutil
