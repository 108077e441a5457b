#include "python/decode_labels.hpp"

#include <string>
#include <string_view>

#include "python/errors.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

void add_references(PyObject* obj, Py_ssize_t n) noexcept {
    // Immortal objects (None, for one) ignore this, as they ignore Py_INCREF.
    if (n != 0) Py_SET_REFCNT(obj, Py_REFCNT(obj) + n);
}

}  // namespace

LabelTable::LabelTable(const CodeToLabel& book, PyObject* missing)
    : book_(&book), missing_(missing), strs_(book.size()), uses_(book.size(), 0) {}

void LabelTable::settle() noexcept {
    for (std::size_t code = 0; code < uses_.size(); ++code) {
        add_references(strs_[code].get(), uses_[code]);
        uses_[code] = 0;
    }
    add_references(missing_, missing_uses_);
    missing_uses_ = 0;
}

PyObject* LabelTable::take_slow(Code code) {
    if (code < strs_.size()) {
        PyRef s = PyRef::steal(new_str(book_->at(code)));
        if (!s) return nullptr;
        strs_[code] = std::move(s);
        ++uses_[code];
        return strs_[code].get();
    }
    // A code without an entry: rare, so counted directly.
    Py_INCREF(missing_);
    return missing_;
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
