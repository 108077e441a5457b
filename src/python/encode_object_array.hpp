// The column path of the driver: scan, code on the pool, gather the books.
#pragma once

#include <optional>

#include "lib/engine/engine.hpp"
#include "python/driver_result.hpp"
#include "python/interrupts.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Codes every column of `scan` on the pool into `matrix` and gathers the
// books; nothing when a Ctrl-C stopped it (interrupts.noticed()).
std::optional<CodeBooks> code_columns(const ColumnScan& scan, double* matrix, Interrupts& interrupts);

// Scans every cell of a 2-D array or DataFrame into columns, codes them on the
// pool and returns the matrix with a present CodeBooks.
Result<DriverResult> encode_object_array(PyObject* obj, OUT out);

}  // namespace brindle
