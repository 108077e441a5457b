// Arrow tables in and out: read through their C stream, coded as any input
// is, and the result built as an object of the input's kind through Python
// calls to polars or pyarrow (each imported only for its own kind).
#include "python/table_out.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "python/arr_to_out.hpp"
#include "python/arrow_table.hpp"
#include "python/decode_labels.hpp"
#include "python/driver.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"
#include "python/interrupts.hpp"
#include "python/numpy_api.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

Result<DriverResult> read_table(PyObject* obj, CodingStep& step) {
    BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<ArrowTable> table, import_arrow_table(obj));
    OUT out{OUT::Frame{table->names}};
    out.table = table->kind;
    Interrupts interrupts;
    for (;;) {
        // A stopped attempt leaves nothing behind before the handler runs;
        // the table's buffers are plain memory, kept for the next attempt.
        {
            Matrix matrix;
            ColumnScan scan;
            scan.mark_numbers = step.marks_numbers();
            BRINDLE_ASSIGN_OR_RETURN(const bool read, read_arrow_table(*table, matrix, scan, interrupts));
            if (read) {
                std::optional<CodeBooks> books;
                BRINDLE_ASSIGN_OR_RETURN(const bool coded, step.code(scan, matrix.data(), out, interrupts, books));
                if (coded) return DriverResult{std::move(out), std::move(matrix), std::move(books)};
            }
        }
        BRINDLE_TRY_STATUS(interrupts.deliver());
    }
}

Result<PyRef> import_module(const char* name) {
    PyRef module = PyRef::steal(PyImport_ImportModule(name));
    BRINDLE_FAIL_IF(!module);
    return module;
}

Result<PyRef> attr_of(PyObject* obj, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
    BRINDLE_FAIL_IF(!value);
    return value;
}


// A 1-D object array of matrix column c's labels: str, or None for NaN and
// unknown codes.
Result<PyRef> label_column(const Matrix& m, std::size_t c, LabelTable& table) {
    const npy_intp dims[1] = {static_cast<npy_intp>(m.rows)};
    // Zero-filled (null items), which NumPy releases safely.
    PyRef array = PyRef::steal(PyArray_New(&PyArray_Type, 1, const_cast<npy_intp*>(dims), NPY_OBJECT, nullptr,
                                           nullptr, 0, 0, nullptr));
    BRINDLE_FAIL_IF(!array);
    auto** items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const std::size_t row_step = m.fortran ? 1 : m.cols;
    const double* column = m.data() + c * (m.fortran ? m.rows : 1);
    Status failed;
    for (std::size_t r = 0; r != m.rows; ++r) {
        PyObject* item = table.take(column[r * row_step]);
        if (item == nullptr) {
            failed = PyError::fetch();
            break;
        }
        items[r] = item;
    }
    // The references handed out are owed until settled, before anything
    // may release the array.
    table.settle();
    BRINDLE_TRY_STATUS(std::move(failed));
    return array;
}

// Calls f(*args, **{key: value}) with one keyword.
Result<PyRef> call_with(PyObject* f, PyObject* args, const char* key, PyObject* value) {
    PyRef kwargs = PyRef::steal(PyDict_New());
    BRINDLE_FAIL_IF(!kwargs);
    BRINDLE_FAIL_IF(PyDict_SetItemString(kwargs.get(), key, value) < 0);
    PyRef result = PyRef::steal(PyObject_Call(f, args, kwargs.get()));
    BRINDLE_FAIL_IF(!result);
    return result;
}

