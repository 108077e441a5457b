// Each column's Series, and what its reader reads, made on the calling
// thread before the pool job.
#include "python/frame_plan.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"
#include "python/numpy_api.hpp"

namespace brindle {
namespace {

// The (rows, 1) view of a 1-D array of `rows` cells of the given type, or
// null when the array is something else.
Result<PyRef> column_view(PyObject* array, std::size_t rows, int type_num) {
    if (!PyArray_CheckExact(array)) return PyRef();
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIMS(a)[0]) != rows ||
        PyArray_DESCR(a)->type_num != type_num)
        return PyRef();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), 1};
    PyArray_Dims shape = {dims, 2};
    PyRef view = PyRef::steal(PyArray_Newshape(a, &shape, NPY_ANYORDER));
    BRINDLE_FAIL_IF(!view);
    return view;
}

// The frame's Series in column order; false when pandas gives another number
// of them than it reported columns.
Result<bool> take_series(PyObject* frame, std::vector<FrameColumn>& columns) {
    std::size_t c = 0;
    BRINDLE_ASSIGN_OR_RETURN(PyRef items, py::call_method(frame, Name::items));
    PyRef iter = PyRef::steal(PyObject_GetIter(items.get()));
    BRINDLE_FAIL_IF(!iter);
    while (PyRef pair = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 || c == columns.size()) return false;
        columns[c++].series = PyRef::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    }
    BRINDLE_FAIL_IF(PyErr_Occurred());
    return c == columns.size();
}

// The column's Arrow chunks: Read, or Other when its stream is not text of a
// layout read here (the column is then read as its astype(object)), or
// Miscounted when its null counts disagree with its bitmaps (the frame then
// goes to `values`, where pandas' own reading decides what it holds).
Result<ArrowImport> export_arrow(FrameColumn& col, std::size_t rows) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef capsule, py::call_method(col.series.get(), Name::arrow_c_stream));
    if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) return ArrowImport::Other;
    BRINDLE_ASSIGN_OR_RETURN(const ArrowImport read, col.arrow.chunks.import(capsule.get()));
    if (read == ArrowImport::Read && col.arrow.chunks.length() == rows) return ArrowImport::Read;
    col.arrow.chunks = ArrowChunks();
    return read == ArrowImport::Miscounted ? read : ArrowImport::Other;
}

// The array the pool scan or the number reader reads: the column's own NumPy
// array, or an extension array's astype(object).
Result<PyRef> column_array(FrameColumn& col) {
    if (col.reader != ColumnReader::Converted) return py::call_method(col.series.get(), Name::to_numpy);
    BRINDLE_ASSIGN_OR_RETURN(PyRef ea, py::attr(col.series.get(), Name::array));
    PyObject* name = interned(Name::astype);
    BRINDLE_FAIL_IF(name == nullptr);
    PyObject* args[] = {ea.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    PyRef array = PyRef::steal(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    BRINDLE_FAIL_IF(!array);
    col.reader = ColumnReader::Objects;
    return array;
}

Result<bool> prepare_column(FrameColumn& col, std::size_t rows) {
    if (col.reader == ColumnReader::ArrowText) {
        BRINDLE_ASSIGN_OR_RETURN(const ArrowImport exported, export_arrow(col, rows));
        if (exported == ArrowImport::Read) return true;
        if (exported == ArrowImport::Miscounted) return false;
        col.reader = ColumnReader::Converted;
    }
    if (col.str_categories) {
        BRINDLE_ASSIGN_OR_RETURN(col.categorical, CategoricalColumn::make(col.series.get(), rows));
        if (col.categorical) {
            col.reader = ColumnReader::Categorical;
            return true;
        }
    }
    BRINDLE_ASSIGN_OR_RETURN(PyRef array, column_array(col));
    int type_num = NPY_OBJECT;
    if (col.reader == ColumnReader::Numbers) {
        if (!PyArray_Check(array.get())) return false;
        PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()));
        type_num = descr->type_num;
        if (!read_in_place(descr)) return false;
    }
    BRINDLE_ASSIGN_OR_RETURN(col.array, column_view(array.get(), rows, type_num));
    return static_cast<bool>(col.array);
}

}  // namespace

namespace {

Result<bool> prepare_all(PyObject* frame, FramePlan& plan) {
    BRINDLE_ASSIGN_OR_RETURN(const bool taken, take_series(frame, plan.columns));
    if (!taken) return false;
    for (FrameColumn& col : plan.columns) {
        BRINDLE_ASSIGN_OR_RETURN(const bool prepared, prepare_column(col, plan.shape.rows));
        if (!prepared) return false;
    }
    return true;
}

}  // namespace

Result<bool> prepare_columns(PyObject* frame, FramePlan& plan) {
    // pandas' and pyarrow's calls here fail on `values` too, which is what
    // reports their failures, so that both roads raise the same class.
    return false_on_exception(prepare_all(frame, plan));
}

}  // namespace brindle
