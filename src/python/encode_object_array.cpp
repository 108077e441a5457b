// The `values` road: every cell of an array, or of a DataFrame's `values`,
// read by the cell scan, then coded on the pool.
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
#include "python/shape.hpp"

namespace brindle {
namespace {

// One attempt at encode_object_array; nothing when a Ctrl-C stopped it, and
// then nothing it took or made is left (see interrupts.hpp).
Result<std::optional<DriverResult>> encode_once(PyObject* obj, OUT& out, const Shape& shape, CodingStep& step,
                                                Interrupts& interrupts) {
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
    scan.mark_numbers = step.marks_numbers();
    scan.reset(shape.rows, shape.cols);
    scan.column_major = matrix.fortran;
    LabelKeep keep;
    BRINDLE_TRY_STATUS(scan_cells(src, scan, keep, matrix.data(), interrupts));
    if (interrupts.noticed()) return std::optional<DriverResult>();

    std::optional<CodeBooks> books;
    BRINDLE_ASSIGN_OR_RETURN(const bool coded, step.code(scan, matrix.data(), out, interrupts, books));
    if (!coded) return std::optional<DriverResult>();
    return std::optional<DriverResult>(DriverResult{std::move(out), std::move(matrix), std::move(books)});
}

}  // namespace

Result<DriverResult> encode_object_array(PyObject* obj, OUT out, std::optional<Shape> shape, CodingStep& step) {
    Interrupts interrupts;
    for (;;) {
        // Read afresh after a signal's handler, which may have changed the input.
        if (!shape) {
            BRINDLE_ASSIGN_OR_RETURN(shape, read_shape(obj));
        }
        BRINDLE_ASSIGN_OR_RETURN(std::optional<DriverResult> done, encode_once(obj, out, *shape, step, interrupts));
        if (done) return std::move(*done);
        shape.reset();
        BRINDLE_TRY_STATUS(interrupts.deliver());
    }
}

}  // namespace brindle
