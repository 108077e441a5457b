// The column path: column names of a DataFrame, the cell-by-cell scan that
// decides which columns hold text, and the coding of all columns on the pool.
#include "scan.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "engine/text.hpp"
#include "errors.hpp"
#include "matrix.hpp"
#include "numpy_api.hpp"
#include "pytext.hpp"

namespace brindle {
namespace {

// ---- column names ------------------------------------------------------------

// First attempt: a non-str sequence of str.
Result<std::vector<std::string>> names_as_texts(PyObject* columns) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) {
        return make_error(PyExc_TypeError, "column names are not a sequence of str");
    }
    std::vector<std::string> names;
    const Py_ssize_t hint = PyObject_LengthHint(columns, 0);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        names.reserve(static_cast<std::size_t>(hint));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(columns));
    BRINDLE_FAIL_IF(!iter);
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) return make_error(PyExc_TypeError, "column name is not a str");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item.get(), &size);
        BRINDLE_FAIL_IF(data == nullptr);
        names.emplace_back(data, static_cast<std::size_t>(size));
    }
    BRINDLE_FAIL_IF(PyErr_Occurred());
    return names;
}

// Second attempt: columns.tolist() as signed 64-bit integers in decimal.
Result<std::vector<std::string>> names_as_integers(PyObject* columns) {
    PyRef list = PyRef::steal(PyObject_CallMethod(columns, "tolist", nullptr));
    BRINDLE_FAIL_IF(!list);
    if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
        return make_error(PyExc_TypeError, "columns.tolist() did not return a sequence");
    }
    std::vector<std::string> names;
    PyRef iter = PyRef::steal(PyObject_GetIter(list.get()));
    BRINDLE_FAIL_IF(!iter);
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        const long long value = PyLong_AsLongLong(item.get());
        BRINDLE_FAIL_IF(value == -1 && PyErr_Occurred());
        names.push_back(std::to_string(value));
    }
    BRINDLE_FAIL_IF(PyErr_Occurred());
    return names;
}

// ---- shape -------------------------------------------------------------------

struct Shape {
    std::size_t rows;
    std::size_t cols;
};

Result<Shape> read_shape(PyObject* obj) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) {
        PyErr_Clear();
        return internal_failure("the input has no readable 'shape'");
    }
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        return internal_failure("expected a two-dimensional input: 'shape' is not a pair");
    }
    std::size_t dims[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(shape.get(), i);
        if (!PyLong_Check(item)) return internal_failure("'shape' holds something other than integers");
        const std::size_t value = PyLong_AsSize_t(item);
        if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return internal_failure("'shape' holds a negative or oversized integer");
        }
        dims[i] = value;
    }
    return Shape{dims[0], dims[1]};
}

// ---- cell sources ------------------------------------------------------------

// Reads cell (row, col) of the cell source. For an exact NumPy array the
// cells are read from its buffer: an object array yields the very objects
// subscription returns, and a bool, integer or float array gives the float64
// that converting the scalar that subscription returns would give. Anything
// else, or an array that code run by a cell has reshaped, is subscripted.
class CellSource {
public:
    explicit CellSource(PyObject* src) : src_(src) {
        if (!PyArray_CheckExact(src)) return;
        array_ = reinterpret_cast<PyArrayObject*>(src);
        PyArray_Descr* descr = PyArray_DESCR(array_);
        if (descr->type_num == NPY_OBJECT) {
            object_ = true;
        } else if (PyArray_ISNBO(descr->byteorder) && PyArray_NDIM(array_) == 2) {
            // No Python code can run while a numeric array is scanned, so its
            // layout stays fixed for the whole scan.
            numeric_ = numeric_reader(descr->type_num);
        }
    }

    // The cell object borrowed from an object array's buffer, or null when
    // the cell must be subscripted. The layout is read afresh on every call:
    // code run by an earlier cell may have reshaped the array.
    PyObject* borrowed(std::size_t row, std::size_t col) const noexcept {
        if (!object_ || PyArray_NDIM(array_) != 2) return nullptr;
        const npy_intp* dims = PyArray_DIMS(array_);
        if (row >= static_cast<std::size_t>(dims[0]) || col >= static_cast<std::size_t>(dims[1])) return nullptr;
        PyObject* item;
        std::memcpy(&item, cell_address(row, col), sizeof item);
        return item != nullptr ? item : Py_None;
    }

