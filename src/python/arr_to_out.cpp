// Result building: the matrix becomes a float64 array or DataFrame, and for
// decode the stored books put labels back in place of codes.
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/arr_to_out.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"
#include "python/interrupts.hpp"
#include "python/decode_labels.hpp"
#include "python/matrix.hpp"
#include "python/numpy_api.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

Result<PyRef> new_object_array(int ndim, const npy_intp* dims, bool fortran) {
    // Object arrays start zero-filled (null items), which NumPy releases
    // safely, so a half-filled array can be dropped on any failure.
    PyObject* array = PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), NPY_OBJECT, nullptr,
                                  nullptr, 0, fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr);
    BRINDLE_FAIL_IF(array == nullptr);
    return PyRef::steal(array);
}

PyObject** object_items(const PyRef& array) noexcept {
    return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Stores a reference to the object for cell value x: its label in a text
// column (owed until the table settles), a new Python float elsewhere (what a
// cast to object dtype makes).
inline bool put_cell(PyObject** slot, double x, LabelTable* table) {
    PyObject* item = table != nullptr ? table->take(x) : PyFloat_FromDouble(x);
    if (item == nullptr) return false;
    *slot = item;
    return true;
}

// Settles the tables when it goes out of scope. Declared after the arrays that
// hold the labels, so that it runs first on every path.
class SettleLabels {
public:
    explicit SettleLabels(ColumnLabels& labels) noexcept : labels_(labels) {}
    SettleLabels(const SettleLabels&) = delete;
    SettleLabels& operator=(const SettleLabels&) = delete;
    ~SettleLabels() { labels_.settle(); }

private:
    ColumnLabels& labels_;
};

// Cells stored between two looks for a Ctrl-C. Storing labels runs no
// Python code, so a Ctrl-C is only noticed, and the half-built result is
// dropped before its handler runs (see Interrupts).
constexpr std::size_t kCellsPerLook = std::size_t{1} << 16;

// Whether a Ctrl-C stops the result being built, once per kCellsPerLook
// cells of a large one.
class Looks {
public:
    Looks(Interrupts& interrupts, const Matrix& m) noexcept
        : interrupts_(interrupts), watching_(interrupts.watching(m.rows * m.cols)) {}
    bool stop(std::size_t cells) {
        if (!watching_) return false;
        since_ += cells;
        if (since_ < kCellsPerLook) return false;
        since_ = 0;
        return interrupts_.noticed();
    }

private:
    Interrupts& interrupts_;
    bool watching_;
    std::size_t since_ = 0;
};

// Object array of the matrix's shape and memory order: str labels in the text
// columns ("NaN" for NaN and unknown codes), Python floats elsewhere. The
// array is filled in memory order, so matrix reads and item writes both run
// sequentially. Null when a Ctrl-C stopped it.
Result<PyRef> decode_array(const Matrix& m, const CodeBooks& books, Interrupts& interrupts) {
    BRINDLE_TRY_STATUS(ensure_numpy());
    PyRef nan_label = PyRef::steal(PyUnicode_FromStringAndSize("NaN", 3));
    BRINDLE_FAIL_IF(!nan_label);
    ColumnLabels labels;
    BRINDLE_TRY_STATUS(labels.build(books, m.cols, /*require_width=*/m.rows > 0, nan_label.get()));

    const npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    BRINDLE_ASSIGN_OR_RETURN(PyRef out, new_object_array(2, dims, m.fortran));
    const SettleLabels settle(labels);
    PyObject** items = object_items(out);
    const double* values = m.data();
    Looks looks(interrupts, m);
    if (m.fortran) {
        for (std::size_t c = 0; c < m.cols; ++c) {
            LabelTable* table = labels.at(c);
            const std::size_t base = c * m.rows;
            for (std::size_t r0 = 0; r0 < m.rows; r0 += kCellsPerLook) {
                const std::size_t r1 = std::min(m.rows, r0 + kCellsPerLook);
                for (std::size_t r = r0; r < r1; ++r) {
                    BRINDLE_FAIL_IF(!put_cell(items + base + r, values[base + r], table));
                }
                if (looks.stop(r1 - r0)) return PyRef();
            }
        }
    } else {
        for (std::size_t r = 0; r < m.rows; ++r) {
            const std::size_t base = r * m.cols;
            for (std::size_t c = 0; c < m.cols; ++c) {
                BRINDLE_FAIL_IF(!put_cell(items + base + c, values[base + c], labels.at(c)));
            }
            if (looks.stop(m.cols)) return PyRef();
        }
    }
    return out;
}

Result<PyRef> name_list(const std::vector<std::string>& names) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    BRINDLE_FAIL_IF(!list);
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = new_str(names[i]);
        BRINDLE_FAIL_IF(name == nullptr);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list;
}

