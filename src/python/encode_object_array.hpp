// The `values` road of the driver: scan, code on the pool, gather the books.
#pragma once

#include <optional>

#include "lib/engine/engine.hpp"
#include "python/coding_step.hpp"
#include "python/driver_result.hpp"
#include "python/interrupts.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"
#include "python/shape.hpp"

namespace brindle {

// Scans every cell of a 2-D array or DataFrame (its `values`) into columns,
// codes them on the pool with `step` and returns the matrix with the books it
// made. `shape`, when given, is obj's shape already read.
Result<DriverResult> encode_object_array(PyObject* obj, OUT out, std::optional<Shape> shape = std::nullopt,
                                         CodingStep& step = fresh_coding());

}  // namespace brindle
