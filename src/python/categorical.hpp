// A pandas categorical column of str categories, coded from its codes.
//
// `values` gives such a column as the categories' str objects taken by code,
// and a float NaN where the code is -1. Every cell that is not missing is a
// str, so the column is text from its first such row on: a missing cell
// before it is the number NaN (text "NaN"), one after it str(nan) ("nan").
// The texts are made once per category that some row uses, and every cell
// holds its category's code as a local index (LocalIndices) that the coding
// step maps into the list; categories no row uses never enter it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "lib/engine/engine.hpp"
#include "python/arrow_c.hpp"
#include "python/label_store.hpp"
#include "python/pyref.hpp"

namespace brindle {

class CategoricalColumn {
public:
    // Calling thread. A column of the dtype that `is_str_categorical`
    // accepted, read from its codes, or null when it must be read as its
    // astype(object): categories not all exact str, or no row with a
    // category (the column is then numeric in `values`).
    static Result<std::unique_ptr<CategoricalColumn>> make(PyObject* series, std::size_t rows);

    // Calling thread, after the last Python code before the pool job reads
    // the codes: takes their buffer's address and layout again (Python code
    // may have replaced them). False when they no longer fit, or when the
    // categories' Arrow null counts lie or their text is not UTF-8: then
    // only `values` may read the frame, as pandas does or failing as it fails.
    bool bind() noexcept;

    // On the pool: writes every cell's local index; plain memory only. False
    // when a code is out of range (then the frame goes to `values`).
    bool read(double* out);

    // Calling thread, after read(): the column's list and its one block of
    // local indices. The list views texts that this object keeps.
    Status list(PagedVector<std::string_view>& strings, std::vector<LocalIndices>& local);

    // The row of the column's first text: its first cell with a category
    // (the missing cells before it are the number NaN).
    std::size_t first_text() const noexcept { return first_valid_; }

private:
    CategoricalColumn() = default;

    template <class Code>
    bool read_codes(double* out);
    // The first row holding a category, or rows_ when none does.
    std::size_t first_category_row() const noexcept;
    Result<bool> take_arrow(PyObject* series, PyObject* categories, std::size_t count);
    Result<bool> take_objects(PyObject* categories, std::size_t count);
    // Taken, so that nothing else reads the categories, and never bound.
    bool unreadable() noexcept {
        unreadable_ = true;
        return true;
    }

    PyRef codes_;       // 1-D integer codes, read in place
    PyRef categories_;  // 1-D object array of exact str, or else:
    ArrowChunks arrow_;  // the categories' Arrow strings, none missing
    const char* data_ = nullptr;
    std::ptrdiff_t stride_ = 0;
    int item_size_ = 0;  // of a code: 1, 2, 4 or 8 bytes
    std::size_t rows_ = 0;
    std::size_t count_ = 0;        // categories
    std::size_t first_valid_ = 0;  // the first row with a category
    std::unique_ptr<std::atomic<std::uint8_t>[]> used_;
    std::atomic<bool> trailing_missing_{false};
    LabelStore made_;  // texts of categories holding lone surrogates
    bool unreadable_ = false;
};

// Whether `dtype` is pandas' CategoricalDtype with categories that `values`
// boxes as objects whose missing fill is the float NaN: an object dtype, or a
// pandas string dtype whose na_value is NaN. Such a column makes `values` an
// object array.
Result<bool> is_str_categorical(PyObject* pandas, PyObject* dtype);

}  // namespace brindle