    // A new reference to source[(row, col)], or null with an exception set.
    PyObject* subscript(std::size_t row, std::size_t col) const {
        PyRef key = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(col)));
        if (!key) return nullptr;
        return PyObject_GetItem(src_, key.get());
    }

    const char* data() const noexcept { return static_cast<const char*>(PyArray_DATA(array_)); }
    npy_intp stride(int axis) const noexcept { return PyArray_STRIDES(array_)[axis]; }

    // A 2-D object array whose cells can be read from its buffer.
    bool object_matrix() const noexcept { return object_ && PyArray_NDIM(array_) == 2; }

    // The reader of a bool, integer or float array, else null.
    using NumericReader = double (*)(const char*);
    NumericReader numeric() const noexcept { return numeric_; }
    double number(std::size_t row, std::size_t col) const noexcept { return numeric_(cell_address(row, col)); }
    bool in_bounds(std::size_t row, std::size_t col) const noexcept {
        const npy_intp* dims = PyArray_DIMS(array_);
        return row < static_cast<std::size_t>(dims[0]) && col < static_cast<std::size_t>(dims[1]);
    }

private:
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
    PyArrayObject* array_ = nullptr;
    bool object_ = false;
    NumericReader numeric_ = nullptr;
};

// ---- the scan ----------------------------------------------------------------

// Owns everything the scanned labels point into for the length of a call.
struct LabelKeep {
    std::vector<PyRef> strs;  // str objects whose UTF-8 data labels view
    LabelStore made;          // labels made here (numbers as text, repaired text)
};

