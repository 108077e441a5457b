// The column path: the input's shape, its matrix, the scan, the coding of
// all columns on the pool and the gathering of their books.
#include "python/encode_object_array.hpp"

#include <memory>
#include <optional>

#include "python/errors.hpp"
#include "python/interned.hpp"
#include "python/interrupts.hpp"
#include "python/label_store.hpp"
#include "python/matrix.hpp"
#include "python/object_entries.hpp"
#include "python/scan.hpp"

namespace brindle {
namespace {

struct Shape {
    std::size_t rows;
    std::size_t cols;
};

Result<Shape> read_shape(PyObject* obj) {
    PyRef shape = PyRef::steal(get_attr(obj, Name::shape));
    if (!shape) {
        PyErr_Clear();
        return internal_failure("the input has no readable 'shape'");
    }
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        return internal_failure("expected a two-dimensional input: 'shape' is not a pair");
    }
    std::size_t dims[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(shape.get(), i);
        if (!PyLong_Check(item)) return internal_failure("'shape' holds something other than integers");
        const std::size_t value = PyLong_AsSize_t(item);
        if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return internal_failure("'shape' holds a negative or oversized integer");
        }
        dims[i] = value;
    }
    return Shape{dims[0], dims[1]};
}

// One attempt at encode_object_array; nothing when a Ctrl-C stopped it, and
// then nothing it took or made is left (see interrupts.hpp).
Result<std::optional<DriverResult>> encode_once(PyObject* obj, OUT& out, Interrupts& interrupts) {
    BRINDLE_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj));
    // A size no memory could hold fails before anything is read or made. The
    // matrix itself is made after `values`, so that pandas' temporaries are
    // gone before its pages are.
    if (!matrix_fits(shape.rows, shape.cols)) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
    PyRef values;
    if (out.is_frame()) {
        values = PyRef::steal(get_attr(obj, Name::values));
        if (!values) return chained_internal_failure("the DataFrame has no readable 'values'");
    }
    PyObject* src = values ? values.get() : obj;
    // A frame's matrix is column-major: pandas copies it into its column-major
    // block with one memcpy instead of a transposition.
    BRINDLE_ASSIGN_OR_RETURN(Matrix matrix, zero_matrix(shape.rows, shape.cols, /*fortran=*/out.is_frame()));

    // The scan keeps two lists, a flag and a TextColumn per column, whatever the
    // row count, and the attempt on the pool two words per column and block
    // (several blocks only for inputs of at least 32,768 rows).
    constexpr std::size_t kPerColumn =
        sizeof(PagedVector<std::string_view>) + sizeof(std::vector<LocalIndices>) + sizeof(std::uint8_t) +
        sizeof(TextColumn) + 2 * sizeof(void*);
    if (!fits_in_memory(shape.cols, kPerColumn)) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
    ColumnScan scan;
    scan.reset(shape.rows, shape.cols);
    scan.column_major = matrix.fortran;
    LabelKeep keep;
    BRINDLE_TRY_STATUS(scan_cells(src, scan, keep, matrix.data(), interrupts));
    if (interrupts.noticed()) return std::optional<DriverResult>();

    std::optional<CodeBooks> books = code_columns(scan, matrix.data(), interrupts);
    if (!books) return std::optional<DriverResult>();
    return std::optional<DriverResult>(DriverResult{std::move(out), std::move(matrix), std::move(*books)});
}

}  // namespace

std::optional<CodeBooks> code_columns(const ColumnScan& scan, double* matrix, Interrupts& interrupts) {
    const auto holder = std::make_shared<const SendPtr>(matrix);
    std::vector<ColumnBooks> coded;
    if (!interrupts.watching(scan.rows * scan.cols)) {
        coded = encode_columns(scan, holder);
    } else {
        std::optional<std::vector<ColumnBooks>> stoppable =
            encode_columns_until(scan, holder, [&] { return interrupts.noticed(); });
        if (!stoppable) return std::nullopt;
        coded = std::move(*stoppable);
    }
    // NOTE: the maps are sized by the text columns found, not by `cols`: a
    // shape can claim any number of columns, and a hash map whose reservation
    // fails is not safe to destroy.
    CodeBooks books;
    books.text_columns.reserve(coded.size());
    books.forward_books.reserve(coded.size());
    books.reverse_books.reserve(coded.size());
    for (ColumnBooks& column : coded) {
        books.text_columns.push_back(column.column);
        books.forward_books.emplace(column.column, std::move(column.forward));
        books.reverse_books.emplace(column.column, std::move(column.reverse));
    }
    return books;
}

Result<DriverResult> encode_object_array(PyObject* obj, OUT out) {
    Interrupts interrupts;
    for (;;) {
        BRINDLE_ASSIGN_OR_RETURN(std::optional<DriverResult> done, encode_once(obj, out, interrupts));
        if (done) return std::move(*done);
        BRINDLE_TRY_STATUS(interrupts.deliver());
    }
}

}  // namespace brindle
