// The column step: every column of the scan coded at once on the pool, each
// writing only its own cells of the shared matrix.
#include <algorithm>
#include <cstring>
#include <optional>

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

// Rows per block of the write pass: every column's cells of a block sit in
// few enough cache lines to stay cached until the block is done.
constexpr std::size_t kBlockRows = 256;

}  // namespace

// Two passes. First every text column is coded (books built, each row's code
// known) in parallel across columns; then the matrix is filled block of rows
// by block of rows, all columns at once.
//
// NOTE: writing a whole column at a time would touch one cache line per
// cell, and each line again for every column; by blocks every line is
// fetched and written back once. With 8 columns that cuts the memory traffic
// of the write about eightfold, which is what lets two threads scale.
//
// Cell (r, c) is written only by the block holding row r, at its column c,
// (or, for a column coded by sorting, by that column's own task), so no two
// tasks share a memory location and none needs synchronisation; the join of
// each loop orders every write before the caller reads the matrix.
std::vector<ColumnBooks> encode_columns_here(const ColumnScan& scan, double* matrix) {
    const std::size_t cols = scan.cols;
    std::vector<ColumnBooks> slots(cols);
    std::vector<std::optional<PendingRows>> pending(cols);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
            if (!scan.is_text[c]) continue;
            ColumnCoding coded = code_column(scan.strings[c], CodeSink{matrix, c, cols}, true, Road::hashed, true);
            slots[c] = ColumnBooks{c, std::move(coded.forward), std::move(coded.reverse)};
            pending[c] = std::move(coded.pending);
        }
    });

    std::size_t rows = 0;
    for (std::size_t c = 0; c != cols; ++c)
        rows = std::max(rows, scan.is_text[c] ? scan.strings[c].size() : scan.numbers[c].size());
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, kBlockRows), [&](const auto& range) {
        for (std::size_t begin = range.begin(); begin < range.end(); begin += kBlockRows) {
            const std::size_t end = std::min(range.end(), begin + kBlockRows);
            for (std::size_t c = 0; c != cols; ++c) {
                const CodeSink sink{matrix, c, cols};
                if (scan.is_text[c]) {
                    if (pending[c]) pending[c]->write(begin, end, sink);
                    continue;
                }
                // Bitwise copy, so every NaN payload (signalling ones too) survives.
                const std::vector<double>& numbers = scan.numbers[c];
                for (std::size_t r = begin; r < end && r < numbers.size(); ++r)
                    std::memcpy(&matrix[c + r * cols], &numbers[r], sizeof(double));
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
