// The encode/decode driver: reads the input and codes it.
#pragma once

#include "python/coding_step.hpp"
#include "python/driver_result.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Reads `obj` (a NumPy array, memmap or DataFrame) and codes it. With
// `may_borrow` (the caller only reads the matrix, and runs no Python code
// before it is done), a contiguous float64 array passes through borrowed
// instead of copied. `step` codes what the readers read.
Result<DriverResult> pyany_to_vec(PyObject* obj, bool may_borrow = false, CodingStep& step = fresh_coding());

}  // namespace brindle
