// The container kind of the input, which result building rebuilds.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace brindle {

// The container kind of the input and what it takes to rebuild it.
struct OUT {
    struct Array {};
    struct Frame {
        std::vector<std::string> columns;  // UTF-8 column names, in column order
    };
    std::variant<Array, Frame> kind;

    bool is_frame() const noexcept { return std::holds_alternative<Frame>(kind); }
};

}  // namespace brindle
