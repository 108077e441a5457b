// Result building: the Python object that encode or decode returns.
#pragma once

#include "lib/engine/engine.hpp"
#include "python/matrix.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Whether result building, given the books it is passed, only reads the
// matrix and runs no Python code until it is done with it. Then, and only
// then, the driver may hand it a float64 input in place of a copy.
inline bool result_reads_in_place(const CodeBooks* books) noexcept { return books != nullptr; }

// Builds the Python result from the driver's matrix: a float64 array or
// DataFrame, or, with `books`, the labels put back. Consumes `matrix` and `out`.
Result<PyRef> arr_to_out(Matrix matrix, OUT out, const CodeBooks* books);

}  // namespace brindle
