// The internal-failure exception and the boundary where C++ meets Python.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/pyref.hpp"

namespace brindle {

// The internal-failure class, created on first use and kept for the life of
// the process. Borrowed; null with an exception set if it cannot be created.
PyObject* internal_error_type() noexcept;

// An internal-failure exception whose single argument is `message`.
PyError internal_failure(std::string_view message) noexcept;

// An internal-failure exception for `message`, with the pending exception
// (which it takes) as its cause and that exception's text appended; an
// exception that does not derive from Exception is passed on unchanged.
PyError chained_internal_failure(std::string message);

// For a step whose failures the road taken instead meets again and reports
// its own way: false, the pending Exception dropped, when `result` failed
// with one; an exception that does not derive from Exception (Ctrl-C, an
// exit) is passed on unchanged.
Result<bool> false_on_exception(Result<bool> result);

// TypeError "'{type of obj}' object is not an instance of '{expected}'".
PyError not_instance_error(PyObject* obj, const char* expected) noexcept;

// A new exception of `type` with `message`.
PyError make_error(PyObject* type, std::string_view message) noexcept;

// Sets the pending exception for a C++ exception caught at an entry point:
// MemoryError for allocation failure, the internal failure for anything else.
void set_error_from_current_exception() noexcept;

// Runs an entry point's body. No C++ exception leaves it: one that escapes
// `body` becomes a Python exception and `on_exception` is returned.
template <class R, class F>
R guard_entry(R on_exception, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return on_exception;
    }
}

}  // namespace brindle
