// The scan of every cell of a 2-D input, column by column on the calling
// thread, after an attempt on the pool where no cell needs Python code.
#pragma once

#include "lib/engine/engine.hpp"
#include "python/interrupts.hpp"
#include "python/label_store.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Reads every cell of `src` (an array, or a DataFrame's `values`) into
// `scan`, sized for the input's reported shape, writing numbers and label
// indices into `matrix` laid out as `scan` says. Labels point into `keep`
// or into str objects that `keep` or the input keeps alive.
// A Ctrl-C noticed on the way cuts it short with success and
// interrupts.noticed() set.
Status scan_cells(PyObject* src, ColumnScan& scan, LabelKeep& keep, double* matrix, Interrupts& interrupts);

}  // namespace brindle
