// Column names: str labels as they are, or integer labels as decimal text.
#include "python/column_names.hpp"

#include <algorithm>

#include "python/errors.hpp"
#include "python/interned.hpp"

namespace brindle {
namespace {

// First attempt: a non-str sequence of str.
Result<std::vector<std::string>> names_as_texts(PyObject* columns) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) {
        return make_error(PyExc_TypeError, "column names are not a sequence of str");
    }
    std::vector<std::string> names;
    // Only a hint: `__len__` may say anything, so an error is ignored and the
    // reservation capped; the list grows as the names come.
    constexpr Py_ssize_t kMaxReserve = 1 << 12;
    const Py_ssize_t hint = PyObject_LengthHint(columns, 0);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        names.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(columns));
    BRINDLE_FAIL_IF(!iter);
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) return make_error(PyExc_TypeError, "column name is not a str");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item.get(), &size);
        BRINDLE_FAIL_IF(data == nullptr);
        names.emplace_back(data, static_cast<std::size_t>(size));
    }
    BRINDLE_FAIL_IF(PyErr_Occurred());
    return names;
}

// Second attempt: columns.tolist() as signed 64-bit integers in decimal.
Result<std::vector<std::string>> names_as_integers(PyObject* columns) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef list, py::call_method(columns, Name::tolist));
    if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
        return make_error(PyExc_TypeError, "columns.tolist() did not return a sequence");
    }
    std::vector<std::string> names;
    PyRef iter = PyRef::steal(PyObject_GetIter(list.get()));
    BRINDLE_FAIL_IF(!iter);
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        const long long value = PyLong_AsLongLong(item.get());
        BRINDLE_FAIL_IF(value == -1 && PyErr_Occurred());
        names.push_back(std::to_string(value));
    }
    BRINDLE_FAIL_IF(PyErr_Occurred());
    return names;
}

}  // namespace

Result<std::vector<std::string>> read_column_names(PyObject* frame) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef columns, py::attr(frame, Name::columns));
    Result<std::vector<std::string>> texts = names_as_texts(columns.get());
    if (texts.ok()) return texts;
    PyError refused = texts.take_error();
    // An ordinary exception means "not texts", and the integer attempt
    // decides; any other is passed on.
    if (!is_ordinary(refused.exc.get())) return refused;
    return names_as_integers(columns.get());
}

}  // namespace brindle