Result<PyRef> table_result(const Matrix& m, TableKind kind, const std::vector<std::string>& names,
                           const CodeBooks* books) {
    BRINDLE_TRY_STATUS(ensure_numpy());
    const bool polars = kind == TableKind::Polars;
    BRINDLE_ASSIGN_OR_RETURN(PyRef module, import_module(polars ? "polars" : "pyarrow"));
    ColumnLabels labels;
    if (books != nullptr) {
        BRINDLE_TRY_STATUS(labels.build(*books, m.cols, /*require_width=*/true, Py_None));
    }
    // polars.Series(name, values[, dtype=polars.String]); pyarrow.array(values[, type=pyarrow.string()]).
    BRINDLE_ASSIGN_OR_RETURN(PyRef make_column, attr_of(module.get(), polars ? "Series" : "array"));
    PyRef text_type;
    if (books != nullptr) {
        if (polars) {
            BRINDLE_ASSIGN_OR_RETURN(text_type, attr_of(module.get(), "String"));
        } else {
            BRINDLE_ASSIGN_OR_RETURN(PyRef string, attr_of(module.get(), "string"));
            text_type = PyRef::steal(PyObject_CallNoArgs(string.get()));
            BRINDLE_FAIL_IF(!text_type);
        }
    }
    PyRef columns = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(m.cols)));
    BRINDLE_FAIL_IF(!columns);
    PyRef name_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(m.cols)));
    BRINDLE_FAIL_IF(!name_list);
    for (std::size_t c = 0; c != m.cols; ++c) {
        PyObject* name = new_str(c < names.size() ? names[c] : std::to_string(c));
        BRINDLE_FAIL_IF(name == nullptr);
        PyList_SET_ITEM(name_list.get(), static_cast<Py_ssize_t>(c), name);
        LabelTable* table = labels.at(c);
        PyRef values;
        if (table != nullptr) {
            BRINDLE_ASSIGN_OR_RETURN(values, label_column(m, c, *table));
            // polars casts no object array to its strings: it takes a list.
            if (polars) {
                BRINDLE_ASSIGN_OR_RETURN(values, py::call_method(values.get(), Name::tolist));
            }
        } else {
            BRINDLE_ASSIGN_OR_RETURN(values, matrix_column(m, c));
        }
        PyRef args = PyRef::steal(polars ? PyTuple_Pack(2, name, values.get()) : PyTuple_Pack(1, values.get()));
        BRINDLE_FAIL_IF(!args);
        PyRef column;
        if (table != nullptr) {
            BRINDLE_ASSIGN_OR_RETURN(column, call_with(make_column.get(), args.get(), polars ? "dtype" : "type",
                                                       text_type.get()));
        } else {
            column = PyRef::steal(PyObject_Call(make_column.get(), args.get(), nullptr));
            BRINDLE_FAIL_IF(!column);
        }
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c), column.release());
    }
    if (polars) {
        BRINDLE_ASSIGN_OR_RETURN(PyRef frame_type, attr_of(module.get(), "DataFrame"));
        PyRef frame = PyRef::steal(PyObject_CallOneArg(frame_type.get(), columns.get()));
        BRINDLE_FAIL_IF(!frame);
        return frame;
    }
    BRINDLE_ASSIGN_OR_RETURN(PyRef type, attr_of(module.get(), kind == TableKind::ArrowBatch ? "RecordBatch" : "Table"));
    BRINDLE_ASSIGN_OR_RETURN(PyRef from_arrays, attr_of(type.get(), "from_arrays"));
    PyRef args = PyRef::steal(PyTuple_Pack(1, columns.get()));
    BRINDLE_FAIL_IF(!args);
    return call_with(from_arrays.get(), args.get(), "names", name_list.get());
}

}  // namespace

Result<DriverResult> read_input(PyObject* obj, bool may_borrow, CodingStep& step) {
    BRINDLE_ASSIGN_OR_RETURN(const bool table, is_arrow_table(obj));
    if (table) return read_table(obj, step);
    return pyany_to_vec(obj, may_borrow, step);
}

Result<PyRef> build_output(Matrix matrix, OUT out, const CodeBooks* books) {
    const TableKind kind = out.table;
    if (kind == TableKind::None) return arr_to_out(std::move(matrix), std::move(out), books);
    if (kind == TableKind::Stream) return arr_to_out(std::move(matrix), OUT{OUT::Array{}}, books);
    const auto* frame = std::get_if<OUT::Frame>(&out.kind);
    static const std::vector<std::string> no_names;
    return table_result(matrix, kind, frame != nullptr ? frame->columns : no_names, books);
}

}  // namespace brindle
