// The scan of an object array on the pool, for inputs whose cells need no
// Python code, and the parallel read of numeric arrays.
#pragma once

#include "cells.hpp"
#include "engine/engine.hpp"
#include "interrupts.hpp"

namespace brindle {

// Scans an object array (`cells.object_matrix()`) block of rows by block of
// rows on the pool, with the results of the column-by-column scan: the same
// text columns, every cell's number or label, the same labels. Only cells
// read without running Python code or creating Python objects are handled
// (exact str, float, bool, None, and int within 64 bits); at any other cell
// it returns false, and the caller drops whatever it made and scans again.
// It also returns false when a Ctrl-C cut it short (interrupts.noticed()).
bool scan_in_blocks(const CellSource& cells, ColumnScan& scan, LabelKeep& keep, double* matrix,
                    Interrupts& interrupts);

// Writes every cell of a bool, integer or float array (`cells.numeric()`)
// into the matrix laid out as `scan` says, on the pool. A Ctrl-C may cut it
// short (interrupts.noticed()).
void read_numbers_in_blocks(const CellSource& cells, const ColumnScan& scan, double* matrix,
                            Interrupts& interrupts);

}  // namespace brindle
