// What a scan of the input leaves for the coding step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "lib/engine/paged.hpp"

namespace brindle {

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
// A list entry of a text column made from a number, and that number's value.
struct NumberEntry {
    std::uint64_t index;
    double value;
};

struct ColumnScan {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::uint8_t> is_text;  // bytes, not vector<bool>: read by many threads
    std::vector<PagedVector<std::string_view>> strings;
    std::vector<std::vector<LocalIndices>> local;
    // Per text column, set by a reader that wrote the plain form: cell r
    // holds r, so entry r's code is row r's, and the coding step may write
    // codes straight into the column's cells.
    std::vector<std::uint8_t> plain;
    // Per text column, the row of its first cell that is not a number (a
    // missing text counts); 0 where no reader says.
    std::vector<std::size_t> first_text;
    // The matrix is column-major instead: cell (r, c) is element c * rows + r.
    bool column_major = false;
    // Set before the read by a coding step that looks numbers up by their
    // other text form too; readers then list, per text column, the entries
    // they made from numbers (not every reader does: a column without them
    // is looked up by its texts alone). reset() leaves it as it is.
    bool mark_numbers = false;
    std::vector<std::vector<NumberEntry>> number_entries;

    // Where cell (r, c) is, as element r * row_step() + c * col_step().
    std::size_t row_step() const noexcept { return column_major ? 1 : cols; }
    std::size_t col_step() const noexcept { return column_major ? rows : 1; }

    // Sizes every per-column list for `cols` columns, all numeric and empty;
    // the layout stays as it was.
    void reset(std::size_t n_rows, std::size_t n_cols) {
        rows = n_rows;
        cols = n_cols;
        is_text.assign(n_cols, 0);
        strings.assign(n_cols, {});
        local.assign(n_cols, {});
        plain.assign(n_cols, 0);
        first_text.assign(n_cols, 0);
        number_entries.assign(mark_numbers ? n_cols : 0, {});
    }

    // Notes that entry `index` of column c was made from `value`, when asked to.
    void mark_number(std::size_t c, std::uint64_t index, double value) {
        if (mark_numbers) number_entries[c].push_back({index, value});
    }
};

// Stores a label index in a text column's cell, and reads it back.
inline void put_label_index(double* cell, std::uint64_t index) noexcept { std::memcpy(cell, &index, sizeof index); }
inline std::uint64_t label_index(const double* cell) noexcept {
    std::uint64_t index;
    std::memcpy(&index, cell, sizeof index);
    return index;
}

// The index in scan.strings[c] that text cell (r, c) of `matrix` stands for,
// after the scan and before any coding.
inline std::uint64_t list_index_at(const ColumnScan& scan, std::size_t r, std::size_t c, const double* matrix) {
    const std::uint64_t j = label_index(&matrix[r * scan.row_step() + c * scan.col_step()]);
    const std::vector<LocalIndices>& blocks = scan.local[c];
    if (blocks.empty()) return j;
    const auto after = std::upper_bound(blocks.begin(), blocks.end(), r,
                                        [](std::size_t row, const LocalIndices& x) { return row < x.first_row; });
    const LocalIndices& mine = *(after - 1);
    return j < mine.head.size() ? mine.head[j] : mine.tail + (j - mine.head.size());
}

}  // namespace brindle
