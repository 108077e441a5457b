// One text column coded on its own.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "lib/engine/codebook.hpp"
#include "lib/engine/column_coding.hpp"

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

namespace detail {

// label_encode by any road, in the calling thread's arena: for the tests and
// the benchmark, which pick the road and the pool size.
LabelCodes label_encode_here(std::span<const std::string_view> labels, Road road = Road::hashed);

}  // namespace detail

}  // namespace brindle
