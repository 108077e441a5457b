// What the driver hands back to encode and decode.
#pragma once

#include <optional>

#include "lib/engine/engine.hpp"
#include "python/matrix.hpp"
#include "python/out.hpp"

namespace brindle {

// The input's container kind, its float64 matrix, and the books of its
// text columns.
struct DriverResult {
    OUT out;
    Matrix matrix;
    std::optional<CodeBooks> books;  // absent after the float64 pass-through
};

}  // namespace brindle
