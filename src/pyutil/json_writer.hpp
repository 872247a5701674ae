// A native writer of the JSON text that `json.dumps(value, indent=4)` produces (ASCII escaping,
// keys in dictionary order), written straight into one buffer.
//
// With an indent, Python's json module encodes with its pure-Python generator code, which is
// what most of the time of `str()` of a model object went to. The writer covers the values the
// model produces: exact dict, list and tuple, str (subclasses included: json writes their text),
// int and float (subclasses included: json writes them through int.__repr__ and float.__repr__),
// True, False and None. Anything where matching json byte for byte would take guessing is left
// to json itself: dict and list subclasses, keys that are not str, values with no JSON form (so
// the TypeError is json's own), and nesting deeper than the writer goes (cycles end up there too,
// and json reports them).
#pragma once
#include "recursion.hpp"
#include "ref.hpp"

#include <charconv>
#include <string>

namespace pyutil {

class JsonWriter {
public:
    enum class Outcome { Written, LeaveToJson, Failed };

    // Writes `obj` (held by the caller); Failed leaves an exception set.
    Outcome write(PyObject* obj) {
        depth_ = 0;
        out_.clear();
        out_.reserve(4096);
        return value(obj);
    }

    // The text written, as an ASCII str.
    Ref text() const {
        Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(out_.size()), 127));
        if (result) std::char_traits<char>::copy(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get())),
                                                  out_.data(), out_.size());
        return result;
    }

