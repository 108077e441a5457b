// What the driver does with the columns it has read.
//
// Every reader leaves the same thing (the matrix and its ColumnScan); a
// coding step turns it into the result: a fresh coding sorts each text
// column's labels and makes its books (encode, decode, a fit), a lookup codes
// them by books made earlier (a fitted encoder's transform).
#pragma once

#include <optional>

#include "lib/engine/engine.hpp"
#include "python/interrupts.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

class CodingStep {
public:
    virtual ~CodingStep() = default;

    // Codes the columns that `scan` describes in `matrix`, on the pool;
    // a fresh coding leaves the books it made in `books`. False when a
    // Ctrl-C stopped it (interrupts.noticed()); an error for input the step
    // refuses. `out` names the input's container and columns. The step may
    // add to `scan` what it needs, and must keep what it adds alive until
    // it returns.
    virtual Result<bool> code(ColumnScan& scan, double* matrix, const OUT& out, Interrupts& interrupts,
                              std::optional<CodeBooks>& books) = 0;

    // Whether a 2-D float64 array is the result as it stands; otherwise the
    // step codes it too, as a scan of numbers only.
    virtual bool float64_passes_through() const noexcept { return true; }

    // Whether the readers are to mark the text entries they make from
    // numbers (ColumnScan::mark_numbers).
    virtual bool marks_numbers() const noexcept { return false; }
};

// The fresh coding of encode and decode (code_columns.hpp).
CodingStep& fresh_coding() noexcept;

}  // namespace brindle
