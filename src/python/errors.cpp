#include "python/errors.hpp"

#include <string>

namespace brindle {

PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = PyErr_GetRaisedException();
    }
    return PyError{PyRef::steal(exc)};
}

PyObject* internal_error_type() noexcept {
    // Process-wide and never freed: it must outlive every module object.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            internal_error_name(),
            "Raised when brindle finds one of its own invariants broken.\n\n"
            "It signals a fault in brindle or an input object that does not behave\n"
            "as its type promises, never ordinary bad input. It derives from\n"
            "BaseException so that it propagates through 'except Exception' handlers.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyError make_error(PyObject* type, std::string_view message) noexcept {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return PyError::fetch();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return PyError::fetch();
}

PyError internal_failure(std::string_view message) noexcept {
    PyObject* type = internal_error_type();
    if (type == nullptr) return PyError::fetch();
    return make_error(type, message);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        try {
            internal_failure(std::string("unexpected C++ exception: ") + e.what()).restore();
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (...) {
        internal_failure("unexpected C++ exception").restore();
    }
}

bool is_ordinary(PyObject* exc) noexcept {
    return PyErr_GivenExceptionMatches(exc, PyExc_Exception) && !PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

bool pending_is_ordinary() noexcept { return is_ordinary(PyErr_Occurred()); }

PyError chained_internal_failure(std::string message) {
    PyError cause = PyError::fetch();
    if (!is_ordinary(cause.exc.get())) return cause;
    PyRef text = PyRef::steal(PyObject_Str(cause.exc.get()));
    if (text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (data != nullptr) {
            message += ": ";
            message.append(data, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    PyError err = internal_failure(message);
    PyException_SetCause(err.exc.get(), cause.exc.release());
    return err;
}

Result<bool> false_on_exception(Result<bool> result) {
    if (result.ok()) return result;
    PyError err = result.take_error();
    if (!is_ordinary(err.exc.get())) return err;
    return false;
}

PyError not_instance_error(PyObject* obj, const char* expected) noexcept {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return PyError::fetch();
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
    return PyError::fetch();
}

}  // namespace brindle
