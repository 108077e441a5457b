// The container kind of the input, which result building rebuilds.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace brindle {

// For an Arrow table read through its C stream, the kind of object it came
// as, which result building makes again.
enum class TableKind { None, Polars, ArrowTable, ArrowBatch, Stream };

// The container kind of the input and what it takes to rebuild it.
struct OUT {
    struct Array {};
    struct Frame {
        std::vector<std::string> columns;  // UTF-8 column names, in column order
    };
    std::variant<Array, Frame> kind;
    // An Arrow table is a Frame to the readers and the coding step.
    TableKind table = TableKind::None;

    bool is_frame() const noexcept { return std::holds_alternative<Frame>(kind); }
};

}  // namespace brindle
