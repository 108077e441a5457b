// Numbers read in place: a NumPy bool, integer or float buffer written into
// the matrix as float64, on the pool.
#pragma once

#include <cstddef>

#include "lib/engine/engine.hpp"
#include "python/cell_source.hpp"
#include "python/interrupts.hpp"

namespace brindle {

// Writes every cell of a bool, integer or float array (`cells.numeric()`)
// into the matrix laid out as `scan` says, on the pool. A Ctrl-C may cut it
// short (interrupts.noticed()).
void read_numbers_in_blocks(const CellSource& cells, const ColumnScan& scan, double* matrix,
                            Interrupts& interrupts);

// Runs on a worker, inside a pool job: writes the `rows` cells of one
// numeric column, read by `read` from `cells`, to out[0 .. rows).
void read_number_column(const CellBuffer& cells, CellSource::NumericReader read, std::size_t rows, double* out);

}  // namespace brindle
