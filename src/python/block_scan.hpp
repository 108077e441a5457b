// The scan of an object array on the pool, for inputs whose cells need no
// Python code.
#pragma once

#include "lib/engine/engine.hpp"
#include "python/cell_source.hpp"
#include "python/label_store.hpp"
#include "python/interrupts.hpp"

namespace brindle {

// Scans the buffer of an object array of the scan's shape (one that
// `CellSource::object_matrix()` accepts) block of rows by block of
// rows on the pool, with the results of the column-by-column scan: the same
// text columns, every cell's number or label, the same labels. Only cells
// read without running Python code or creating Python objects are handled
// (exact str, float, bool, None, and int within 64 bits); at any other cell
// it returns false, and the caller drops whatever it made and scans again.
// It also returns false when a Ctrl-C cut it short (interrupts.noticed()).
bool scan_in_blocks(const CellBuffer& cells, ColumnScan& scan, LabelKeep& keep, double* matrix,
                    Interrupts& interrupts);

}  // namespace brindle
