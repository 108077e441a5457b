#include "python/matrix.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

#include <sys/mman.h>
#include <unistd.h>

#include "python/numpy_api.hpp"

namespace brindle {

double* Matrix::data() const noexcept {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

bool fits_in_memory(std::size_t count, std::size_t size) noexcept {
    static const std::size_t physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page <= 0) return std::numeric_limits<std::size_t>::max();
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
    }();
    return size == 0 || count <= physical / size;
}

bool matrix_fits(std::size_t rows, std::size_t cols) noexcept {
    constexpr std::size_t kMaxBytes = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());
    return rows <= kMaxBytes && cols <= kMaxBytes &&
           (cols == 0 || (rows <= kMaxBytes / sizeof(double) / cols && fits_in_memory(rows * cols, sizeof(double))));
}

namespace {

Result<Matrix> new_matrix(std::size_t rows, std::size_t cols, bool fortran, bool zeroed) {
    if (!matrix_fits(rows, cols)) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyObject* array = zeroed ? PyArray_ZEROS(2, dims, NPY_DOUBLE, fortran ? 1 : 0)
                             : PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, nullptr, 0,
                                           fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr);
    BRINDLE_FAIL_IF(array == nullptr);
    Matrix m;
    m.array = PyRef::steal(array);
    m.rows = rows;
    m.cols = cols;
    m.fortran = fortran;
    return m;
}

// Maps the pages of a fresh buffer in one call. Pool threads that first
// touch scattered pages of it fault one page at a time and contend in the
// kernel, which costs more than the scan itself on a virtual machine.
// Best effort: the contents are unchanged whether or not it works.
void populate(void* data, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
    constexpr std::size_t kMinBytes = std::size_t{1} << 20;
    const long page = sysconf(_SC_PAGESIZE);
    if (bytes < kMinBytes || page <= 0) return;
    const auto mask = static_cast<std::uintptr_t>(page) - 1;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + mask) & ~mask;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~mask;
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace

Result<Matrix> zero_matrix(std::size_t rows, std::size_t cols, bool fortran) {
    BRINDLE_TRY_STATUS(ensure_numpy());
    BRINDLE_ASSIGN_OR_RETURN(Matrix m, new_matrix(rows, cols, fortran, /*zeroed=*/true));
    populate(m.data(), rows * cols * sizeof(double));
    return m;
}

std::optional<Matrix> borrow_float64_array(PyObject* obj) {
    auto* src = reinterpret_cast<PyArrayObject*>(obj);
    const bool c_order = PyArray_IS_C_CONTIGUOUS(src);
    const bool fortran = !c_order && PyArray_IS_F_CONTIGUOUS(src);
    if (!(c_order || fortran) || !PyArray_ISALIGNED(src)) return std::nullopt;
    Matrix m;
    m.array = PyRef::borrow(obj);
    m.rows = static_cast<std::size_t>(PyArray_DIMS(src)[0]);
    m.cols = static_cast<std::size_t>(PyArray_DIMS(src)[1]);
    m.fortran = fortran;
    m.borrowed = true;
    return m;
}

Result<Matrix> copy_float64_array(PyObject* obj) {
    auto* src = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(src);
    const auto rows = static_cast<std::size_t>(dims[0]);
    const auto cols = static_cast<std::size_t>(dims[1]);
    const bool c_order = PyArray_IS_C_CONTIGUOUS(src);
    const bool fortran = !c_order && PyArray_IS_F_CONTIGUOUS(src);
    BRINDLE_ASSIGN_OR_RETURN(Matrix m, new_matrix(rows, cols, fortran, /*zeroed=*/false));
    const char* base = static_cast<const char*>(PyArray_DATA(src));
    double* out = m.data();
    if (c_order || fortran) {
        std::memcpy(out, base, rows * cols * sizeof(double));
        return m;
    }
    // A strided view (possibly with negative or zero strides): gather into C order.
    const npy_intp* strides = PyArray_STRIDES(src);
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = base + static_cast<npy_intp>(r) * strides[0];
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(out + r * cols + c, row + static_cast<npy_intp>(c) * strides[1], sizeof(double));
        }
    }
    return m;
}

Result<PyRef> matrix_column(const Matrix& m, std::size_t c) {
    npy_intp dims[1] = {static_cast<npy_intp>(m.rows)};
    npy_intp strides[1] = {static_cast<npy_intp>((m.fortran ? 1 : m.cols) * sizeof(double))};
    double* data = m.data() + c * (m.fortran ? m.rows : 1);
    PyRef view = PyRef::steal(
        PyArray_New(&PyArray_Type, 1, dims, NPY_DOUBLE, strides, data, 0, NPY_ARRAY_BEHAVED, nullptr));
    BRINDLE_FAIL_IF(!view);
    // Takes the reference it is given, even when it fails.
    BRINDLE_FAIL_IF(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(m.array.get())) < 0);
    return view;
}

}  // namespace brindle
