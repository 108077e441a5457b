// Owned Python references and error values.
//
// PyRef owns exactly one strong reference. It converts to PyObject* only
// through get() (borrow) or release() (hand ownership to the caller), so an
// accidental Py_DECREF(ref) does not compile. A raw PyObject* anywhere else in
// this code is borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>

namespace brindle {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    // Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit PyRef(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// A raised Python exception carried as a value up the C++ stack and restored
// at the entry point.
struct PyError {
    PyRef exc;

    // Takes the pending exception; a SystemError if none is set, so an error
    // value is never empty.
    static PyError fetch() noexcept;
    // Sets it again as the pending exception.
    void restore() && noexcept { PyErr_SetRaisedException(exc.release()); }
};

// Either a value or the Python exception that stopped its computation.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    Result(PyError err) : error_(std::move(err)) {}  // NOLINT

    bool ok() const noexcept { return value_.has_value(); }
    T& value() & noexcept { return *value_; }
    T&& value() && noexcept { return std::move(*value_); }
    PyError take_error() noexcept { return std::move(error_); }

private:
    std::optional<T> value_;
    PyError error_;
};

// Result<void>.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(PyError err) noexcept : error_(std::move(err)), failed_(true) {}  // NOLINT
    static Status success() noexcept { return Status(); }
    bool ok() const noexcept { return !failed_; }
    PyError take_error() noexcept { return std::move(error_); }

private:
    PyError error_;
    bool failed_ = false;
};

// Returns the pending Python exception from the enclosing function when `cond`.
#define BRINDLE_FAIL_IF(cond)                    \
    do {                                         \
        if (cond) return ::brindle::PyError::fetch(); \
    } while (0)

// Evaluates a Result/Status expression and passes its error on unchanged.
#define BRINDLE_CONCAT_INNER(a, b) a##b
#define BRINDLE_CONCAT(a, b) BRINDLE_CONCAT_INNER(a, b)
#define BRINDLE_TRY_STATUS(expr)                         \
    do {                                                 \
        auto brindle_status_ = (expr);                   \
        if (!brindle_status_.ok()) return brindle_status_.take_error(); \
    } while (0)
#define BRINDLE_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
    auto tmp = (expr);                                \
    if (!tmp.ok()) return tmp.take_error();           \
    lhs = std::move(tmp).value()
#define BRINDLE_ASSIGN_OR_RETURN(lhs, expr) \
    BRINDLE_ASSIGN_OR_RETURN_IMPL(BRINDLE_CONCAT(brindle_result_, __LINE__), lhs, expr)

}  // namespace brindle
