// Numbers read in place, on the pool: plain memory only.
#include "python/number_reader.hpp"

#include <cstring>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

namespace brindle {

void read_numbers_in_blocks(const CellSource& cells, const ColumnScan& scan, double* matrix,
                            Interrupts& interrupts) {
    const std::size_t row_step = scan.row_step();
    const std::size_t col_step = scan.col_step();
    const CellBuffer buffer = cells.buffer();
    const CellSource::NumericReader read = cells.numeric();
    interrupts.run(scan.rows * scan.cols, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, scan.rows, 4096), [&](const auto& range) {
            const auto put = [&](std::size_t r, std::size_t c) {
                const double value = read(buffer.at(r, c));
                std::memcpy(matrix + r * row_step + c * col_step, &value, sizeof value);
            };
            // In the matrix's memory order: across a column-major matrix a
            // row's cells lie a whole column apart, and a frame's `values`
            // (column-major too) the same, so row by row every cell would
            // touch a new page.
            if (scan.column_major) {
                for (std::size_t c = 0; c != scan.cols; ++c)
                    for (std::size_t r = range.begin(); r != range.end(); ++r) put(r, c);
            } else {
                for (std::size_t r = range.begin(); r != range.end(); ++r)
                    for (std::size_t c = 0; c != scan.cols; ++c) put(r, c);
            }
        });
    });
}

void read_number_column(const CellBuffer& cells, CellSource::NumericReader read, std::size_t rows, double* out) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, 1 << 15), [&](const auto& range) {
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
            const double value = read(cells.at(r, 0));
            std::memcpy(out + r, &value, sizeof value);
        }
    });
}

}  // namespace brindle
