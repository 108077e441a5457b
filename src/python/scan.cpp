// The cell-by-cell scan that decides which columns hold text.
#include "python/scan.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "python/block_scan.hpp"
#include "python/number_reader.hpp"
#include "python/cell_source.hpp"
#include "python/cell_text.hpp"
#include "python/errors.hpp"
#include "python/interrupts.hpp"
#include "python/object_entries.hpp"
#include "python/utf8.hpp"
#include "python/worker_reads.hpp"

namespace brindle {
namespace {

// An object array whose cells need no Python code is first scanned on the
// pool (see block_scan.cpp); the visiting order of such cells cannot be
// observed. Otherwise, or when that attempt meets a cell that needs Python
// code, the scan below runs column by column on the calling thread, the
// order in which the calls and the first error must happen.
//
// NOTE: Labels of exact str cells are views into the str objects' own UTF-8
// data. While every cell so far was handled without running Python code
// (exact str, float, int, bool, None read from an object array's buffer),
// nothing can have changed the array, so the array keeps those objects alive
// and the scan takes no references. Before the first step that may run Python
// code (a user __float__ or __str__, a subscription, an allocation of a
// tracked object that may start a garbage collection), the scan "pins": it
// takes a reference to every str it views and every object it keys an entry
// by, seen so far and from then on. A pinned object cannot be freed, so its
// address cannot come back as another object's.
//
// Numbers are written straight into the matrix, and a text cell gets the index
// of its label's entry in the column's list (see ColumnScan).
class Scanner {
public:
    Scanner(PyObject* src, ColumnScan& scan, LabelKeep& keep, double* matrix, Interrupts& interrupts)
        : cells_(src, scan.rows, scan.cols), scan_(scan), keep_(keep), matrix_(matrix), interrupts_(interrupts),
          text_(scan.cols) {}

    // Stops early, with success, once a Ctrl-C is noticed: the caller then
    // drops everything the scan made.
    Status run() {
        if (cells_.numeric() != nullptr) {
            read_numbers_in_blocks(cells_, scan_, matrix_, interrupts_);
            return Status::success();
        }
        if (cells_.object_matrix()) {
            if (scan_in_blocks(cells_.buffer(), scan_, keep_, matrix_, interrupts_)) return Status::success();
            if (interrupts_.noticed()) return Status::success();
            // Nothing it made is kept; every cell is written again below.
            scan_.reset(scan_.rows, scan_.cols);
            keep_.made = LabelStore();
            keep_.more.clear();
        }
        std::size_t cells = 0;
        for (col_ = 0; col_ < scan_.cols; ++col_) {
            for (row_ = 0; row_ < scan_.rows; ++row_) {
                if (interrupts_.noticed_every(cells)) return Status::success();
                BRINDLE_TRY_STATUS(scan_cell());
            }
        }
        return Status::success();
    }

private:
    double* cell(std::size_t row, std::size_t col) const noexcept {
        return matrix_ + row * scan_.row_step() + col * scan_.col_step();
    }

    // Bitwise, so every NaN payload (signalling ones too) survives.
    void put_number(std::size_t row, std::size_t col, double value) const noexcept {
        std::memcpy(cell(row, col), &value, sizeof value);
    }

    // Lists `label` for the current cell.
    std::uint64_t add_entry(std::string_view label) {
        PagedVector<std::string_view>& list = scan_.strings[col_];
        const std::uint64_t entry = list.size();
        list.push_back(label);
        put_label_index(cell(row_, col_), entry);
        return entry;
    }

    // Gives the current cell the entry of `item` if the column has one.
    bool shared_entry(const PyObject* item) {
        TextColumn& t = text_[col_];
        if (!t.sharing || !t.lookup(item)) return false;
        put_label_index(cell(row_, col_), t.last_entry);
        return true;
    }

    // Objects whose text is fixed by the object itself and made without
    // running Python code, so one entry serves every cell holding them. (An
    // int's text depends on the interpreter's digit limit, which code run by
    // a later cell may change.)
    static bool shareable(PyObject* item) noexcept {
        return PyUnicode_CheckExact(item) || PyFloat_CheckExact(item) || PyBool_Check(item) || item == Py_None;
    }

    // The current cell of a text column.
    Status text_cell(PyObject* item) {
        if (shared_entry(item)) return Status::success();
        std::string_view label;
        if (!text_of(item, label)) return chained_internal_failure("cant convert to str");
        TextColumn& t = text_[col_];
        const bool key = t.sharing && shareable(item);
        if (pinned_ && (key || PyUnicode_CheckExact(item))) keep_.strs.push_back(PyRef::borrow(item));
        const std::uint64_t entry = add_entry(label);
        // Every row so far holds text: the column switched before it or at it.
        if (key) t.add(item, entry, row_ + 1);
        mark_if_number(item, entry);
        return Status::success();
    }

