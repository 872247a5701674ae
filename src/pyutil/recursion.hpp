// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope, so the interpreter's depth count is
// given back however the scope is left (a C++ exception included).
#pragma once
#include "ref.hpp"

namespace pyutil {

class RecursiveCall {
public:
    // `where` completes the RecursionError message ("maximum recursion depth exceeded<where>").
    explicit RecursiveCall(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursiveCall(const RecursiveCall&) = delete;
    RecursiveCall& operator=(const RecursiveCall&) = delete;
    ~RecursiveCall() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    // False when the limit was reached (a RecursionError is set).
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace pyutil
