// Attribute and method access through the interned names, as results.
#pragma once

#include "python/interned.hpp"
#include "python/pyref.hpp"

namespace brindle {

// obj.<name>.
inline Result<PyRef> attr(PyObject* obj, Name name) {
    PyRef out = PyRef::steal(get_attr(obj, name));
    BRINDLE_FAIL_IF(!out);
    return out;
}

// obj.<name>, or null (and no error) when obj has no such attribute.
inline Result<PyRef> maybe_attr(PyObject* obj, Name name) {
    PyRef out = PyRef::steal(get_attr(obj, name));
    if (!out) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
        PyErr_Clear();
    }
    return out;
}

// obj.<name>().
inline Result<PyRef> call_method(PyObject* obj, Name name) {
    PyObject* n = interned(name);
    BRINDLE_FAIL_IF(n == nullptr);
    PyRef out = PyRef::steal(PyObject_CallMethodNoArgs(obj, n));
    BRINDLE_FAIL_IF(!out);
    return out;
}

}  // namespace brindle
