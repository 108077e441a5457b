// The internal-failure exception and the boundary where C++ meets Python.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/pyref.hpp"

namespace brindle {

// The qualified name of the internal-failure class, "module.InternalError":
// defined by each extension module built on this layer, since each has its
// own class.
const char* internal_error_name() noexcept;

// The internal-failure class, created on first use and kept for the life of
// the process. Borrowed; null with an exception set if it cannot be created.
PyObject* internal_error_type() noexcept;

// An internal-failure exception whose single argument is `message`.
PyError internal_failure(std::string_view message) noexcept;

// Whether `exc` (an exception or an exception type) is an ordinary failure:
// an Exception other than MemoryError. Only such a failure may be read as an
// answer about the input (a cell that is no number, names that are no
// texts); an interrupt, an exit or running out of memory says nothing about
// the input, and is passed on unchanged.
bool is_ordinary(PyObject* exc) noexcept;
// The same for the pending exception; false when none is pending.
bool pending_is_ordinary() noexcept;

// An internal-failure exception for `message`, with the pending exception
// (which it takes) as its cause and that exception's text appended; an
// exception that is not ordinary is passed on unchanged.
PyError chained_internal_failure(std::string message);

// For a step whose failures the road taken instead meets again and reports
// its own way: false, the exception dropped, when `result` failed with an
// ordinary one (is_ordinary); any other (Ctrl-C, an exit, running out of
// memory, the internal failure) is passed on unchanged.
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

// An entry point whose body gives a Result<PyRef>: its new reference, or
// null with the error (or the C++ exception's) set.
template <class F>
PyObject* result_entry(F&& body) noexcept {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        Result<PyRef> done = body();
        if (!done.ok()) {
            done.take_error().restore();
            return nullptr;
        }
        return std::move(done).value().release();
    });
}

}  // namespace brindle
