#include "python/categorical.hpp"

#include <cmath>
#include <cstring>

#include "python/cell_text.hpp"
#include "python/interned.hpp"
#include "python/numpy_api.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

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
    BRINDLE_ASSIGN_OR_RETURN(PyRef categorical_dtype, py::maybe_attr(pandas, Name::CategoricalDtype));
    if (!categorical_dtype || reinterpret_cast<PyObject*>(Py_TYPE(dtype)) != categorical_dtype.get()) return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef categories, py::attr(dtype, Name::categories));
    if (categories.get() == Py_None) return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef categories_dtype, py::attr(categories.get(), Name::dtype));
    if (PyArray_DescrCheck(categories_dtype.get()))
        return reinterpret_cast<PyArray_Descr*>(categories_dtype.get())->type_num == NPY_OBJECT;
    BRINDLE_ASSIGN_OR_RETURN(PyRef string_dtype, py::maybe_attr(pandas, Name::StringDtype));
    if (!string_dtype || reinterpret_cast<PyObject*>(Py_TYPE(categories_dtype.get())) != string_dtype.get())
        return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef na, py::attr(categories_dtype.get(), Name::na_value));
    return PyFloat_CheckExact(na.get()) && std::isnan(PyFloat_AS_DOUBLE(na.get()));
}

std::size_t CategoricalColumn::first_category_row() const noexcept {
    for (std::size_t r = 0; r != rows_; ++r) {
        const char* at = data_ + static_cast<std::ptrdiff_t>(r) * stride_;
        std::int64_t code = 0;
        switch (item_size_) {
            case 1: { std::int8_t v; std::memcpy(&v, at, 1); code = v; break; }
            case 2: { std::int16_t v; std::memcpy(&v, at, 2); code = v; break; }
            case 4: { std::int32_t v; std::memcpy(&v, at, 4); code = v; break; }
            default: { std::int64_t v; std::memcpy(&v, at, 8); code = v; break; }
        }
        if (code >= 0) return r;
    }
    return rows_;
}

Result<std::unique_ptr<CategoricalColumn>> CategoricalColumn::make(PyObject* series, std::size_t rows) {
    using Out = std::unique_ptr<CategoricalColumn>;
    BRINDLE_ASSIGN_OR_RETURN(PyRef array, py::attr(series, Name::array));
    Out col(new CategoricalColumn());
    BRINDLE_ASSIGN_OR_RETURN(col->codes_, py::attr(array.get(), Name::codes));
    col->rows_ = rows;
    if (!col->bind()) return Out();
    // Usually row 0; a column with no category at all stays numeric NaN in
    // `values`, which astype(object) reads as it does.
    col->first_valid_ = col->first_category_row();

    BRINDLE_ASSIGN_OR_RETURN(PyRef categories, py::attr(array.get(), Name::categories));
    const Py_ssize_t count = PyObject_Length(categories.get());
    BRINDLE_FAIL_IF(count < 0);
    col->count_ = static_cast<std::size_t>(count);
    // Arrow categories are checked even when no row uses one: `values`
    // converts them all, and fails on one it cannot read.
    BRINDLE_ASSIGN_OR_RETURN(bool taken, col->take_arrow(series, categories.get(), col->count_));
    if (col->unreadable_) return col;  // bind() refuses it: the frame goes to `values`
    if (col->first_valid_ == rows) return Out();
    if (!taken) {
        BRINDLE_ASSIGN_OR_RETURN(taken, col->take_objects(categories.get(), col->count_));
        if (!taken) return Out();
    }
    col->used_ = std::make_unique<std::atomic<std::uint8_t>[]>(col->count_);
    return col;
}

bool CategoricalColumn::bind() noexcept {
    if (unreadable_) return false;
    PyArrayObject* c = vector_of(codes_.get(), rows_);
    if (c == nullptr || !is_code_type(PyArray_DESCR(c)->type_num) || !PyArray_ISALIGNED(c)) return false;
    const int item_size = static_cast<int>(PyArray_ITEMSIZE(c));
    if (item_size != 1 && item_size != 2 && item_size != 4 && item_size != 8) return false;
    data_ = static_cast<const char*>(PyArray_DATA(c));
    stride_ = PyArray_STRIDES(c)[0];
    item_size_ = item_size;
    return true;
}

