// NumPy's C API, reached through its documented capsule import.
//
// Every file that uses the table includes this header; numpy_api.cpp owns it.
#pragma once

#include "python/pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL brindle_ARRAY_API
#ifndef BRINDLE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace brindle {

// Imports the table once per process and checks that the running NumPy has
// a supported ABI (NumPy 2 or older), C-API feature level (1.15 or newer) and
// little-endian byte order. Later calls are free.
Status ensure_numpy() noexcept;

}  // namespace brindle
