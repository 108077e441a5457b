// Inputs and results of the kinds an Arrow table comes as, beside the
// driver's own: what a fitted encoder reads and builds.
#pragma once

#include "lib/engine/engine.hpp"
#include "python/coding_step.hpp"
#include "python/driver_result.hpp"
#include "python/matrix.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Reads `obj` as pyany_to_vec does, and an object that is_arrow_table takes
// through its Arrow C stream (arrow_table.hpp); `step` codes what was read.
// A table's OUT is a Frame of its column names whose `table` says which
// kind it came as.
Result<DriverResult> read_input(PyObject* obj, bool may_borrow, CodingStep& step);

// Builds the result as arr_to_out does, and for an Arrow table one of its
// kind: a polars DataFrame for polars (imported only then), the same pyarrow
// type for a pyarrow Table or RecordBatch, a 2-D NumPy array for any other
// stream. Without books every column is float64; with them the text
// columns hold their labels as str, null where the code is NaN or unknown.
Result<PyRef> build_output(Matrix matrix, OUT out, const CodeBooks* books);

}  // namespace brindle