// Arrow-backed str categories, read in their buffers: `values` boxes each
// as the str of its UTF-8 bytes (as the Arrow road of a str column reads
// them), and making those 100,000 str objects would cost more than the
// whole rest of such a column.
Result<bool> CategoricalColumn::take_arrow(PyObject* series, PyObject* categories, std::size_t count) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef dtype, py::attr(categories, Name::dtype));
    if (PyArray_DescrCheck(dtype.get())) return false;
    BRINDLE_ASSIGN_OR_RETURN(PyRef storage, py::maybe_attr(dtype.get(), Name::storage));
    if (!storage || !PyUnicode_Check(storage.get()) || PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") != 0)
        return false;
    // A Series of the categories, of the column's own class, exports them.
    PyObject* series_type = reinterpret_cast<PyObject*>(Py_TYPE(series));
    BRINDLE_ASSIGN_OR_RETURN(PyRef method, py::maybe_attr(series_type, Name::arrow_c_stream));
    if (!method) return false;  // pandas before 3.0
    PyRef wrapped = PyRef::steal(PyObject_CallOneArg(series_type, categories));
    BRINDLE_FAIL_IF(!wrapped);
    BRINDLE_ASSIGN_OR_RETURN(PyRef capsule, py::call_method(wrapped.get(), Name::arrow_c_stream));
    if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) return false;
    ArrowChunks chunks;
    BRINDLE_ASSIGN_OR_RETURN(const ArrowImport read, chunks.import(capsule.get()));
    if (read == ArrowImport::Miscounted) return unreadable();
    if (read != ArrowImport::Read || chunks.length() != count) return false;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i) {
            if (!ArrowChunks::valid(a, i)) return false;
            // Every category, used or not: `values` converts them all.
            if (!is_valid_utf8(chunks.text(a, i))) return unreadable();
        }
    }
    arrow_ = std::move(chunks);
    return true;
}

// What astype(object) takes the cells from: the categories' own
// astype(object), whose elements must all be exact str.
Result<bool> CategoricalColumn::take_objects(PyObject* categories, std::size_t count) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef category_array, py::attr(categories, Name::array));
    BRINDLE_ASSIGN_OR_RETURN(PyRef objects, py::call_method(category_array.get(), Name::astype,
                                                            reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    PyArrayObject* o = vector_of(objects.get(), count);
    if (o == nullptr || PyArray_DESCR(o)->type_num != NPY_OBJECT) return false;
    const char* items = static_cast<const char*>(PyArray_DATA(o));
    for (std::size_t j = 0; j != count; ++j) {
        PyObject* item;
        std::memcpy(&item, items + static_cast<std::ptrdiff_t>(j) * PyArray_STRIDES(o)[0], sizeof item);
        if (item == nullptr || !PyUnicode_CheckExact(item)) return false;
    }
    categories_ = std::move(objects);
    return true;
}

Status CategoricalColumn::list(PagedVector<std::string_view>& strings, std::vector<LocalIndices>& local) {
    // Local index j < count_ is category j; count_ the missing cells before
    // the first category, count_ + 1 those after it.
    std::vector<std::uint64_t> head(count_ + 2, 0);
    if (!categories_) {
        std::size_t j = 0;
        for (std::size_t k = 0; k != arrow_.size(); ++k) {
            const ArrowArray& a = arrow_.chunk(k);
            for (std::int64_t i = 0; i < a.length; ++i, ++j) {
                if (used_[j].load(std::memory_order_relaxed) == 0) continue;
                head[j] = strings.size();
                strings.push_back(arrow_.text(a, i));
            }
        }
    }
    auto* o = reinterpret_cast<PyArrayObject*>(categories_.get());
    for (std::size_t j = 0; categories_ && j != count_; ++j) {
        if (used_[j].load(std::memory_order_relaxed) == 0) continue;
        PyObject* item;
        std::memcpy(&item, static_cast<const char*>(PyArray_DATA(o)) + static_cast<std::ptrdiff_t>(j) * PyArray_STRIDES(o)[0],
                    sizeof item);
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
        strings.push_back(missing_float_text(/*after_first_text=*/false));
    }
    if (trailing_missing_.load(std::memory_order_relaxed)) {
        head[count_ + 1] = strings.size();
        strings.push_back(missing_float_text(/*after_first_text=*/true));
    }
    local.clear();
    local.push_back(LocalIndices{0, std::move(head), 0});
    return Status::success();
}

}  // namespace brindle
