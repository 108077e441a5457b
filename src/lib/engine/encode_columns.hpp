// The parallel column step: every text column of a scan coded at once.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include <absl/functional/function_ref.h>

#include "lib/engine/codebook.hpp"
#include "lib/engine/column_scan.hpp"
#include "lib/engine/send_ptr.hpp"

namespace brindle {

// The books of one text column: decode reads the reverse one; the forward
// one is kept for the fitted encoder (see CodeBooks).
struct ColumnBooks {
    std::size_t column;
    LabelToCode forward;
    CodeToLabel reverse;
};

// Codes every text column of the rows x cols matrix behind `matrix` (laid out
// as scan.column_major says), replacing each label index by its label's code,
// and returns one ColumnBooks per text column in ascending column order.
// Numeric cells are left as they are. Every label index must be below
// strings[c].size(). The result does not depend on the pool size.
std::vector<ColumnBooks> encode_columns(const ColumnScan& scan, const SendPtrHolder& matrix);

// encode_columns under run_in_pool_until: nothing once asked to stop, and
// then the matrix holds label indices, codes or both.
std::optional<std::vector<ColumnBooks>> encode_columns_until(const ColumnScan& scan, const SendPtrHolder& matrix,
                                                             absl::FunctionRef<bool()> stop_requested);

namespace detail {

// encode_columns in the calling thread's arena, without the guard: for the
// tests and the benchmark, which pick the pool size.
std::vector<ColumnBooks> encode_columns_here(const ColumnScan& scan, double* matrix);

// Replaces the label index in every cell of `text_columns` by code_of[c] at
// that index; on the pool.
void write_codes(const ColumnScan& scan, std::span<const std::size_t> text_columns,
                 std::span<const PagedVector<double>> code_of, double* matrix);

}  // namespace detail

}  // namespace brindle