    // A number read after its column's first text, whose value is known
    // without running code, is marked as one (only cells whose entry is
    // their own reach here: a shared entry was marked when first made).
    void mark_if_number(PyObject* item, std::uint64_t entry) {
        if (!scan_.mark_numbers) return;
        double value;
        if (pure_number(item, value) == CellKind::Number) scan_.mark_number(col_, entry, value);
    }

    // Called before a step that may run Python code: pins (see the note above).
    void allow_code() {
        if (pinned_) return;
        pinned_ = true;
        for (std::size_t c = 0; c <= col_ && c < scan_.cols; ++c) {
            if (!scan_.is_text[c]) continue;
            const TextColumn& t = text_[c];
            if (t.sharing) {
                // Every str of a sharing column is a key.
                for (const PyObject* key : t.entry_of.keys())
                    keep_.strs.push_back(PyRef::borrow(const_cast<PyObject*>(key)));
                continue;
            }
            const std::size_t rows = c < col_ ? scan_.rows : row_;
            for (std::size_t r = 0; r < rows; ++r) {
                PyObject* item = cells_.borrowed(r, c);
                if (item != nullptr && PyUnicode_CheckExact(item)) keep_.strs.push_back(PyRef::borrow(item));
            }
        }
    }

    // Cells whose float conversion and str() run no Python code.
    static bool runs_no_code(PyObject* item) noexcept {
        return PyUnicode_CheckExact(item) || PyFloat_CheckExact(item) || PyLong_CheckExact(item) ||
               PyBool_Check(item) || item == Py_None;
    }

    Status scan_cell() {
        PyRef owned;
        PyObject* item = cells_.borrowed(row_, col_);
        if (item == nullptr) {
            allow_code();
            owned = PyRef::steal(cells_.subscript(row_, col_));
            if (!owned) return chained_internal_failure("could not read a cell");
            item = owned.get();
        } else if (!runs_no_code(item)) {
            // The array's reference may be the cell's last, and the cell's
            // own code may drop it (a lazy proxy storing its value in its
            // place): hold one of ours until the cell is done.
            owned = PyRef::borrow(item);
        }
        return scan_item(item);
    }

    Status scan_item(PyObject* item) {
        if (!scan_.is_text[col_]) {
            double value;
            switch (as_number(item, value)) {
                case Conversion::Number:
                    put_number(row_, col_, value);
                    return Status::success();
                case Conversion::None:
                    switch_to_text();
                    break;
                case Conversion::Failed:
                    return PyError::fetch();
            }
        }
        return text_cell(item);
    }

    // Failed: the conversion raised something other than the refusal of a
    // value that is no number; the exception is pending.
    enum class Conversion { Number, None, Failed };

    // The float conversion of a cell.
    Conversion as_number(PyObject* item, double& value) {
        switch (pure_number(item, value)) {
            case CellKind::Number: return Conversion::Number;
            case CellKind::Text: return Conversion::None;  // and no code runs
            case CellKind::NeedsCode: break;
        }
        allow_code();
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            // An ordinary exception says the cell is no number. An interrupt,
            // an exit or running out of memory says nothing about the cell,
            // and is passed on.
            if (!pending_is_ordinary()) return Conversion::Failed;
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
    // on failure. The caller
    // pins a str whose data the label views.
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
            return true;
        }
        // Exact float, bool, None and int within 64 bits are made here, not by
        // PyObject_Str: it checks for signals, and a signal's handler is
        // Python code that may run before anything is pinned.
        if (pure_text(item, keep_.made, label)) return true;
        allow_code();
        PyRef text = PyRef::steal(PyObject_Str(item));
        if (!text) return false;
        std::string& made = keep_.made.make();
        if (!append_utf8(text.get(), made).ok()) return false;
        label = made;
        return true;
    }

    // Lists the numbers written so far in the current column as texts,
    // shortest form, in row order, and makes the column a text column.
    void switch_to_text() {
        scan_.is_text[col_] = 1;
        scan_.first_text[col_] = row_;
        const std::size_t row = row_;
        for (row_ = 0; row_ < row; ++row_) {
            double value;
            std::memcpy(&value, cell(row_, col_), sizeof value);
            std::string& label = keep_.made.make();
            number_before_text(value, label);
            scan_.mark_number(col_, add_entry(label), value);
        }
        row_ = row;
    }

    const CellSource cells_;
    ColumnScan& scan_;
    LabelKeep& keep_;
    double* const matrix_;
    Interrupts& interrupts_;
    std::vector<TextColumn> text_;
    std::size_t col_ = 0;
    std::size_t row_ = 0;
    bool pinned_ = false;
};

}  // namespace

Status scan_cells(PyObject* src, ColumnScan& scan, LabelKeep& keep, double* matrix, Interrupts& interrupts) {
    return Scanner(src, scan, keep, matrix, interrupts).run();
}

}  // namespace brindle
