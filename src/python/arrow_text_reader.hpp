// Arrow text read in its buffers: a pandas string column backed by Arrow.
//
// `values` gives a valid element as the str of its UTF-8 bytes and a missing
// one as the dtype's na_value: a float NaN (a number until the column's first
// valid element, str(nan) after it) or pd.NA ("<NA>"). A column of missing
// float NaNs only is numeric there, and so here.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/engine/engine.hpp"
#include "python/arrow_c.hpp"

namespace brindle {

struct ArrowTextColumn {
    ArrowChunks chunks;
    // A missing element is a float NaN with these bits, or else pd.NA.
    bool na_is_float = false;
    double na_float = 0.0;
};

// Runs on a worker, inside a pool job; reads plain memory only. Writes every
// row's reference into `list` to out[0 .. rows), where the column's texts go,
// each distinct text once while that pays; sets is_text unless the column is
// numeric, and first_text to the row of its first text. `list` views the
// chunks' buffers. True when it wrote the plain form (row r's text is entry r).
bool read_arrow_column(const ArrowTextColumn& col, std::uint8_t& is_text, std::size_t& first_text,
                       PagedVector<std::string_view>& list, double* out);

}  // namespace brindle
