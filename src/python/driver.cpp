// Driver entry: recognise the container kind, pass 2-D float64 arrays
// through, send everything else down the column path.
#include <cstdio>
#include <string>

#include "python/driver.hpp"
#include "python/column_names.hpp"
#include "python/encode_object_array.hpp"
#include "python/errors.hpp"
#include "python/frame_driver.hpp"
#include "python/matrix.hpp"
#include "python/numpy_api.hpp"
#include "python/shape.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

enum class Kind { Frame, Array, Unsupported };

Kind kind_of(std::string_view type_name) {
    if (type_name == "DataFrame") return Kind::Frame;
    if (type_name == "ndarray" || type_name == "memmap") return Kind::Array;
    return Kind::Unsupported;
}

PyError unsupported(const std::string& type_name) {
    // The one line this module ever writes to the C-level standard output.
    std::fwrite(type_name.data(), 1, type_name.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return make_error(PyExc_TypeError, "Unsupported type: '" + type_name +
                                           "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

// A 2-D array whose dtype is equivalent to native float64 (subclasses count).
bool is_float64_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return false;
    // Process-wide descriptor, never released.
    static PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    return PyArray_EquivTypes(PyArray_DESCR(array), float64);
}

// A float64 array for a step that codes numbers too: a copy, read as a scan
// of numbers only.
Result<DriverResult> code_float64_array(PyObject* obj, OUT out, CodingStep& step) {
    BRINDLE_ASSIGN_OR_RETURN(Matrix matrix, copy_float64_array(obj));
    ColumnScan scan;
    scan.reset(matrix.rows, matrix.cols);
    scan.column_major = matrix.fortran;
    Interrupts interrupts;
    for (;;) {
        std::optional<CodeBooks> books;
        BRINDLE_ASSIGN_OR_RETURN(const bool coded, step.code(scan, matrix.data(), out, interrupts, books));
        if (coded) return DriverResult{std::move(out), std::move(matrix), std::nullopt};
        BRINDLE_TRY_STATUS(interrupts.deliver());
    }
}

}  // namespace

Result<DriverResult> pyany_to_vec(PyObject* obj, bool may_borrow, CodingStep& step) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    BRINDLE_FAIL_IF(!name);
    std::string type_name;
    BRINDLE_TRY_STATUS(append_utf8(name.get(), type_name));
    const Kind kind = kind_of(type_name);
    if (kind == Kind::Unsupported) return unsupported(type_name);

    OUT out{OUT::Array{}};
    if (kind == Kind::Frame) {
        BRINDLE_ASSIGN_OR_RETURN(std::vector<std::string> columns, read_column_names(obj));
        out.kind = OUT::Frame{std::move(columns)};
    }
    BRINDLE_TRY_STATUS(ensure_numpy());
    if (is_float64_matrix(obj)) {
        if (!step.float64_passes_through()) return code_float64_array(obj, std::move(out), step);
        if (may_borrow) {
            if (std::optional<Matrix> view = borrow_float64_array(obj))
                return DriverResult{std::move(out), std::move(*view), std::nullopt};
        }
        BRINDLE_ASSIGN_OR_RETURN(Matrix copy, copy_float64_array(obj));
        return DriverResult{std::move(out), std::move(copy), std::nullopt};
    }
    if (kind != Kind::Frame) return encode_object_array(obj, std::move(out), std::nullopt, step);
    BRINDLE_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj));
    DriverResult by_columns;
    BRINDLE_ASSIGN_OR_RETURN(const bool read, encode_frame_columns(obj, shape, out, by_columns, step));
    if (read) return by_columns;
    return encode_object_array(obj, std::move(out), shape, step);
}

}  // namespace brindle
