// The two sizes of a 2-D input, as its `shape` reports them.
#pragma once

#include <cstddef>

#include "python/pyref.hpp"

namespace brindle {

struct Shape {
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// obj.shape as two sizes; a missing or malformed `shape` is an internal
// failure.
Result<Shape> read_shape(PyObject* obj);

}  // namespace brindle
