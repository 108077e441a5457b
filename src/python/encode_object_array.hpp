// The column path of the driver: scan, code on the pool, gather the books.
#pragma once

#include "python/driver_result.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Scans every cell of a 2-D array or DataFrame into columns, codes them on the
// pool and returns the matrix with a present CodeBooks.
Result<DriverResult> encode_object_array(PyObject* obj, OUT out);

}  // namespace brindle
