// The frame driver: a pandas DataFrame read column by column, each column by
// the reader its dtype chose (frame_plan.hpp), all of them in one pool job,
// then coded as any input is (code_columns.hpp).
//
// A frame falls back to `values` while nothing of it has been read, but for
// what only reading its cells can find: an object column holding a cell whose
// reading runs Python code (a cell of another type than exact str, float,
// int, bool or None), and a categorical code out of range. The whole frame
// then goes to `values`, so the Python code that cells run, and its order,
// stay those of the scan there, and pandas' own error is the one raised.
#include "python/frame_driver.hpp"

#include <memory>
#include <utility>
#include <vector>

#include "python/cell_source.hpp"
#include "python/coding_step.hpp"
#include "python/frame_job.hpp"
#include "python/frame_plan.hpp"
#include "python/interrupts.hpp"
#include "python/label_store.hpp"
#include "python/matrix.hpp"

namespace brindle {
namespace {

// Made on the calling thread after the last Python code before the pool job:
// a cell source reads its array's layout, which the pool then trusts. False
// when an array no longer has the layout prepare_columns saw.
bool bind_columns(FramePlan& plan, BoundColumns& bound, bool mark_numbers) {
    const std::size_t rows = plan.shape.rows;
    const std::size_t cols = plan.columns.size();
    bound.sources.resize(cols);
    bound.buffers.resize(cols);
    bound.object_scans.resize(cols);
    bound.keeps.resize(cols);
    for (std::size_t c = 0; c != cols; ++c) {
        FrameColumn& col = plan.columns[c];
        if (col.reader == ColumnReader::Categorical && !col.categorical->bind()) return false;
        if (col.reader != ColumnReader::Numbers && col.reader != ColumnReader::Objects) continue;
        bound.sources[c] = std::make_unique<CellSource>(col.array.get(), rows, 1);
        if (col.reader == ColumnReader::Objects) {
            if (!bound.sources[c]->object_matrix()) return false;
            bound.object_scans[c] = std::make_unique<ColumnScan>();
            bound.object_scans[c]->mark_numbers = mark_numbers;
            bound.object_scans[c]->reset(rows, 1);
            bound.object_scans[c]->column_major = true;
            bound.keeps[c] = std::make_unique<LabelKeep>();
        } else if (bound.sources[c]->numeric() == nullptr) {
            return false;
        }
        bound.buffers[c] = bound.sources[c]->buffer();
    }
    return true;
}

// Calling thread, after the pool job: the lists of the columns whose readers
// keep their own, moved into the frame's scan.
Status gather_lists(FramePlan& plan, BoundColumns& bound, ColumnScan& scan) {
    for (std::size_t c = 0; c != plan.columns.size(); ++c) {
        FrameColumn& col = plan.columns[c];
        if (col.categorical && plan.shape.rows > 0) {
            scan.is_text[c] = 1;
            scan.first_text[c] = col.categorical->first_text();
            BRINDLE_TRY_STATUS(col.categorical->list(scan.strings[c], scan.local[c]));
        }
        if (!bound.object_scans[c]) continue;
        ColumnScan& own = *bound.object_scans[c];
        scan.is_text[c] = own.is_text[0];
        scan.first_text[c] = own.first_text[0];
        scan.strings[c] = std::move(own.strings[0]);
        scan.local[c] = std::move(own.local[0]);
        if (scan.mark_numbers) scan.number_entries[c] = std::move(own.number_entries[0]);
    }
    return Status::success();
}

}  // namespace

Result<bool> encode_frame_columns(PyObject* frame, const Shape& shape, OUT& out, DriverResult& result,
                                  CodingStep& step) {
    BRINDLE_ASSIGN_OR_RETURN(std::optional<FramePlan> plan, plan_frame(frame, shape));
    if (!plan) return false;
    BRINDLE_ASSIGN_OR_RETURN(const bool prepared, prepare_columns(frame, *plan));
    if (!prepared) return false;

    BRINDLE_ASSIGN_OR_RETURN(Matrix matrix, zero_matrix(shape.rows, shape.cols, /*fortran=*/true));
    ColumnScan scan;
    scan.mark_numbers = step.marks_numbers();
    scan.reset(shape.rows, shape.cols);
    scan.column_major = true;
    BoundColumns bound;
    if (!bind_columns(*plan, bound, scan.mark_numbers)) return false;

    // A Ctrl-C cuts the job short; the handler runs once the pool is idle, and
    // after one that returns the frame is read again through `values`.
    Interrupts interrupts;
    const bool read = shape.rows == 0 || read_columns(*plan, bound, scan, matrix.data(), interrupts);
    if (interrupts.noticed()) {
        BRINDLE_TRY_STATUS(interrupts.deliver());
        return false;
    }
    if (!read) return false;
    BRINDLE_TRY_STATUS(gather_lists(*plan, bound, scan));

    std::optional<CodeBooks> books;
    BRINDLE_ASSIGN_OR_RETURN(const bool coded, step.code(scan, matrix.data(), out, interrupts, books));
    if (!coded) {
        BRINDLE_TRY_STATUS(interrupts.deliver());
        return false;
    }
    result = DriverResult{std::move(out), std::move(matrix), std::move(books)};
    return true;
}

}  // namespace brindle
