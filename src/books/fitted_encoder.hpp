// The FittedEncoder type and its UnknownLabelError.
#pragma once

#include "python/pyref.hpp"

namespace brindle {

// Created on first use and kept for the life of the process. Borrowed; null
// with an exception set when creation fails.
PyObject* fitted_encoder_type() noexcept;
PyObject* unknown_label_error_type() noexcept;

struct FittedBooks;

// A new FittedEncoder holding `books`.
Result<PyRef> new_fitted_encoder(FittedBooks books);

// A float or an int (not a bool) as a double; TypeError naming `name` else.
Result<double> parse_number(PyObject* value, const char* name);

}  // namespace brindle
