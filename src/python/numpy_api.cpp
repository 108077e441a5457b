#define BRINDLE_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include "python/errors.hpp"

namespace brindle {
namespace {

constexpr unsigned kMaxAbiVersion = 0x02000000;   // NumPy 2
constexpr unsigned kMinFeatureVersion = 0x0000000c;  // NumPy 1.15

}  // namespace

Status ensure_numpy() noexcept {
    // The table is process-wide and never released; a failed import is
    // retried by the next call.
    static bool checked = false;
    if (checked) return Status::success();
    if (PyArray_ImportNumPyAPI() < 0) return PyError::fetch();
    if (PyArray_GetNDArrayCVersion() > kMaxAbiVersion) {
        return make_error(PyExc_ImportError, "brindle supports NumPy ABI versions up to 2");
    }
    if (PyArray_GetNDArrayCFeatureVersion() < kMinFeatureVersion) {
        return make_error(PyExc_ImportError, "brindle needs NumPy 1.15 or newer");
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        return make_error(PyExc_ImportError, "brindle needs a little-endian NumPy");
    }
    checked = true;
    return Status::success();
}

}  // namespace brindle
