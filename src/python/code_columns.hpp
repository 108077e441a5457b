// The coding step, shared by every reader of an input.
//
// Whatever read the input (the cell scan, the frame's column readers), it
// leaves the same thing: the matrix holding each numeric column's float64
// values and, in each text column, every row's reference into the column's
// list of texts (ColumnScan). Coding turns those references into codes and
// gives each text column its books.
#pragma once

#include <optional>

#include "lib/engine/engine.hpp"
#include "python/interrupts.hpp"

namespace brindle {

// Codes every column of `scan` on the pool into `matrix` and gathers the
// books; nothing when a Ctrl-C stopped it (interrupts.noticed()).
std::optional<CodeBooks> code_columns(const ColumnScan& scan, double* matrix, Interrupts& interrupts);

}  // namespace brindle
