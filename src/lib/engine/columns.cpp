// The column step: every column of the scan coded at once on the pool, each
// writing only its own cells of the shared matrix.
#include <cstring>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "engine/column_coding.hpp"
#include "engine/engine.hpp"
#include "engine/pool.hpp"

namespace brindle {

void ColumnScan::reset(std::size_t n_rows, std::size_t n_cols) {
    rows = n_rows;
    cols = n_cols;
    is_text.assign(n_cols, 0);
    numbers.assign(n_cols, {});
    strings.assign(n_cols, {});
}

namespace detail {
namespace {

// Bitwise copy so every NaN payload (signalling ones included) survives.
void copy_numbers(std::span<const double> numbers, CodeSink sink) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, numbers.size(), 4096), [&](const auto& range) {
        for (std::size_t r = range.begin(); r != range.end(); ++r)
            std::memcpy(&sink.base[sink.first + r * sink.stride], &numbers[r], sizeof(double));
    });
}

}  // namespace

// Cell (r, c) is written only by row r of column c's task, so the tasks
// share no memory location and need no synchronisation; the join of the
// outer loop orders every write before the caller reads the matrix.
std::vector<ColumnBooks> encode_columns_here(const ColumnScan& scan, double* matrix) {
    const std::size_t cols = scan.cols;
    std::vector<ColumnBooks> slots(cols);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
            const CodeSink sink{matrix, c, cols};
            if (scan.is_text[c]) {
                ColumnCoding coded = code_column(scan.strings[c], sink, true);
                slots[c] = ColumnBooks{c, std::move(coded.forward), std::move(coded.reverse)};
            } else {
                copy_numbers(scan.numbers[c], sink);
            }
        }
    });

    std::vector<ColumnBooks> books;
    for (std::size_t c = 0; c != cols; ++c)
        if (scan.is_text[c]) books.push_back(std::move(slots[c]));
    return books;
}

}  // namespace detail

std::vector<ColumnBooks> encode_columns(const ColumnScan& scan, const SendPtrHolder& matrix) {
    std::vector<ColumnBooks> books;
    double* base = matrix ? matrix->get() : nullptr;
    detail::run_guarded([&] { books = detail::encode_columns_here(scan, base); });
    return books;
}

}  // namespace brindle
