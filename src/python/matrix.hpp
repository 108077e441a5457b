// Allocation of the float64 matrices that leave the driver.
#pragma once

#include <optional>

#include <cstddef>

#include "python/pyref.hpp"

namespace brindle {

// rows x cols float64 values held in a NumPy array that this module created
// and nobody else references, so result building may hand it out as is.
// The column path fills it row-major, or column-major for a DataFrame; the
// pass-through keeps the input's C or Fortran order. A `borrowed` matrix is
// instead the input array itself, only to be read during the call.
struct Matrix {
    PyRef array;
    std::size_t rows = 0;
    std::size_t cols = 0;
    bool fortran = false;
    bool borrowed = false;

    double* data() const noexcept;
};

// Whether `count` items of `size` bytes could fit in this machine's memory.
// Sizes come from an object's `shape`, which may claim anything; a request
// beyond physical memory fails as MemoryError before anything is allocated.
bool fits_in_memory(std::size_t count, std::size_t size) noexcept;

// Whether a rows x cols float64 matrix can be represented and could fit in
// memory.
bool matrix_fits(std::size_t rows, std::size_t cols) noexcept;

// A zero-filled rows x cols matrix, row-major or (`fortran`) column-major.
// MemoryError when the size cannot be represented or allocated.
Result<Matrix> zero_matrix(std::size_t rows, std::size_t cols, bool fortran = false);

// A 2-D float64 array that is C- or Fortran-contiguous and aligned, as a
// borrowed matrix over its own buffer; nothing for any other layout.
std::optional<Matrix> borrow_float64_array(PyObject* array);

// Copies a 2-D float64 array, keeping C or Fortran order (a strided input
// gives C order); every value keeps its (row, column) position.
Result<Matrix> copy_float64_array(PyObject* array);

// A 1-D float64 view of matrix column c, which keeps the matrix's array
// alive.
Result<PyRef> matrix_column(const Matrix& m, std::size_t c);

}  // namespace brindle
