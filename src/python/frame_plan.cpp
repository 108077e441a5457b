#include "python/frame_plan.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "python/interned.hpp"
#include "python/matrix.hpp"
#include "python/numpy_api.hpp"

namespace brindle {
namespace {

// Below a few hundred rows `values` is the cheaper road: each column costs
// tens of microseconds here (its Series, its array, an Arrow export) where
// `values` costs a fraction of a microsecond per cell. Arrow text tips the
// balance sooner, since `values` makes a new str of every such cell. Measured
// with bench/small_frames_bench.py; the cell bound keeps the Python objects
// that `values` makes few even for a short frame of very many columns.
struct SizeRule {
    std::size_t min_rows = 128;               // any frame
    std::size_t min_rows_without_arrow = 512; // a frame with no Arrow text column
    static constexpr std::size_t kMaxValuesCells = std::size_t{1} << 20;

    bool values_cheaper(const Shape& shape, std::size_t min) const noexcept {
        return shape.rows < min && shape.cols <= kMaxValuesCells / (shape.rows > 0 ? shape.rows : 1);
    }
};

// Private, for the tests: BRINDLE_FRAME_COLUMNS_MIN_ROWS, a decimal count
// read once, replaces both row bounds (0 sends every frame by its columns,
// so that small generated frames still meet this road).
const SizeRule& size_rule() {
    static const SizeRule rule = [] {
        SizeRule r;
        const char* text = std::getenv("BRINDLE_FRAME_COLUMNS_MIN_ROWS");
        if (text == nullptr) return r;
        const std::string_view s(text);
        std::size_t value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec == std::errc{} && end == s.data() + s.size() && !s.empty()) r.min_rows = r.min_rows_without_arrow = value;
        return r;
    }();
    return rule;
}

// Whether a dtype's type comes from pandas itself: astype(object) of anything
// else may run code that `values` would run differently.
Result<bool> is_pandas_dtype(PyObject* dtype) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef type_module, py::attr(reinterpret_cast<PyObject*>(Py_TYPE(dtype)), Name::module));
    if (!PyUnicode_Check(type_module.get())) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(type_module.get(), &size);
    BRINDLE_FAIL_IF(text == nullptr);
    const std::string_view module(text, static_cast<std::size_t>(size));
    return module == "pandas" || module.substr(0, 7) == "pandas.";
}

// A pandas string dtype backed by Arrow whose missing value is a float NaN
// or pd.NA, exported as an Arrow stream by this pandas: read in its buffers.
Result<bool> arrow_text(const Pandas& pandas, FrameColumn& col) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef storage, py::attr(col.dtype.get(), Name::storage));
    if (!PyUnicode_Check(storage.get()) || PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") != 0)
        return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef na, py::attr(col.dtype.get(), Name::na_value));
    if (PyFloat_CheckExact(na.get())) {
        col.arrow.na_is_float = true;
        col.arrow.na_float = PyFloat_AS_DOUBLE(na.get());
    } else if (na.get() != pandas.na.get()) {
        return false;
    }
    // pandas exports a Series this way from 3.0 on; before, its column is
    // read as astype(object).
    BRINDLE_ASSIGN_OR_RETURN(PyRef method, py::maybe_attr(pandas.series_type.get(), Name::arrow_c_stream));
    return static_cast<bool>(method);
}

// Chooses one column's reader from its dtype. False when no reader reads it;
// `object_values` is set when the column makes `values` an object array.
Result<bool> choose_reader(const Pandas& pandas, FrameColumn& col, bool& object_values) {
    PyObject* dtype = col.dtype.get();
    if (PyArray_DescrCheck(dtype)) {
        auto* d = reinterpret_cast<PyArray_Descr*>(dtype);
        if (d->type_num == NPY_OBJECT) {
            col.reader = ColumnReader::Objects;
            object_values = true;
            return true;
        }
        col.reader = ColumnReader::Numbers;
        return read_in_place(d);
    }
    BRINDLE_ASSIGN_OR_RETURN(const bool ours, is_pandas_dtype(dtype));
    if (!ours) return false;
    col.reader = ColumnReader::Converted;
    BRINDLE_ASSIGN_OR_RETURN(col.str_categories, is_str_categorical(pandas.module.get(), dtype));
    if (col.str_categories) {
        object_values = true;
        return true;
    }
    const int is_string = PyObject_IsInstance(dtype, pandas.string_dtype.get());
    BRINDLE_FAIL_IF(is_string < 0);
    if (!is_string) return true;
    object_values = true;
    BRINDLE_ASSIGN_OR_RETURN(const bool arrow, arrow_text(pandas, col));
    if (arrow) col.reader = ColumnReader::ArrowText;
    return true;
}

// Every column's dtype, in column order; nothing when pandas lists another
// number of them than the shape's.
Result<std::optional<std::vector<FrameColumn>>> column_dtypes(PyObject* frame, std::size_t cols) {
    using Out = std::optional<std::vector<FrameColumn>>;
    BRINDLE_ASSIGN_OR_RETURN(PyRef dtypes, py::attr(frame, Name::dtypes));
    BRINDLE_ASSIGN_OR_RETURN(PyRef list, py::call_method(dtypes.get(), Name::tolist));
    if (!PyList_Check(list.get()) || static_cast<std::size_t>(PyList_GET_SIZE(list.get())) != cols) return Out();
    std::vector<FrameColumn> columns(cols);
    for (std::size_t c = 0; c != cols; ++c)
        columns[c].dtype = PyRef::borrow(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(c)));
    return Out(std::move(columns));
}

}  // namespace

// The byte sizes the cell reader assumes (float16 is left to `values`: its
// NaN payloads are not carried the same way through every common dtype).
bool read_in_place(PyArray_Descr* d) noexcept {
    if (!PyArray_ISNBO(d->byteorder)) return false;
    switch (d->type_num) {
        case NPY_BOOL: case NPY_BYTE: case NPY_UBYTE: case NPY_SHORT: case NPY_USHORT: case NPY_INT:
        case NPY_UINT: case NPY_LONG: case NPY_ULONG: case NPY_LONGLONG: case NPY_ULONGLONG: case NPY_FLOAT:
        case NPY_DOUBLE:
            return true;
        default:
            return false;
    }
}

Result<std::optional<FramePlan>> plan_frame(PyObject* frame, const Shape& shape) {
    using Out = std::optional<FramePlan>;
    BRINDLE_ASSIGN_OR_RETURN(std::optional<Pandas> pandas, imported_pandas());
    if (!pandas || Py_TYPE(frame) != reinterpret_cast<PyTypeObject*>(pandas->frame_type.get())) return Out();
    // A size no memory could hold fails on the `values` road as it always has.
    if (!matrix_fits(shape.rows, shape.cols)) return Out();
    const SizeRule& rule = size_rule();
    if (rule.values_cheaper(shape, rule.min_rows)) return Out();
    BRINDLE_ASSIGN_OR_RETURN(std::optional<std::vector<FrameColumn>> columns, column_dtypes(frame, shape.cols));
    if (!columns) return Out();
    bool object_values = false;
    bool arrow = false;
    for (FrameColumn& col : *columns) {
        BRINDLE_ASSIGN_OR_RETURN(const bool chosen, choose_reader(*pandas, col, object_values));
        if (!chosen) return Out();
        arrow |= col.reader == ColumnReader::ArrowText;
    }
    if (!object_values || (!arrow && rule.values_cheaper(shape, rule.min_rows_without_arrow))) return Out();
    return Out(FramePlan{std::move(*pandas), shape, std::move(*columns)});
}

}  // namespace brindle
