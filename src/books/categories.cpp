#include "books/categories.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "python/errors.hpp"

namespace brindle {
namespace {

PyError error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return PyError::fetch();
}

std::string where(std::size_t c, std::size_t i) {
    return "categories[" + std::to_string(c) + "][" + std::to_string(i) + "]";
}

// The UTF-8 bytes of every label of one column, checked.
Status read_labels(PyObject* labels, std::size_t c, std::vector<std::string>& out) {
    if (PyUnicode_Check(labels) || PyBytes_Check(labels) || PyByteArray_Check(labels)) {
        return error(PyExc_TypeError, "categories[" + std::to_string(c) +
                                          "] must be a sequence of str or None, not a single text");
    }
    if (!PySequence_Check(labels)) {
        return error(PyExc_TypeError, "categories[" + std::to_string(c) + "] must be a sequence of str or None, not " +
                                          Py_TYPE(labels)->tp_name);
    }
    PyRef seq = PyRef::steal(PySequence_Tuple(labels));
    if (!seq) return PyError::fetch();
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* label = PyTuple_GET_ITEM(seq.get(), i);  // our own tuple keeps it alive
        const std::size_t at = static_cast<std::size_t>(i);
        if (!PyUnicode_Check(label))
            return error(PyExc_TypeError, where(c, at) + " is a " + Py_TYPE(label)->tp_name + ", not a str");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(label, &size);
        if (data == nullptr) {
            PyErr_Clear();
            return error(PyExc_ValueError, where(c, at) + " holds a lone surrogate, which no input's text can hold");
        }
        const std::string_view text(data, static_cast<std::size_t>(size));
        if (is_marker(text)) {
            return error(PyExc_ValueError,
                         where(c, at) + " is '" + std::string(text) + "', a missing-value marker, which takes no code");
        }
        out.emplace_back(text);
    }
    return Status::success();
}

// The books of one column whose labels, in code order, are `labels`.
Status add_column(std::size_t c, const std::vector<std::string>& labels, CodeBooks& books) {
    absl::flat_hash_map<std::string_view, std::size_t> first_at;
    first_at.reserve(labels.size());
    for (std::size_t i = 0; i != labels.size(); ++i) {
        const auto [at, fresh] = first_at.try_emplace(labels[i], i);
        if (!fresh)
            return error(PyExc_ValueError, where(c, i) + " repeats " + where(c, at->second) + " ('" + labels[i] + "')");
    }
    std::vector<std::uint64_t> ends;
    ends.reserve(labels.size());
    std::uint64_t end = 0;
    for (const std::string& label : labels) ends.push_back(end += label.size());
    auto arena = std::make_shared<LabelArena>(std::move(ends));
    for (std::size_t i = 0; i != labels.size(); ++i) arena->fill(i, labels[i]);
    LabelToCode forward(arena, {});
    books.text_columns.push_back(c);
    books.reverse_books.emplace(c, forward.reverse());
    books.forward_books.emplace(c, std::move(forward));
    return Status::success();
}

}  // namespace

Result<FittedBooks> books_from_categories(PyObject* categories) {
    if (PyUnicode_Check(categories)) {
        return error(PyExc_TypeError, "categories must be a sequence with one entry per column, not a str");
    }
    // A tuple of our own: reading a column may run Python code (a
    // sequence's __iter__), which could change a list the caller holds.
    if (!PySequence_Check(categories)) {
        return error(PyExc_TypeError, std::string("categories must be a sequence with one entry per column, not ") +
                                          Py_TYPE(categories)->tp_name);
    }
    PyRef seq = PyRef::steal(PySequence_Tuple(categories));
    if (!seq) return PyError::fetch();
    FittedBooks fitted;
    fitted.columns = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.get()));
    for (std::size_t c = 0; c != fitted.columns; ++c) {
        PyObject* column = PyTuple_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(c));
        if (column == Py_None) continue;
        PyRef owned = PyRef::borrow(column);
        std::vector<std::string> labels;
        BRINDLE_TRY_STATUS(read_labels(owned.get(), c, labels));
        BRINDLE_TRY_STATUS(add_column(c, labels, fitted.books));
    }
    return fitted;
}

Result<PyRef> categories_of(const FittedBooks& fitted) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fitted.columns)));
    if (!list) return PyError::fetch();
    for (std::size_t c = 0; c != fitted.columns; ++c) {
        const auto found = fitted.books.reverse_books.find(c);
        if (found == fitted.books.reverse_books.end()) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), Py_NewRef(Py_None));
            continue;
        }
        const CodeToLabel& book = found->second;
        PyRef labels = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(book.size())));
        if (!labels) return PyError::fetch();
        for (std::size_t code = 0; code != book.size(); ++code) {
            const std::string_view label = book.at(code);
            PyObject* str = PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "replace");
            if (str == nullptr) return PyError::fetch();
            PyList_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(code), str);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), labels.release());
    }
    return list;
}

bool same_books(const FittedBooks& a, const FittedBooks& b) noexcept {
    if (a.columns != b.columns || a.present != b.present || a.books.text_columns != b.books.text_columns) return false;
    for (std::size_t c : a.books.text_columns) {
        const auto x = a.books.reverse_books.find(c);
        const auto y = b.books.reverse_books.find(c);
        if (x == a.books.reverse_books.end() || y == b.books.reverse_books.end() || !(x->second == y->second))
            return false;
    }
    return true;
}

}  // namespace brindle
