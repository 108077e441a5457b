// The label-coding engine: pure C++, no interpreter objects.
//
// A text column is a list of labels (length-counted byte strings, NUL
// allowed) borrowed from storage the caller keeps alive. Coding a column
// gives every distinct label a code in ascending unsigned byte order, from 0
// without gaps; the missing-value markers "nan", "NaN" and "<NA>" take no code
// and their cells become the positive quiet NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/functional/function_ref.h>

#include "lib/engine/codebook.hpp"
#include "lib/engine/markers.hpp"
#include "lib/engine/paged.hpp"

namespace brindle {

// Float codes of one column (position i holds the code of label i as
// float64, or the missing NaN) and the column's forward book.
struct LabelCodes {
    std::vector<double> codes;
    LabelToCode book;
};

// Codes one column. Never fails on any content; may throw std::bad_alloc.
// Runs its nested parallel work on the process-wide pool.
LabelCodes label_encode(std::span<const std::string_view> labels);

// A non-owning handle to the base of the shared row-major result matrix.
// Pool tasks write disjoint cells through it; the matrix is owned elsewhere
// and outlives every task. Destroying the handle never frees the matrix.
class SendPtr {
public:
    explicit SendPtr(double* base) noexcept : base_(base) {}
    double* get() const noexcept { return base_; }

private:
    double* base_;
};
using SendPtrHolder = std::shared_ptr<const SendPtr>;

// The list indices of a block of rows whose text cells hold indices local to
// the block: local index j is list index head[j] for j < head.size(), and
// tail + (j - head.size()) beyond.
struct LocalIndices {
    std::size_t first_row = 0;
    std::vector<std::uint64_t> head;
    std::uint64_t tail = 0;
};

// What the column scan hands to the coding step, read-only to the workers.
// The scan has already written the matrix: a numeric column's cells hold
// their values, and a text column's cells hold, as the bits of an unsigned
// 64-bit integer, the index of their label in strings[c]. A label may be
// listed more than once; giving every row its own entry (cell r holds r) is
// the plain form, and lets cells that share one text share one entry.
// strings[c] is empty for a numeric column.
//
// A scan done block by block may instead leave indices local to each block
// of rows: then local[c] lists the blocks, the first at row 0, in ascending
// row order. local[c] is empty when column c's cells hold list indices.
struct ColumnScan {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::uint8_t> is_text;  // bytes, not vector<bool>: read by many threads
    std::vector<PagedVector<std::string_view>> strings;
    std::vector<std::vector<LocalIndices>> local;
    // The matrix is column-major instead: cell (r, c) is element c * rows + r.
    bool column_major = false;

    // Where cell (r, c) is, as element r * row_step() + c * col_step().
    std::size_t row_step() const noexcept { return column_major ? 1 : cols; }
    std::size_t col_step() const noexcept { return column_major ? rows : 1; }

    // Sizes every per-column list for `cols` columns, all numeric and empty;
    // the layout stays as it was.
    void reset(std::size_t n_rows, std::size_t n_cols);
};

// Stores a label index in a text column's cell, and reads it back.
inline void put_label_index(double* cell, std::uint64_t index) noexcept { std::memcpy(cell, &index, sizeof index); }
inline std::uint64_t label_index(const double* cell) noexcept {
    std::uint64_t index;
    std::memcpy(&index, cell, sizeof index);
    return index;
}

// The books of one text column.
struct ColumnBooks {
    std::size_t column;
    LabelToCode forward;
    CodeToLabel reverse;
};

// The parallel column step: codes every text column of the rows x cols
// matrix behind `matrix` (laid out as scan.column_major says),
// replacing each label index by its label's code, and returns one ColumnBooks
// per text column in ascending column order. Numeric cells are left as they
// are. Every label index must be below strings[c].size(). The result does not
// depend on the pool size.
std::vector<ColumnBooks> encode_columns(const ColumnScan& scan, const SendPtrHolder& matrix);

// encode_columns under run_in_pool_until: nothing once asked to stop, and
// then the matrix holds label indices, codes or both.
std::optional<std::vector<ColumnBooks>> encode_columns_until(const ColumnScan& scan, const SendPtrHolder& matrix,
                                                             absl::FunctionRef<bool()> stop_requested);

}  // namespace brindle
