// The column path of the driver: column names, the cell scan and the coding.
#pragma once

#include <string>
#include <vector>

#include "driver.hpp"

namespace brindle {

// The column names of a DataFrame as UTF-8 texts: its str labels as they
// are, or else its integer labels as decimal text.
Result<std::vector<std::string>> read_column_names(PyObject* frame);

// Scans every cell of a 2-D array or DataFrame into columns, codes them on the
// pool and returns the matrix with a present CodeBooks.
Result<DriverResult> encode_object_array(PyObject* obj, OUT out);

}  // namespace brindle
