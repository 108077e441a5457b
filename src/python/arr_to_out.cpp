// Result building: the matrix becomes a float64 array or DataFrame, and for
// decode the stored books put labels back in place of codes.
#include "driver.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"

namespace brindle {

Result<PyRef> arr_to_out(Matrix matrix, OUT out, const CodeBooks* books) {
    if (!out.is_frame() && books == nullptr) {
        // The matrix array is this call's own and referenced nowhere else, so it
        // is the new float64 result itself.
        return std::move(matrix.array);
    }
    return make_error(PyExc_NotImplementedError, "DataFrame results and decoding are not built yet");
}

}  // namespace brindle
