// The column names of a DataFrame.
#pragma once

#include <string>
#include <vector>

#include "python/pyref.hpp"

namespace brindle {

// The column names of a DataFrame as UTF-8 texts: its str labels as they
// are, or else its integer labels as decimal text.
Result<std::vector<std::string>> read_column_names(PyObject* frame);

}  // namespace brindle