PyError chained_internal_failure(std::string message) {
    PyError cause = PyError::fetch();
    PyRef text = PyRef::steal(PyObject_Str(cause.exc.get()));
    if (text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (data != nullptr) {
            message += ": ";
            message.append(data, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    PyError err = internal_failure(message);
    PyException_SetCause(err.exc.get(), cause.exc.release());
    return err;
}

// NOTE: Labels of exact str cells are views into the str objects' own UTF-8
// data. While every cell so far was read from an object array's buffer and
// handled without running Python code (exact str, float, int, bool, None),
// nothing can have changed the array, so the array keeps those objects alive
// and the scan takes no references. Before the first step that may run Python
// code (a user __float__ or __str__, a subscription, an allocation of a
// tracked object that may start a garbage collection), the scan "pins": it
// takes a reference to every str seen so far, and from then on to every str
// it views.
//
// When no cell needs Python code the visiting order cannot be observed, so an
// object array is first scanned row by row, which reads its buffer in memory
// order. At the first cell that would need Python code (or fail) that attempt
// is dropped unseen and the scan starts again column by column, the order in
// which the calls and the first error must happen.
class Scanner {
public:
    Scanner(PyObject* src, ColumnScan& scan, LabelKeep& keep) : cells_(src), scan_(scan), keep_(keep) {}

    Status run() {
        if (cells_.numeric() != nullptr) {
            for (col_ = 0; col_ < scan_.cols; ++col_) scan_numeric_column();
            return Status::success();
        }
        if (cells_.object_matrix() && try_row_by_row()) return Status::success();
        for (col_ = 0; col_ < scan_.cols; ++col_) {
            scan_.numbers[col_].reserve(scan_.rows);
            for (row_ = 0; row_ < scan_.rows; ++row_) BRINDLE_TRY_STATUS(scan_cell());
        }
        return Status::success();
    }

private:
    bool try_row_by_row() {
        tentative_ = true;
        for (std::size_t c = 0; c < scan_.cols; ++c) scan_.numbers[c].reserve(scan_.rows);
        // Nothing can reshape the array while no Python code runs.
        const char* base = cells_.data();
        const npy_intp row_stride = cells_.stride(0);
        const npy_intp col_stride = cells_.stride(1);
        for (row_ = 0; row_ < scan_.rows && !stopped_; ++row_) {
            const char* row = base + static_cast<npy_intp>(row_) * row_stride;
            for (col_ = 0; col_ < scan_.cols && !stopped_; ++col_) {
                PyObject* item;
                std::memcpy(&item, row + static_cast<npy_intp>(col_) * col_stride, sizeof item);
                // The two common cells inline: ASCII text in a text column, a float in a numeric one.
                if (item != nullptr && scan_.is_text[col_]) {
                    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) {
                        scan_.strings[col_].emplace_back(static_cast<const char*>(PyUnicode_DATA(item)),
                                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
                        continue;
                    }
                } else if (item != nullptr && PyFloat_CheckExact(item)) {
                    scan_.numbers[col_].push_back(PyFloat_AS_DOUBLE(item));
                    continue;
                }
                Status status = scan_cell();
                if (!status.ok()) {
                    (void)status.take_error();  // the column order decides which error is raised
                    stopped_ = true;
                }
            }
        }
        tentative_ = false;
        if (!stopped_) return true;
        stopped_ = false;
        scan_.reset(scan_.rows, scan_.cols);
        keep_.strs.clear();
        keep_.made = LabelStore();
        return false;
    }

    void scan_numeric_column() {
        auto& numbers = scan_.numbers[col_];
        numbers.reserve(scan_.rows);
        for (std::size_t row = 0; row < scan_.rows; ++row) numbers.push_back(cells_.number(row, col_));
    }

    // Called before a step that may run Python code: false in the row-by-row
    // attempt, which then stops; otherwise pins (see the note above).
    bool allow_code() {
        if (tentative_) {
            stopped_ = true;
            return false;
        }
        if (pinned_) return true;
        pinned_ = true;
        for (std::size_t c = 0; c <= col_ && c < scan_.cols; ++c) {
            if (!scan_.is_text[c]) continue;
            const std::size_t rows = c < col_ ? scan_.rows : row_;
            for (std::size_t r = 0; r < rows; ++r) {
                PyObject* item = cells_.borrowed(r, c);
                if (item != nullptr && PyUnicode_CheckExact(item)) keep_.strs.push_back(PyRef::borrow(item));
            }
        }
        return true;
    }

    Status scan_cell() {
        PyRef owned;
        PyObject* item = cells_.borrowed(row_, col_);
        if (item == nullptr) {
            if (!allow_code()) return Status::success();
            owned = PyRef::steal(cells_.subscript(row_, col_));
            if (!owned) return chained_internal_failure("could not read a cell");
            item = owned.get();
        }
        if (!scan_.is_text[col_]) {
            double value;
            switch (as_number(item, value)) {
                case Conversion::Number:
                    scan_.numbers[col_].push_back(value);
                    return Status::success();
                case Conversion::Stopped:
                    return Status::success();
                case Conversion::None:
                    switch_to_text();
                    break;
            }
        }
        std::string_view label;
        if (!text_of(item, label)) return chained_internal_failure("cant convert to str");
        if (!stopped_) scan_.strings[col_].push_back(label);
        return Status::success();
    }

    enum class Conversion { Number, None, Stopped };

    // The float conversion of a cell.
    Conversion as_number(PyObject* item, double& value) {
        if (PyFloat_CheckExact(item)) {
            value = PyFloat_AS_DOUBLE(item);
            return Conversion::Number;
        }
        if (PyUnicode_CheckExact(item) || item == Py_None) return Conversion::None;  // and no code runs
        if (PyBool_Check(item)) {
            value = item == Py_True ? 1.0 : 0.0;
            return Conversion::Number;
        }
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
                value = static_cast<double>(v);  // rounds to nearest even, as int.__float__ does
                return Conversion::Number;
            }
            PyErr_Clear();
        }
        if (!allow_code()) return Conversion::Stopped;
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return Conversion::None;
        }
        return Conversion::Number;
    }

    static bool has_surrogates(PyObject* str) noexcept {
        const int kind = PyUnicode_KIND(str);
        if (kind == PyUnicode_1BYTE_KIND) return false;
        const void* data = PyUnicode_DATA(str);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch >= 0xD800 && ch <= 0xDFFF) return true;
        }
        return false;
    }

    // The text form of a cell, str(item) in UTF-8. False with an exception set
    // on failure; sets stopped_ instead in the row-by-row attempt.
    bool text_of(PyObject* item, std::string_view& label) {
        if (PyUnicode_CheckExact(item)) {
            if (PyUnicode_IS_COMPACT_ASCII(item)) {
                label = std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
            } else if (has_surrogates(item)) {
                std::string& made = keep_.made.make();
                if (!append_utf8_surrogatepass(item, made).ok()) return false;
                label = made;
                return true;  // a copy: nothing to keep alive
            } else {
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(item, &size);
                if (data == nullptr) return false;
                label = std::string_view(data, static_cast<std::size_t>(size));
            }
            if (pinned_) keep_.strs.push_back(PyRef::borrow(item));
            return true;
        }
        // str() of these runs no Python code and allocates no tracked object.
        const bool pure = PyFloat_CheckExact(item) || PyLong_CheckExact(item) || PyBool_Check(item) ||
                          item == Py_None;
        if (!pure && !allow_code()) return true;
        PyRef text = PyRef::steal(PyObject_Str(item));
        if (!text) return false;
        std::string& made = keep_.made.make();
        if (!append_utf8(text.get(), made).ok()) return false;
        label = made;
        return true;
    }

    // Moves the numbers gathered so far into the column's texts, shortest form.
    void switch_to_text() {
        scan_.is_text[col_] = 1;
        std::vector<double> numbers = std::move(scan_.numbers[col_]);
        scan_.numbers[col_] = {};
        auto& strings = scan_.strings[col_];
        strings.reserve(scan_.rows);
        for (double value : numbers) {
            std::string& label = keep_.made.make();
            append_shortest_positional(value, label);
            strings.emplace_back(label);
        }
    }

    const CellSource cells_;
    ColumnScan& scan_;
    LabelKeep& keep_;
    std::size_t col_ = 0;
    std::size_t row_ = 0;
    bool pinned_ = false;
    bool tentative_ = false;  // the row-by-row attempt
    bool stopped_ = false;    // it met a cell that needs Python code, or an error
};

}  // namespace

