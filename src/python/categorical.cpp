#include "python/categorical.hpp"

#include <cmath>
#include <cstring>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "python/numpy_api.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

// Names looked up once per categorical column, not per cell: looked up by
// text rather than interned, to keep this reader to its own file.
Result<PyRef> attr(PyObject* obj, const char* name) {
    PyRef out = PyRef::steal(PyObject_GetAttrString(obj, name));
    BRINDLE_FAIL_IF(!out);
    return out;
}

// An attribute that may be missing: null, and no error, then.
Result<PyRef> maybe_attr(PyObject* obj, const char* name) {
    PyRef out = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!out) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
        PyErr_Clear();
    }
    return out;
}

bool is_code_type(int type_num) noexcept {
    switch (type_num) {
        case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
            return true;
        default:
            return false;
    }
}

// A 1-D array of exactly `length` elements of `type_num`, or null.
PyArrayObject* vector_of(PyObject* obj, std::size_t length) noexcept {
    if (!PyArray_CheckExact(obj)) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIMS(a)[0]) != length) return nullptr;
    if (!PyArray_ISNBO(PyArray_DESCR(a)->byteorder)) return nullptr;
    return a;
}

}  // namespace

Result<bool> is_str_categorical(PyObject* pandas, PyObject* dtype) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef categorical_dtype, maybe_attr(pandas, "CategoricalDtype"));
    if (!categorical_dtype || reinterpret_cast<PyObject*>(Py_TYPE(dtype)) != categorical_dtype.get()) return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef categories, attr(dtype, "categories"));
    if (categories.get() == Py_None) return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef categories_dtype, attr(categories.get(), "dtype"));
    if (PyArray_DescrCheck(categories_dtype.get()))
        return reinterpret_cast<PyArray_Descr*>(categories_dtype.get())->type_num == NPY_OBJECT;
    BRINDLE_ASSIGN_OR_RETURN(PyRef string_dtype, maybe_attr(pandas, "StringDtype"));
    if (!string_dtype || reinterpret_cast<PyObject*>(Py_TYPE(categories_dtype.get())) != string_dtype.get())
        return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef na, attr(categories_dtype.get(), "na_value"));
    return PyFloat_CheckExact(na.get()) && std::isnan(PyFloat_AS_DOUBLE(na.get()));
}