// One object column per text column: str labels, None for NaN and unknown
// codes. Filled column by column, which reads a frame's column-major matrix
// sequentially. Empty when a Ctrl-C stopped it.
Result<std::optional<std::vector<std::pair<std::size_t, PyRef>>>> label_columns(const Matrix& m, ColumnLabels& labels,
                                                                                 Interrupts& interrupts) {
    std::vector<std::pair<std::size_t, PyRef>> columns;
    const SettleLabels settle(labels);
    std::vector<std::pair<std::size_t, LabelTable*>> tables;
    const npy_intp dims[1] = {static_cast<npy_intp>(m.rows)};
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (LabelTable* table = labels.at(c)) {
            BRINDLE_ASSIGN_OR_RETURN(PyRef column, new_object_array(1, dims, false));
            columns.emplace_back(c, std::move(column));
            tables.emplace_back(c, table);
        }
    }
    std::vector<PyObject**> items;
    items.reserve(columns.size());
    for (const auto& column : columns) items.push_back(object_items(column.second));
    Looks looks(interrupts, m);
    const std::size_t row_step = m.fortran ? 1 : m.cols;
    const std::size_t col_step = m.fortran ? m.rows : 1;
    for (std::size_t j = 0; j < tables.size(); ++j) {
        const double* column = m.data() + tables[j].first * col_step;
        LabelTable* table = tables[j].second;
        for (std::size_t r0 = 0; r0 < m.rows; r0 += kCellsPerLook) {
            const std::size_t r1 = std::min(m.rows, r0 + kCellsPerLook);
            for (std::size_t r = r0; r < r1; ++r) BRINDLE_FAIL_IF(!put_cell(items[j] + r, column[r * row_step], table));
            if (looks.stop(r1 - r0)) return std::optional<std::vector<std::pair<std::size_t, PyRef>>>();
        }
    }
    return std::optional<std::vector<std::pair<std::size_t, PyRef>>>(std::move(columns));
}


// A frame of the float64 matrix alone, with the given column names.
Result<PyRef> float_frame(const Matrix& m, PyObject* frame_type, PyObject* columns) {
    PyObject* columns_kw = keyword_names(Keywords::columns_copy);
    BRINDLE_FAIL_IF(columns_kw == nullptr);
    // The matrix array is this call's own, so it is the new float64 data:
    // without copy=False pandas 3 would copy it, doubling the result's memory.
    PyObject* frame_args[] = {m.array.get(), columns, Py_False};
    PyRef frame = PyRef::steal(PyObject_Vectorcall(frame_type, frame_args, 1, columns_kw));
    BRINDLE_FAIL_IF(!frame);
    return frame;
}

// Every matrix column by position: a Series of the labels of a text column
// (given in `label_cols`, ascending, each dropped once used), a float64 view
// of the matrix elsewhere; all on the one `index`.
Result<PyRef> columns_by_position(const Matrix& m, std::vector<std::pair<std::size_t, PyRef>>& label_cols,
                                  PyObject* series_type, PyObject* index) {
    PyObject* series_kw = keyword_names(Keywords::index_dtype_copy);
    BRINDLE_FAIL_IF(series_kw == nullptr);
    PyRef by_position = PyRef::steal(PyDict_New());
    BRINDLE_FAIL_IF(!by_position);
    std::size_t next_text = 0;
    for (std::size_t c = 0; c < m.cols; ++c) {
        PyRef column;
        if (next_text < label_cols.size() && label_cols[next_text].first == c) {
            // An explicit object dtype keeps pandas from inferring its own
            // string dtype for a column of str.
            PyRef& labels_of_c = label_cols[next_text++].second;
            PyObject* series_args[] = {labels_of_c.get(), index, reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                       Py_False};
            column = PyRef::steal(PyObject_Vectorcall(series_type, series_args, 1, series_kw));
            BRINDLE_FAIL_IF(!column);
            labels_of_c.reset();
        } else {
            BRINDLE_ASSIGN_OR_RETURN(column, matrix_column(m, c));
        }
        // Keyed by position: a name may be shared by several columns.
        PyRef position = PyRef::steal(PyLong_FromSize_t(c));
        BRINDLE_FAIL_IF(!position);
        BRINDLE_FAIL_IF(PyDict_SetItem(by_position.get(), position.get(), column.get()) < 0);
    }
    return by_position;
}

