// The encode/decode driver and result building, as the Encoder sees them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "engine/engine.hpp"
#include "pyref.hpp"

namespace brindle {

// The code books of one encoding: both maps hold exactly the indices of
// text_columns. An empty CodeBooks (no text columns) differs from none.
struct CodeBooks {
    std::vector<std::size_t> text_columns;  // ascending
    absl::flat_hash_map<std::size_t, LabelToCode> forward_books;
    absl::flat_hash_map<std::size_t, CodeToLabel> reverse_books;
};

// The container kind of the input and what it takes to rebuild it.
struct OUT {
    struct Array {};
    struct Frame {
        std::vector<std::string> columns;  // UTF-8 column names, in column order
    };
    std::variant<Array, Frame> kind;

    bool is_frame() const noexcept { return std::holds_alternative<Frame>(kind); }
};

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

struct DriverResult {
    OUT out;
    Matrix matrix;
    std::optional<CodeBooks> books;  // absent after the float64 pass-through
};

// Reads `obj` (a NumPy array, memmap or DataFrame) and codes it. With
// `may_borrow` (the caller only reads the matrix, and runs no Python code
// before it is done), a contiguous float64 array passes through borrowed
// instead of copied.
Result<DriverResult> pyany_to_vec(PyObject* obj, bool may_borrow = false);

// Builds the Python result from the driver's matrix: a float64 array or
// DataFrame, or, with `books`, the labels put back. Consumes `matrix` and `out`.
Result<PyRef> arr_to_out(Matrix matrix, OUT out, const CodeBooks* books);

}  // namespace brindle
