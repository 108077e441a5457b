// The column step: every column of the scan coded at once on the pool, each
// writing only its own cells of the shared matrix.
#include "lib/engine/encode_columns.hpp"

#include <algorithm>
#include <optional>
#include <span>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/pool.hpp"

namespace brindle {
namespace detail {
namespace {

// Rows per block of the write pass: every column's cells of a block sit in
// few enough cache lines to stay cached until the block is done.
constexpr std::size_t kBlockRows = 256;

}  // namespace

// Rewrites the cells of `text_columns`, block of rows by block of rows, each
// label index replaced by code_of[c] at that index.
//
// NOTE: rewriting a whole column at a time would touch one cache line per
// cell, and each line again for every column; by blocks every line is
// fetched and written back once. With 8 columns that cuts the memory traffic
// of the pass about eightfold, which is what lets two threads scale.
//
// Cell (r, c) is read and written only by the block holding row r, so no two
// tasks share a memory location and none needs synchronisation; the join of
// the loop orders every write before the caller reads the matrix.
void write_codes(const ColumnScan& scan, std::span<const std::size_t> text_columns,
                 std::span<const PagedVector<double>> code_of, double* matrix) {
    if (text_columns.empty()) return;
    // Per text column, its blocks of local indices; a column whose cells
    // hold list indices is one block whose indices all go to the tail at 0.
    static const LocalIndices kListIndices{};
    std::vector<std::span<const LocalIndices>> blocks(scan.cols);
    for (std::size_t c : text_columns) {
        blocks[c] = scan.local[c].empty() ? std::span<const LocalIndices>(&kListIndices, 1)
                                          : std::span<const LocalIndices>(scan.local[c]);
    }
    const std::size_t row_step = scan.row_step();
    const std::size_t col_step = scan.col_step();
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, scan.rows, kBlockRows), [&](const auto& range) {
        for (std::size_t begin = range.begin(); begin < range.end(); begin += kBlockRows) {
            const std::size_t end = std::min(range.end(), begin + kBlockRows);
            for (std::size_t c : text_columns) {
                const std::span<const LocalIndices> mine = blocks[c];
                const double* code = code_of[c].data();
                // The last block starting at or before `begin`.
                std::size_t b = static_cast<std::size_t>(
                    std::upper_bound(mine.begin(), mine.end(), begin,
                                     [](std::size_t row, const LocalIndices& x) { return row < x.first_row; }) -
                    mine.begin() - 1);
                for (std::size_t r = begin; r < end; ++b) {
                    const std::size_t stop = b + 1 < mine.size() ? std::min(end, mine[b + 1].first_row) : end;
                    const std::uint64_t* head = mine[b].head.data();
                    const std::uint64_t head_size = mine[b].head.size();
                    const std::uint64_t tail = mine[b].tail;
                    for (; r < stop; ++r) {
                        double* cell = &matrix[r * row_step + c * col_step];
                        const std::uint64_t j = label_index(cell);
                        *cell = code[j < head_size ? head[j] : tail + (j - head_size)];
                    }
                }
            }
        }
    });
}

// Two passes. First every text column's listed labels are coded (books
// built, each list entry's code known) in parallel across columns; then the
// matrix is rewritten, all columns at once (write_codes).
//
// A column in the plain form whose cells lie side by side is coded straight
// into them: its entries' codes are its cells', so it needs neither a code
// per entry (8 bytes a row beside the matrix) nor the rewrite.
std::vector<ColumnBooks> encode_columns_here(const ColumnScan& scan, double* matrix) {
    const std::size_t cols = scan.cols;
    const auto in_place = [&](std::size_t c) {
        return matrix != nullptr && c < scan.plain.size() && scan.plain[c] && scan.local[c].empty() &&
               scan.strings[c].size() == scan.rows && (scan.row_step() == 1 || scan.rows <= 1);
    };
    std::vector<ColumnBooks> slots(cols);
    std::vector<PagedVector<double>> code_of(cols);  // per text column: list entry -> code
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
            if (!scan.is_text[c]) continue;
            double* codes = nullptr;
            if (in_place(c)) {
                codes = matrix + c * scan.col_step();
            } else {
                code_of[c].resize(scan.strings[c].size());
                codes = code_of[c].data();
            }
            ColumnCoding coded = code_column(scan.strings[c], codes, true);
            slots[c] = ColumnBooks{c, std::move(coded.forward), std::move(coded.reverse)};
        }
    });
    // The second pass reads every text column's codes.
    stop_point();

    std::vector<std::size_t> text_columns;
    for (std::size_t c = 0; c != cols; ++c)
        if (scan.is_text[c] && !in_place(c)) text_columns.push_back(c);
    write_codes(scan, text_columns, code_of, matrix);
    stop_point();

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

std::optional<std::vector<ColumnBooks>> encode_columns_until(const ColumnScan& scan, const SendPtrHolder& matrix,
                                                             absl::FunctionRef<bool()> stop_requested) {
    std::vector<ColumnBooks> books;
    double* base = matrix ? matrix->get() : nullptr;
    if (detail::run_guarded_until([&] { books = detail::encode_columns_here(scan, base); }, stop_requested))
        return std::nullopt;
    return books;
}

}  // namespace brindle
