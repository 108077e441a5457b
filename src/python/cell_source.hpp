// The cell source of a scan: an array's cells read from its buffer where
// that is safe, subscripted otherwise.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "python/numpy_api.hpp"
#include "python/pyref.hpp"
#include "python/worker_reads.hpp"

namespace brindle {

// Where the cells of a 2-D buffer are, read once on the interpreter's thread
// so that workers need not touch the array object.
struct CellBuffer {
    const char* base = nullptr;
    npy_intp row_stride = 0;
    npy_intp col_stride = 0;

    const char* at(std::size_t row, std::size_t col) const noexcept {
        return base + static_cast<npy_intp>(row) * row_stride + static_cast<npy_intp>(col) * col_stride;
    }
};

// Reads cell (row, col) of the cell source. For an exact NumPy array whose
// own dimensions are the `shape` the input reported, the cells are read from
// its buffer: an object array yields the very objects subscription returns,
// and a bool, integer or float array gives the float64 that converting the
// scalar that subscription returns would give. Anything else (another type,
// an array that disagrees with the reported shape, or one that code run by a
// cell has reshaped) is subscripted, and a cell outside it fails there.
class CellSource {
public:
    CellSource(PyObject* src, std::size_t rows, std::size_t cols) : src_(src), rows_(rows), cols_(cols) {
        if (!PyArray_CheckExact(src)) return;
        array_ = reinterpret_cast<PyArrayObject*>(src);
        if (!has_shape(array_, rows, cols)) return;
        PyArray_Descr* descr = PyArray_DESCR(array_);
        if (descr->type_num == NPY_OBJECT) {
            object_ = true;
        } else if (PyArray_ISNBO(descr->byteorder) && static_cast<std::size_t>(PyArray_ITEMSIZE(array_)) == element_size(descr->type_num)) {
            // No Python code can run while a numeric array is scanned, so its
            // layout stays fixed for the whole scan.
            numeric_ = numeric_reader(descr->type_num);
        }
    }

    // The cell object borrowed from an object array's buffer, or null when
    // the cell must be subscripted. The layout is read afresh on every call:
    // code run by an earlier cell may have reshaped the array.
    PyObject* borrowed(std::size_t row, std::size_t col) const noexcept {
        if (!object_ || PyArray_NDIM(array_) != 2 || PyArray_DESCR(array_)->type_num != NPY_OBJECT) return nullptr;
        const npy_intp* dims = PyArray_DIMS(array_);
        if (row >= static_cast<std::size_t>(dims[0]) || col >= static_cast<std::size_t>(dims[1])) return nullptr;
        return object_in_cell(cell_address(row, col));
    }

    // A new reference to source[(row, col)], or null with an exception set.
    PyObject* subscript(std::size_t row, std::size_t col) const {
        PyRef key = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(col)));
        if (!key) return nullptr;
        return PyObject_GetItem(src_, key.get());
    }

    // The array's buffer as it is now.
    CellBuffer buffer() const noexcept {
        return CellBuffer{static_cast<const char*>(PyArray_DATA(array_)), PyArray_STRIDES(array_)[0],
                          PyArray_STRIDES(array_)[1]};
    }

    // An object array of exactly the reported shape, whose cells can be
    // read from its buffer. Checked afresh: code run by a cell may have
    // reshaped or resized it.
    bool object_matrix() const noexcept {
        return object_ && PyArray_DESCR(array_)->type_num == NPY_OBJECT && has_shape(array_, rows_, cols_);
    }

    // The reader of a bool, integer or float array, else null.
    using NumericReader = double (*)(const char*);
    NumericReader numeric() const noexcept { return numeric_; }

private:
    static bool has_shape(PyArrayObject* array, std::size_t rows, std::size_t cols) noexcept {
        if (PyArray_NDIM(array) != 2) return false;
        const npy_intp* dims = PyArray_DIMS(array);
        return static_cast<std::size_t>(dims[0]) == rows && static_cast<std::size_t>(dims[1]) == cols;
    }
    // The byte size the reader of `type_num` assumes.
    static std::size_t element_size(int type_num) noexcept {
        switch (type_num) {
            case NPY_BOOL: return sizeof(npy_bool);
            case NPY_BYTE: case NPY_UBYTE: return 1;
            case NPY_SHORT: case NPY_USHORT: case NPY_HALF: return 2;
            case NPY_INT: case NPY_UINT: return sizeof(npy_int);
            case NPY_LONG: case NPY_ULONG: return sizeof(npy_long);
            case NPY_LONGLONG: case NPY_ULONGLONG: return sizeof(npy_longlong);
            case NPY_FLOAT: return sizeof(npy_float);
            case NPY_DOUBLE: return sizeof(npy_double);
            default: return 0;
        }
    }
    const char* cell_address(std::size_t row, std::size_t col) const noexcept {
        const npy_intp* strides = PyArray_STRIDES(array_);
        return static_cast<const char*>(PyArray_DATA(array_)) + static_cast<npy_intp>(row) * strides[0] +
               static_cast<npy_intp>(col) * strides[1];
    }
    template <class T>
    static double read_as(const char* p) {
        T value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<double>(value);
    }
    // IEEE binary16 to double; every half value is exact in a double.
    static double read_half(const char* p) {
        std::uint16_t h;
        std::memcpy(&h, p, sizeof h);
        const double sign = (h & 0x8000) ? -1.0 : 1.0;
        const int exponent = (h >> 10) & 0x1F;
        const int mantissa = h & 0x3FF;
        if (exponent == 0x1F) {  // infinities and NaNs, payload kept
            const std::uint64_t bits = (static_cast<std::uint64_t>(h & 0x8000) << 48) |
                                       0x7FF0000000000000ull | (static_cast<std::uint64_t>(mantissa) << 42);
            double out;
            std::memcpy(&out, &bits, sizeof out);
            return out;
        }
        if (exponent == 0) return sign * std::ldexp(mantissa, -24);
        return sign * std::ldexp(mantissa + 1024, exponent - 25);
    }
    static NumericReader numeric_reader(int type_num) {
        switch (type_num) {
            case NPY_BOOL: return &read_as<npy_bool>;
            case NPY_BYTE: return &read_as<npy_byte>;
            case NPY_UBYTE: return &read_as<npy_ubyte>;
            case NPY_SHORT: return &read_as<npy_short>;
            case NPY_USHORT: return &read_as<npy_ushort>;
            case NPY_INT: return &read_as<npy_int>;
            case NPY_UINT: return &read_as<npy_uint>;
            case NPY_LONG: return &read_as<npy_long>;
            case NPY_ULONG: return &read_as<npy_ulong>;
            case NPY_LONGLONG: return &read_as<npy_longlong>;
            case NPY_ULONGLONG: return &read_as<npy_ulonglong>;
            case NPY_HALF: return &read_half;
            case NPY_FLOAT: return &read_as<npy_float>;
            case NPY_DOUBLE: return &read_as<npy_double>;
            default: return nullptr;
        }
    }

    PyObject* src_;
    std::size_t rows_;
    std::size_t cols_;
    PyArrayObject* array_ = nullptr;
    bool object_ = false;
    NumericReader numeric_ = nullptr;
};

}  // namespace brindle
