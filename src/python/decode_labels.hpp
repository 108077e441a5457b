// Cell values back to label objects, for decoding.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "lib/engine/engine.hpp"
#include "python/pyref.hpp"

namespace brindle {

// The code a non-NaN cell value stands for: 2^64 and above (+inf too) give
// the largest code, negative values (-inf too) give 0, everything else is
// truncated toward zero.
inline Code float_to_code(double x) noexcept {
    constexpr double kTwoPow64 = 18446744073709551616.0;
    if (x >= kTwoPow64) return std::numeric_limits<Code>::max();
    if (x < 0.0) return 0;
    return static_cast<Code>(x);
}

// One column's labels as Python str objects, each made on first use and then
// shared by every cell that holds its code. NaN cells and codes without an
// entry in the book give `missing`. The book and `missing` must outlive the
// table.
//
// NOTE: a decode stores millions of references to a few thousand shared
// objects. Rather than touch an object's header per cell, the table counts
// the uses of each label and settle() adds them to the reference counts in
// one step per label. Until then the references handed out are owed: the
// caller must settle before anything that holds them can be released.
class LabelTable {
public:
    LabelTable(const CodeToLabel& book, PyObject* missing);

    // A reference to the label object for cell value x (owed until settle()),
    // or null with the Python error set if the str cannot be made.
    PyObject* take(double x) {
        if (std::isnan(x)) {
            ++missing_uses_;
            return missing_;
        }
        const Code code = float_to_code(x);
        if (code < strs_.size()) {
            if (PyObject* s = strs_[code].get()) {
                ++uses_[code];
                return s;
            }
        }
        return take_slow(code);
    }

    // Adds the references handed out since the last call.
    void settle() noexcept;

private:
    PyObject* take_slow(Code code);

    const CodeToLabel* book_;
    PyObject* missing_;
    Py_ssize_t missing_uses_ = 0;
    // By code: the label's str once made, and the uses not yet settled.
    std::vector<PyRef> strs_;
    std::vector<Py_ssize_t> uses_;
};

// The label tables of the text columns of one decode, addressed by column.
class ColumnLabels {
public:
    // Looks up each text column's reverse book, in order. A column without a
    // book is an internal failure; a column at or beyond `width` fails with
    // ValueError when `require_width`, and is skipped otherwise (a result with
    // no rows reads no cells).
    Status build(const CodeBooks& books, std::size_t width, bool require_width, PyObject* missing);

    // The table of column c, or null for a column that keeps its numbers.
    LabelTable* at(std::size_t c) const noexcept { return c < by_column_.size() ? by_column_[c] : nullptr; }

    // Settles every table (see LabelTable).
    void settle() noexcept {
        for (LabelTable& table : tables_) table.settle();
    }

private:
    std::vector<LabelTable> tables_;
    std::vector<LabelTable*> by_column_;
};

}  // namespace brindle
