#include "labels.hpp"

#include <string>

#include "errors.hpp"

namespace brindle {
namespace {

PyObject* new_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace

LabelTable::LabelTable(const CodeToLabel& book, PyObject* missing)
    : book_(&book), missing_(missing), dense_(book.size(), nullptr), strs_(book.size()) {
    for (const auto& [code, text] : book) {
        if (code < dense_.size()) dense_[code] = &text;
    }
}

PyObject* LabelTable::make_label(Code code) {
    if (code < dense_.size()) {
        const std::string* text = dense_[code];
        PyRef s = text != nullptr ? PyRef::steal(new_str(*text)) : PyRef::borrow(missing_);
        if (!s) return nullptr;
        strs_[code] = std::move(s);
        return strs_[code].get();
    }
    // Beyond the dense range: an unknown code, or an entry of a book that is
    // not dense.
    const auto entry = book_->find(code);
    if (entry == book_->end()) return missing_;
    PyRef& slot = sparse_[code];
    if (!slot) slot = PyRef::steal(new_str(entry->second));
    return slot.get();
}

Status ColumnLabels::build(const CodeBooks& books, std::size_t width, bool require_width,
                           PyObject* missing) {
    tables_.clear();
    tables_.reserve(books.text_columns.size());  // by_column_ points into it
    by_column_.assign(width, nullptr);
    for (const std::size_t c : books.text_columns) {
        const auto book = books.reverse_books.find(c);
        if (book == books.reverse_books.end()) {
            return internal_failure("text column " + std::to_string(c) + " has no reverse code book");
        }
        if (c >= width) {
            if (!require_width) continue;
            return make_error(PyExc_ValueError,
                              "decode() input has " + std::to_string(width) +
                                  " columns, but the last encode() coded text in column " +
                                  std::to_string(c) + ", so it needs at least " + std::to_string(c + 1));
        }
        if (by_column_[c] == nullptr) by_column_[c] = &tables_.emplace_back(book->second, missing);
    }
    return Status::success();
}

}  // namespace brindle