Result<std::unique_ptr<CategoricalColumn>> CategoricalColumn::make(PyObject* series, std::size_t rows) {
    using Out = std::unique_ptr<CategoricalColumn>;
    BRINDLE_ASSIGN_OR_RETURN(PyRef array, attr(series, "array"));
    BRINDLE_ASSIGN_OR_RETURN(PyRef codes, attr(array.get(), "codes"));
    PyArrayObject* c = vector_of(codes.get(), rows);
    if (c == nullptr || !is_code_type(PyArray_DESCR(c)->type_num) || !PyArray_ISALIGNED(c)) return Out();
    const int item_size = static_cast<int>(PyArray_ITEMSIZE(c));
    if (item_size != 1 && item_size != 2 && item_size != 4 && item_size != 8) return Out();

    // What astype(object) takes the cells from: the categories' own
    // astype(object), whose elements must all be exact str.
    BRINDLE_ASSIGN_OR_RETURN(PyRef categories, attr(array.get(), "categories"));
    BRINDLE_ASSIGN_OR_RETURN(PyRef category_array, attr(categories.get(), "array"));
    BRINDLE_ASSIGN_OR_RETURN(PyRef astype, attr(category_array.get(), "astype"));
    PyRef objects = PyRef::steal(PyObject_CallOneArg(astype.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    BRINDLE_FAIL_IF(!objects);
    const Py_ssize_t count = PyObject_Length(categories.get());
    BRINDLE_FAIL_IF(count < 0);
    PyArrayObject* o = vector_of(objects.get(), static_cast<std::size_t>(count));
    if (o == nullptr || PyArray_DESCR(o)->type_num != NPY_OBJECT) return Out();
    const char* items = static_cast<const char*>(PyArray_DATA(o));
    for (Py_ssize_t j = 0; j != count; ++j) {
        PyObject* item;
        std::memcpy(&item, items + j * PyArray_STRIDES(o)[0], sizeof item);
        if (item == nullptr || !PyUnicode_CheckExact(item)) return Out();
    }

    Out col(new CategoricalColumn());
    col->data_ = static_cast<const char*>(PyArray_DATA(c));
    col->stride_ = PyArray_STRIDES(c)[0];
    col->item_size_ = item_size;
    col->rows_ = rows;
    col->count_ = static_cast<std::size_t>(count);
    // Usually row 0; a column with no category at all stays numeric NaN in
    // `values`, which astype(object) reads as it does.
    col->first_valid_ = rows;
    for (std::size_t r = 0; r != rows; ++r) {
        std::int64_t code = 0;
        switch (col->item_size_) {
            case 1: { std::int8_t v; std::memcpy(&v, col->data_ + r * col->stride_, 1); code = v; break; }
            case 2: { std::int16_t v; std::memcpy(&v, col->data_ + r * col->stride_, 2); code = v; break; }
            case 4: { std::int32_t v; std::memcpy(&v, col->data_ + r * col->stride_, 4); code = v; break; }
            default: { std::int64_t v; std::memcpy(&v, col->data_ + r * col->stride_, 8); code = v; break; }
        }
        if (code >= 0) {
            col->first_valid_ = r;
            break;
        }
    }
    if (col->first_valid_ == rows) return Out();
    col->used_ = std::make_unique<std::atomic<std::uint8_t>[]>(col->count_);
    col->codes_ = std::move(codes);
    col->categories_ = std::move(objects);
    return col;
}

template <class Code>
bool CategoricalColumn::read_codes(double* out) {
    std::atomic<bool> wrong{false};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows_, 1 << 15), [&](const auto& range) {
        bool trailing = false;
        bool bad = false;
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
            Code code;
            std::memcpy(&code, data_ + static_cast<std::ptrdiff_t>(r) * stride_, sizeof code);
            if (code >= 0) {
                const auto j = static_cast<std::size_t>(code);
                if (j >= count_) {
                    bad = true;
                    continue;
                }
                // Read first: once set, the flag's line stays shared among
                // the threads instead of bouncing between them.
                if (used_[j].load(std::memory_order_relaxed) == 0) used_[j].store(1, std::memory_order_relaxed);
                put_label_index(out + r, j);
            } else if (code == -1) {
                const bool lead = r < first_valid_;
                trailing |= !lead;
                put_label_index(out + r, count_ + (lead ? 0 : 1));
            } else {
                bad = true;
            }
        }
        if (trailing) trailing_missing_.store(true, std::memory_order_relaxed);
        if (bad) wrong.store(true, std::memory_order_relaxed);
    });
    return !wrong.load(std::memory_order_relaxed);
}

bool CategoricalColumn::read(double* out) {
    switch (item_size_) {
        case 1: return read_codes<std::int8_t>(out);
        case 2: return read_codes<std::int16_t>(out);
        case 4: return read_codes<std::int32_t>(out);
        default: return read_codes<std::int64_t>(out);
    }
}

Status CategoricalColumn::list(PagedVector<std::string_view>& strings, std::vector<LocalIndices>& local) {
    // Local index j < count_ is category j; count_ the missing cells before
    // the first category, count_ + 1 those after it.
    std::vector<std::uint64_t> head(count_ + 2, 0);
    auto* o = reinterpret_cast<PyArrayObject*>(categories_.get());
    const char* items = static_cast<const char*>(PyArray_DATA(o));
    for (std::size_t j = 0; j != count_; ++j) {
        if (used_[j].load(std::memory_order_relaxed) == 0) continue;
        PyObject* item;
        std::memcpy(&item, items + static_cast<std::ptrdiff_t>(j) * PyArray_STRIDES(o)[0], sizeof item);
        const PyRef str = PyRef::borrow(item);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(str.get(), &size);
        std::string_view view;
        if (text != nullptr) {
            // The str's own UTF-8, which lives as long as categories_ does.
            view = std::string_view(text, static_cast<std::size_t>(size));
        } else {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PyError::fetch();
            PyErr_Clear();
            std::string& repaired = made_.make();
            BRINDLE_TRY_STATUS(append_utf8_surrogatepass(str.get(), repaired));
            view = repaired;
        }
        head[j] = strings.size();
        strings.push_back(view);
    }
    if (first_valid_ > 0) {
        head[count_] = strings.size();
        strings.push_back(std::string_view("NaN"));  // a NaN read while the column was numeric
    }
    if (trailing_missing_.load(std::memory_order_relaxed)) {
        head[count_ + 1] = strings.size();
        strings.push_back(std::string_view("nan"));  // str() of a float NaN
    }
    local.clear();
    local.push_back(LocalIndices{0, std::move(head), 0});
    return Status::success();
}

}  // namespace brindle