Result<std::vector<std::string>> read_column_names(PyObject* frame) {
    PyRef columns = PyRef::steal(PyObject_GetAttrString(frame, "columns"));
    BRINDLE_FAIL_IF(!columns);
    Result<std::vector<std::string>> texts = names_as_texts(columns.get());
    if (texts.ok()) return texts;
    texts.take_error();  // discarded: the integer attempt decides
    return names_as_integers(columns.get());
}

Result<DriverResult> encode_object_array(PyObject* obj, OUT out) {
    BRINDLE_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj));
    BRINDLE_ASSIGN_OR_RETURN(Matrix matrix, zero_matrix(shape.rows, shape.cols));
    PyRef values;
    if (out.is_frame()) {
        values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
        if (!values) return chained_internal_failure("the DataFrame has no readable 'values'");
    }
    PyObject* src = values ? values.get() : obj;

    // The scan keeps two lists and a flag per column, whatever the row count.
    constexpr std::size_t kPerColumn =
        sizeof(std::vector<double>) + sizeof(std::vector<std::string_view>) + sizeof(std::uint8_t);
    if (!fits_in_memory(shape.cols, kPerColumn)) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
    ColumnScan scan;
    scan.reset(shape.rows, shape.cols);
    LabelKeep keep;
    BRINDLE_TRY_STATUS(Scanner(src, scan, keep).run());

    const auto holder = std::make_shared<const SendPtr>(matrix.data());
    std::vector<ColumnBooks> coded = encode_columns(scan, holder);
    // NOTE: the maps are sized by the text columns found, not by `cols`: a
    // shape can claim any number of columns, and a hash map whose reservation
    // fails is not safe to destroy.
    CodeBooks books;
    books.text_columns.reserve(coded.size());
    books.forward_books.reserve(coded.size());
    books.reverse_books.reserve(coded.size());
    for (ColumnBooks& column : coded) {
        books.text_columns.push_back(column.column);
        books.forward_books.emplace(column.column, std::move(column.forward));
        books.reverse_books.emplace(column.column, std::move(column.reverse));
    }
    return DriverResult{std::move(out), std::move(matrix), std::move(books)};
}

}  // namespace brindle
