// Reading a pandas DataFrame column by column from each column's own array.
#pragma once

#include "python/coding_step.hpp"
#include "python/driver_result.hpp"
#include "python/shape.hpp"

namespace brindle {

// For a frame whose type is exactly pandas.DataFrame, reads every column
// where it lives (NumPy buffers, object arrays, Arrow string buffers,
// categorical codes) and codes them with `step` into `result` (taking `out`),
// with the results that reading `frame.values` gives. False, and no error, when the
// frame has to be read through `values` instead: another type, a frame so
// short that `values` costs less, a dtype read no other way, or an object
// cell whose reading runs Python code.
Result<bool> encode_frame_columns(PyObject* frame, const Shape& shape, OUT& out, DriverResult& result,
                                  CodingStep& step);

}  // namespace brindle
