// A fitted encoder's transform: the columns a reader read, coded by lookup
// in the books of the fit.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "lib/engine/engine.hpp"
#include "python/coding_step.hpp"

namespace brindle {

// What a fit keeps: the column count, and the books of its text columns.
// A fit on a float64 array keeps no books, as encode does, so that
// inverse_transform gives what decode gives.
struct FittedBooks {
    std::size_t columns = 0;
    CodeBooks books;
    bool present = true;
};

// Makes the error for a label the book of its column lacks; `column_name`
// is the frame's name of the column, empty for an array.
using UnknownLabelRaiser = std::function<PyError(const UnknownLabel& miss, const std::string& column_name)>;

class LookupStep final : public CodingStep {
public:
    LookupStep(const FittedBooks& fitted, LookupPolicy policy, UnknownLabelRaiser raise_unknown)
        : fitted_(fitted), policy_(policy), raise_unknown_(std::move(raise_unknown)) {}

    // ValueError for a column count other than the fit's, and for a text in
    // a column that held numbers only at the fit.
    Result<bool> code(ColumnScan& scan, double* matrix, const OUT& out, Interrupts& interrupts,
                      std::optional<CodeBooks>& books) override;

    // A float64 array holds numbers for columns that were text: coded too.
    bool float64_passes_through() const noexcept override { return false; }

    // A number is looked up by its other text form too.
    bool marks_numbers() const noexcept override { return true; }

private:
    const FittedBooks& fitted_;
    LookupPolicy policy_;
    UnknownLabelRaiser raise_unknown_;
};

}  // namespace brindle
