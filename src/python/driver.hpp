// The encode/decode driver: reads the input and codes it.
#pragma once

#include "python/driver_result.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Reads `obj` (a NumPy array, memmap or DataFrame) and codes it. With
// `may_borrow` (the caller only reads the matrix, and runs no Python code
// before it is done), a contiguous float64 array passes through borrowed
// instead of copied.
Result<DriverResult> pyany_to_vec(PyObject* obj, bool may_borrow = false);

}  // namespace brindle
