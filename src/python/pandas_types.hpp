// Recognising pandas: its types, taken from the module the process has
// already imported (a frame can only be pandas' if pandas is imported).
#pragma once

#include <optional>

#include "python/pyref.hpp"

namespace brindle {

struct Pandas {
    PyRef module;
    PyRef frame_type;
    PyRef series_type;
    PyRef string_dtype;
    PyRef na;
};

// Nothing when pandas has not been imported, or when what is imported under
// its name lacks one of these (then no frame is a pandas one).
Result<std::optional<Pandas>> imported_pandas();

}  // namespace brindle
