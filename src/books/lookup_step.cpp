#include "books/lookup_step.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "python/cell_text.hpp"
#include "python/errors.hpp"
#include "python/text_forms.hpp"

namespace brindle {
namespace {

// "column 2 ('city')" for a frame, "column 2" for an array.
std::string column_label(const OUT& out, std::size_t c) {
    std::string label = "column " + std::to_string(c);
    if (const auto* frame = std::get_if<OUT::Frame>(&out.kind); frame != nullptr && c < frame->columns.size())
        label += " ('" + frame->columns[c] + "')";
    return label;
}

PyError value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return PyError::fetch();
}

// The texts that a column of numbers takes where it was text at the fit:
// every cell its number's text as encode gives it in a column of numbers only
// (the shortest positional form), and, looked up when that finds nothing,
// its other form, the repr that str() gives a float. Stored back to back.
struct NumberTexts {
    std::string bytes;
    std::vector<std::size_t> ends;  // text i of 2 * rows: first form of row i/2, then its other form
    PagedVector<std::string_view> other;

    // Makes column c a text column of these texts, its cells label indices.
    void make(ColumnScan& scan, std::size_t c, double* matrix) {
        const std::size_t rows = scan.rows;
        ends.reserve(2 * rows);
        for (std::size_t r = 0; r != rows; ++r) {
            double value;
            std::memcpy(&value, &matrix[r * scan.row_step() + c * scan.col_step()], sizeof value);
            number_before_text(value, bytes);
            ends.push_back(bytes.size());
            append_float_repr(value, bytes);
            ends.push_back(bytes.size());
            put_label_index(&matrix[r * scan.row_step() + c * scan.col_step()], r);
        }
        PagedVector<std::string_view>& first = scan.strings[c];
        first.clear();
        first.reserve(rows);
        other.reserve(rows);
        std::size_t start = 0;
        for (std::size_t i = 0; i != ends.size(); ++i) {
            const std::string_view text(bytes.data() + start, ends[i] - start);
            (i % 2 == 0 ? first : other).push_back(text);
            start = ends[i];
        }
        scan.is_text[c] = 1;
    }
};

// The other forms of the entries a reader made from numbers in a text
// column: the shortest positional form where the entry holds another text
// (str() of a number read after the first text), else the repr of the float.
struct MarkedNumbers {
    std::string bytes;
    PagedVector<std::string_view> other;

    void make(const ColumnScan& scan, std::size_t c) {
        const PagedVector<std::string_view>& list = scan.strings[c];
        const std::vector<NumberEntry>& marked = scan.number_entries[c];
        std::vector<std::size_t> ends;
        ends.reserve(marked.size());
        std::string positional;
        for (const NumberEntry& n : marked) {
            positional.clear();
            number_before_text(n.value, positional);
            if (list[n.index] != positional)
                bytes += positional;
            else
                append_float_repr(n.value, bytes);
            ends.push_back(bytes.size());
        }
        other.assign(list.size(), std::string_view());
        std::size_t start = 0;
        for (std::size_t i = 0; i != marked.size(); ++i) {
            other[marked[i].index] = std::string_view(bytes.data() + start, ends[i] - start);
            start = ends[i];
        }
    }
};

}  // namespace

Result<bool> LookupStep::code(ColumnScan& scan, double* matrix, const OUT& out, Interrupts& interrupts,
                              std::optional<CodeBooks>&) {
    if (scan.cols != fitted_.columns) {
        return value_error("the input has " + std::to_string(scan.cols) + " columns, but the encoder was fitted on " +
                           std::to_string(fitted_.columns));
    }
    std::vector<FixedBook> books(scan.cols);
    std::vector<std::unique_ptr<NumberTexts>> numbers(scan.cols);
    std::vector<std::unique_ptr<MarkedNumbers>> marked(scan.cols);
    for (std::size_t c = 0; c != scan.cols; ++c) {
        const auto found = fitted_.books.forward_books.find(c);
        if (found == fitted_.books.forward_books.end()) {
            if (scan.is_text[c]) {
                return value_error(column_label(out, c) + " held numbers only when the encoder was fitted, but row " +
                                   std::to_string(scan.first_text[c]) + " holds a cell that is not a number");
            }
            continue;
        }
        books[c].book = &found->second;
        if (!scan.is_text[c]) {
            numbers[c] = std::make_unique<NumberTexts>();
            numbers[c]->make(scan, c, matrix);
            books[c].other_forms = &numbers[c]->other;
        } else if (c < scan.number_entries.size() && !scan.number_entries[c].empty()) {
            marked[c] = std::make_unique<MarkedNumbers>();
            marked[c]->make(scan, c);
            books[c].other_forms = &marked[c]->other;
        }
    }
    std::optional<UnknownLabel> miss;
    if (!interrupts.watching(scan.rows * scan.cols)) {
        miss = lookup_columns(scan, books, policy_, matrix);
    } else {
        bool stopped = false;
        miss = lookup_columns_until(scan, books, policy_, matrix, [&] { return interrupts.noticed(); }, stopped);
        if (stopped) return false;
    }
    if (miss) {
        const auto* frame = std::get_if<OUT::Frame>(&out.kind);
        const std::string name = frame != nullptr && miss->column < frame->columns.size() ? frame->columns[miss->column]
                                                                                           : std::string();
        return raise_unknown_(*miss, name);
    }
    return true;
}

}  // namespace brindle