private:
    // json's own generator recurses about once per level; deeper values are left to it, which
    // also catches circular references with its own message.
    static constexpr int max_depth = 200;

    Outcome value(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (PyUnicode_Check(obj)) return string(obj);
        if (obj == Py_None) return literal("null");
        if (obj == Py_True) return literal("true");
        if (obj == Py_False) return literal("false");
        if (PyLong_Check(obj)) return integer(obj);
        if (PyFloat_Check(obj)) return floating(PyFloat_AS_DOUBLE(obj));
        if (type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type) return container(obj, type);
        return Outcome::LeaveToJson;
    }

    Outcome literal(const char* text) {
        out_ += text;
        return Outcome::Written;
    }

    Outcome integer(PyObject* obj) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (small == -1 && PyErr_Occurred()) return Outcome::Failed;
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, small).ptr;
            out_.append(digits, end);
            return Outcome::Written;
        }
        // int.__repr__, as json calls it: the same digits, and the same ValueError past the
        // interpreter's limit on integer string conversion.
        Ref text = Ref::steal(PyLong_Type.tp_repr(obj));
        if (!text) return Outcome::Failed;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) return Outcome::Failed;
        out_.append(utf8, static_cast<std::size_t>(size));
        return Outcome::Written;
    }

    Outcome floating(double x) {
        if (x != x) return literal("NaN");
        if (x == Py_HUGE_VAL) return literal("Infinity");
        if (x == -Py_HUGE_VAL) return literal("-Infinity");
        char* repr = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (repr == nullptr) return Outcome::Failed;
        out_ += repr;
        PyMem_Free(repr);
        return Outcome::Written;
    }

    Outcome string(PyObject* obj) {
        if (PyUnicode_READY(obj) < 0) return Outcome::Failed;
        out_ += '"';
        const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
        const int kind = PyUnicode_KIND(obj);
        const void* data = PyUnicode_DATA(obj);
        if (kind == PyUnicode_1BYTE_KIND) {
            escape_latin1(static_cast<const Py_UCS1*>(data), length);
        } else {
            for (Py_ssize_t i = 0; i < length; ++i) escape(PyUnicode_READ(kind, data, i));
        }
        out_ += '"';
        return Outcome::Written;
    }

    static bool plain(Py_UCS4 c) noexcept { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; }

    // Runs of characters that need no escape are copied at once.
    void escape_latin1(const Py_UCS1* text, Py_ssize_t length) {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (plain(text[i])) continue;
            out_.append(reinterpret_cast<const char*>(text + start), static_cast<std::size_t>(i - start));
            escape(text[i]);
            start = i + 1;
        }
        out_.append(reinterpret_cast<const char*>(text + start), static_cast<std::size_t>(length - start));
    }

    void escape(Py_UCS4 c) {
        if (plain(c)) {
            out_ += static_cast<char>(c);
            return;
        }
        switch (c) {
            case '"': out_ += "\\\""; return;
            case '\\': out_ += "\\\\"; return;
            case '\n': out_ += "\\n"; return;
            case '\r': out_ += "\\r"; return;
            case '\t': out_ += "\\t"; return;
            case '\b': out_ += "\\b"; return;
            case '\f': out_ += "\\f"; return;
            default: break;
        }
        if (c >= 0x10000) {  // astral characters as a surrogate pair
            const Py_UCS4 v = c - 0x10000;
            unicode_escape(0xd800 | ((v >> 10) & 0x3ff));
            unicode_escape(0xdc00 | (v & 0x3ff));
            return;
        }
        unicode_escape(c);
    }

    void unicode_escape(Py_UCS4 c) {
        static constexpr char hex[] = "0123456789abcdef";
        const char escaped[] = {'\\', 'u', hex[(c >> 12) & 0xf], hex[(c >> 8) & 0xf], hex[(c >> 4) & 0xf],
                                hex[c & 0xf]};
        out_.append(escaped, sizeof escaped);
    }

    void newline() {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(4 * depth_), ' ');
    }

    Outcome container(PyObject* obj, PyTypeObject* type) {
        const bool empty = type == &PyDict_Type ? PyDict_GET_SIZE(obj) == 0 : Py_SIZE(obj) == 0;
        if (empty) return literal(type == &PyDict_Type ? "{}" : "[]");
        if (depth_ >= max_depth) return Outcome::LeaveToJson;
        Outcome outcome = Outcome::LeaveToJson;
        {
            const RecursiveCall level(" while encoding a JSON object");
            if (!level) {
                PyErr_Clear();  // json itself then meets the same limit and reports it
                return Outcome::LeaveToJson;
            }
            ++depth_;
            outcome = type == &PyDict_Type ? dict(obj) : type == &PyList_Type ? list(obj) : tuple(obj);
            --depth_;
        }
        if (outcome != Outcome::Written) return outcome;
        newline();
        out_ += type == &PyDict_Type ? '}' : ']';
        return Outcome::Written;
    }

    // Writing an item can run Python code (a big integer's text is an allocation, and the GC may
    // run a finalizer): the list is read afresh at every step and each item is held meanwhile.
    Outcome list(PyObject* obj) {
        out_ += '[';
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if (i > 0) out_ += ',';
            newline();
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            const Outcome outcome = value(item.get());
            if (outcome != Outcome::Written) return outcome;
        }
        return Outcome::Written;
    }

    Outcome tuple(PyObject* obj) {
        out_ += '[';
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            if (i > 0) out_ += ',';
            newline();
            const Outcome outcome = value(PyTuple_GET_ITEM(obj, i));  // held by the tuple, which cannot change
            if (outcome != Outcome::Written) return outcome;
        }
        return Outcome::Written;
    }

    Outcome dict(PyObject* obj) {
        out_ += '{';
        Py_ssize_t pos = 0;
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        bool first = true;
        while (PyDict_Next(obj, &pos, &borrowed_key, &borrowed_value)) {
            Ref key = Ref::borrow(borrowed_key);
            Ref item = Ref::borrow(borrowed_value);
            if (!PyUnicode_Check(key.get())) return Outcome::LeaveToJson;  // json's key conversions
            if (!first) out_ += ',';
            first = false;
            newline();
            if (string(key.get()) != Outcome::Written) return Outcome::Failed;
            out_ += ": ";
            const Outcome outcome = value(item.get());
            if (outcome != Outcome::Written) return outcome;
        }
        return Outcome::Written;
    }

    std::string out_;
    int depth_ = 0;
};

}  // namespace pyutil
