// Coding by fixed books: every text column of a scan coded by looking its
// labels up in a book made earlier, with no sort and no new code.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/functional/function_ref.h>

#include "lib/engine/codebook.hpp"
#include "lib/engine/column_scan.hpp"
#include "lib/engine/paged.hpp"

namespace brindle {

// What a lookup writes where the book has no code: `missing` for the
// missing-value markers, `unknown` for a label the book lacks (nothing:
// the lookup stops and reports the first such label).
struct LookupPolicy {
    double missing;
    std::optional<double> unknown;
};

// One column's book for the lookup, and for each list entry an optional
// second text (empty list: none) looked up when the first finds nothing.
struct FixedBook {
    const LabelToCode* book = nullptr;  // null: the column is not coded
    const PagedVector<std::string_view>* other_forms = nullptr;
};

// The first cell whose label the book lacks: lowest column, then row.
struct UnknownLabel {
    std::size_t column;
    std::size_t row;
    std::string label;
};

// Codes every text column c of `scan` that books[c] gives a book by lookup,
// in place of its label indices. A marker takes policy.missing whether the
// book lists it or not. Cells of other columns are left as they are. With
// policy.unknown unset and a label the book lacks, returns it and leaves the
// matrix holding label indices and codes. The result does not depend on the
// pool size. books.size() must be scan.cols.
std::optional<UnknownLabel> lookup_columns(const ColumnScan& scan, std::span<const FixedBook> books,
                                           const LookupPolicy& policy, double* matrix);

// lookup_columns under run_in_pool_until; `stopped` is set once asked to
// stop, and then the matrix holds label indices, codes or both.
std::optional<UnknownLabel> lookup_columns_until(const ColumnScan& scan, std::span<const FixedBook> books,
                                                 const LookupPolicy& policy, double* matrix,
                                                 absl::FunctionRef<bool()> stop_requested, bool& stopped);

}  // namespace brindle