// A DataFrame of the matrix with the given column names and pandas' default
// index; with books, the text columns as object columns of labels. Null
// when a Ctrl-C stopped it.
Result<PyRef> frame_result(const Matrix& m, const std::vector<std::string>& names, const CodeBooks* books,
                           Interrupts& interrupts) {
    PyObject* pandas_name = interned(Name::pandas);
    BRINDLE_FAIL_IF(pandas_name == nullptr);
    PyRef pandas = PyRef::steal(PyImport_Import(pandas_name));
    BRINDLE_FAIL_IF(!pandas);
    BRINDLE_ASSIGN_OR_RETURN(PyRef columns, name_list(names));
    BRINDLE_ASSIGN_OR_RETURN(PyRef frame_type, py::attr(pandas.get(), Name::DataFrame));
    if (books == nullptr || books->text_columns.empty()) return float_frame(m, frame_type.get(), columns.get());

    // The frame is made once, from one column per position: setting text
    // columns into a float64 frame one by one splits a pandas block each time.
    BRINDLE_ASSIGN_OR_RETURN(PyRef series_type, py::attr(pandas.get(), Name::Series));
    BRINDLE_ASSIGN_OR_RETURN(PyRef range_index, py::attr(pandas.get(), Name::RangeIndex));
    BRINDLE_TRY_STATUS(ensure_numpy());
    ColumnLabels labels;
    BRINDLE_TRY_STATUS(labels.build(*books, std::min(m.cols, names.size()), /*require_width=*/true, Py_None));
    BRINDLE_ASSIGN_OR_RETURN(auto labelled, label_columns(m, labels, interrupts));
    if (!labelled) return PyRef();

    PyRef rows = PyRef::steal(PyLong_FromSize_t(m.rows));
    BRINDLE_FAIL_IF(!rows);
    // One index object for every column and the frame: pandas aligns a
    // Series whose index is another object, at a cost per column.
    PyRef index = PyRef::steal(PyObject_CallOneArg(range_index.get(), rows.get()));
    BRINDLE_FAIL_IF(!index);
    BRINDLE_ASSIGN_OR_RETURN(PyRef by_position, columns_by_position(m, *labelled, series_type.get(), index.get()));
    PyObject* frame_kw = keyword_names(Keywords::index_copy);
    BRINDLE_FAIL_IF(frame_kw == nullptr);
    // Without copy=False pandas copies the columns and joins the float64 ones.
    PyObject* frame_args[] = {by_position.get(), index.get(), Py_False};
    PyRef frame = PyRef::steal(PyObject_Vectorcall(frame_type.get(), frame_args, 1, frame_kw));
    BRINDLE_FAIL_IF(!frame);
    PyObject* columns_name = interned(Name::columns);
    BRINDLE_FAIL_IF(columns_name == nullptr);
    BRINDLE_FAIL_IF(PyObject_SetAttr(frame.get(), columns_name, columns.get()) < 0);
    return frame;
}

}  // namespace

Result<PyRef> arr_to_out(Matrix matrix, OUT out, const CodeBooks* books) {
    // A borrowed matrix is the caller's input: only the labels of an array
    // result are read from it in place; every other result is built around
    // the matrix's own array, so it gets a copy first.
    if (matrix.borrowed && (!result_reads_in_place(books) || out.is_frame())) {
        BRINDLE_ASSIGN_OR_RETURN(matrix, copy_float64_array(matrix.array.get()));
    }
    // Without books the matrix array, this call's own and referenced nowhere
    // else, is the new float64 result itself.
    if (books == nullptr && !out.is_frame()) return std::move(matrix.array);
    Interrupts interrupts;
    for (;;) {
        PyRef result;
        if (const auto* frame = std::get_if<OUT::Frame>(&out.kind)) {
            BRINDLE_ASSIGN_OR_RETURN(result, frame_result(matrix, frame->columns, books, interrupts));
        } else {
            BRINDLE_ASSIGN_OR_RETURN(result, decode_array(matrix, *books, interrupts));
        }
        if (result) return result;
        BRINDLE_TRY_STATUS(interrupts.deliver());
    }
}

}  // namespace brindle
