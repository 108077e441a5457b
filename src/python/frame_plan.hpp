// Which reader reads each column of a pandas DataFrame, decided from the
// dtypes alone, before any column is touched.
//
// `values` interleaves every column into one array whose dtype depends on the
// frame's dtypes as a whole, and the scan reads that. When some column is of
// object or a pandas string dtype, `values` is an object array that holds a
// NumPy bool, integer or float column as Python bools, ints and floats (whose
// float64 is what the column's own elements convert to, read here in place)
// and every other column as its array's astype(object), which is what the
// readers read: an object column's own array, an Arrow-backed string column's
// Arrow buffers, a categorical of str categories through its codes, and for
// pandas' other dtypes the array's astype(object). Any other frame reads
// `values` (encode_object_array.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "python/arrow_text_reader.hpp"
#include "python/categorical.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_types.hpp"
#include "python/pyref.hpp"
#include "python/shape.hpp"

namespace brindle {

enum class ColumnReader {
    Numbers,      // a NumPy bool, integer or float column, read in place
    Objects,      // an object array, read by the pool scan
    ArrowText,    // Arrow string chunks
    Converted,    // a pandas extension array, read as its astype(object) by the pool scan
    Categorical,  // str categories, read from the codes
};

struct FrameColumn {
    ColumnReader reader = ColumnReader::Converted;
    PyRef dtype;
    PyRef series;
    bool str_categories = false;  // a categorical that may be read from its codes
    // What prepare_columns makes for the readers:
    PyRef array;  // Numbers and Objects: a (rows, 1) view of the column's array
    ArrowTextColumn arrow;
    std::unique_ptr<CategoricalColumn> categorical;
};

struct FramePlan {
    Pandas pandas;
    Shape shape;
    std::vector<FrameColumn> columns;
};

// The plan for an exact pandas.DataFrame of this shape, from its dtypes; or
// nothing when it is read through `values`: another type, a frame so short
// that `values` costs less, a dtype no reader reads, or a frame of NumPy
// numbers only (whose `values` is one numeric array, copied once and read in
// place, cheaper than a Series per column).
Result<std::optional<FramePlan>> plan_frame(PyObject* frame, const Shape& shape);

// Whether the number reader reads a NumPy dtype in place.
bool read_in_place(PyArray_Descr* d) noexcept;

// Takes every column's Series from the frame and makes what its reader reads:
// a (rows, 1) view of its NumPy array, its exported Arrow chunks, its
// categorical codes, or the astype(object) of an extension array, which the
// pool scan then reads as an object column. False when what pandas gives
// disagrees with the dtype it reported (the frame then goes to `values`).
Result<bool> prepare_columns(PyObject* frame, FramePlan& plan);

}  // namespace brindle
