// Reading the cells of the scan's input: the cell source, the storage labels
// point into, and the per-column sharing of list entries.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numpy_api.hpp"
#include "pyref.hpp"
#include "pytext.hpp"

namespace brindle {

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

    // An object array of exactly the reported shape, whose cells can be
    // read from its buffer. Checked afresh: code run by a cell may have
    // reshaped or resized it.
    bool object_matrix() const noexcept {
        return object_ && PyArray_DESCR(array_)->type_num == NPY_OBJECT && has_shape(array_, rows_, cols_);
    }

    // The reader of a bool, integer or float array, else null.
    using NumericReader = double (*)(const char*);
    NumericReader numeric() const noexcept { return numeric_; }
    double number(std::size_t row, std::size_t col) const noexcept { return numeric_(cell_address(row, col)); }

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

// What a cell is to a column that holds no text yet, for the kinds read
// without running Python code.
enum class CellKind { Number, Text, NeedsCode };

// float(item) for the kinds read without Python code; a str or None has no
// float conversion and turns its column to text.
inline CellKind pure_number(PyObject* item, double& value) noexcept {
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
        return CellKind::Number;
    }
    if (PyUnicode_CheckExact(item) || item == Py_None) return CellKind::Text;
    if (PyBool_Check(item)) {
        value = item == Py_True ? 1.0 : 0.0;
        return CellKind::Number;
    }
    if (PyLong_CheckExact(item)) {
        // For an exact int this only reads its digits.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow == 0) {
            value = static_cast<double>(v);  // rounds to nearest even, as int.__float__ does
            return CellKind::Number;
        }
    }
    return CellKind::NeedsCode;
}

// Owns everything the scanned labels point into for the length of a call.
struct LabelKeep {
    std::vector<PyRef> strs;  // str objects whose UTF-8 data labels view
    LabelStore made;          // labels made here (numbers as text, repaired text)
    // Labels made on the pool, one store per task. Held by pointer: moving a
    // store may move its labels, and views point into them.
    std::vector<std::unique_ptr<LabelStore>> more;
};

// Entries keyed by object address. Keys are kept in insertion order and
// found through an index of 4-byte positions: open addressing with linear
// probing, at most half full. Addresses are spread by Fibonacci hashing, so
// objects allocated at regular strides do not cluster. A key costs 8 bytes
// plus two to four index slots, and 8 more for its entry unless the table is
// positional: there the entry of each key is its position.
class ObjectEntries {
public:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

    explicit ObjectEntries(bool positional = false) noexcept : positional_(positional) {}

    // The entry of `key`, or kNone.
    std::uint64_t find(const PyObject* key) const noexcept {
        if (slots_.empty()) return kNone;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            const std::uint32_t position = slots_[i];
            if (position == 0) return kNone;
            if (keys_[position - 1] == key) return positional_ ? position - 1 : entries_[position - 1];
        }
    }
    // Adds `key`, which must not be present; in a positional table `entry`
    // must be size(). May throw std::bad_alloc.
    void insert(const PyObject* key, std::uint64_t entry) {
        // Positions are stored plus one in 32 bits.
        if (keys_.size() + 1 >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        if (!positional_) entries_.push_back(entry);
        keys_.push_back(key);
        place(key, static_cast<std::uint32_t>(keys_.size()));
    }
    std::size_t size() const noexcept { return keys_.size(); }
    // Every key, in insertion order.
    std::span<const PyObject* const> keys() const noexcept { return keys_; }
    // Frees the index and the entries; the keys stay listed, but find() no
    // longer sees them.
    void drop_index() noexcept {
        slots_ = {};
        entries_ = {};
        mask_ = 0;
        shift_ = 63;
    }

private:
    std::size_t slot_of(const PyObject* key) const noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void place(const PyObject* key, std::uint32_t position) noexcept {
        std::size_t i = slot_of(key);
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = position;
    }
    void grow() {
        const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
        slots_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t p = 0; p != keys_.size(); ++p) place(keys_[p], static_cast<std::uint32_t>(p + 1));
    }

    std::vector<const PyObject*> keys_;
    std::vector<std::uint64_t> entries_;  // by position, unless positional
    std::vector<std::uint32_t> slots_;    // position + 1 in keys_, or 0
    std::size_t mask_ = 0;
    int shift_ = 63;
    bool positional_;
};

// A text column's list entries made so far, and which cell objects already
// have one. Cells holding one object share its entry, so a label repeated
// through shared objects (as most readers produce) is listed, and later
// hashed and compared, once: a repeat costs one pointer lookup.
struct TextColumn {
    // See ObjectEntries for a positional column.
    explicit TextColumn(bool positional = false) noexcept : entry_of(positional) {}

    ObjectEntries entry_of;
    const PyObject* last = nullptr;  // the last object looked up, a key of entry_of
    std::uint64_t last_entry = 0;
    std::size_t review_at = 1 << 14;
    bool sharing = true;

    // The entry of `item` if it has one; updates `last`.
    bool lookup(const PyObject* item) noexcept {
        if (item == last) return true;
        const std::uint64_t entry = entry_of.find(item);
        if (entry == ObjectEntries::kNone) return false;
        last = item;
        last_entry = entry;
        return true;
    }
    void add(const PyObject* item, std::uint64_t entry, std::size_t cells) {
        entry_of.insert(item, entry);
        last = item;
        last_entry = entry;
        if (entry_of.size() >= review_at) review(cells);
    }

    // Stops sharing in a column whose `cells` text cells so far rarely repeat
    // an object: there the lookups cost more than they save. Results are the
    // same either way. The keys listed so far stay in entry_of.keys().
    void review(std::size_t cells) {
        const std::size_t repeats = cells - entry_of.size();
        if (repeats * 32 < cells) {
            sharing = false;
            entry_of.drop_index();
            last = nullptr;
        } else {
            review_at *= 4;
        }
    }
};

}  // namespace brindle
