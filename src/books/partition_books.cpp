#include "books/partition_books.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "books/fitted_encoder.hpp"
#include "books/lookup_step.hpp"
#include "python/cell_text.hpp"
#include "python/errors.hpp"
#include "python/table_out.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

// ---- runs ------------------------------------------------------------------

// A run being built: labels appended in ascending byte order.
struct RunBuilder {
    std::string bytes;
    std::vector<std::uint64_t> ends;

    void add(std::string_view label) {
        bytes.append(label);
        ends.push_back(bytes.size());
    }

    Result<PyRef> to_python() const {
        PyRef blob = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        PyRef offsets = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ends.data()),
                                                               static_cast<Py_ssize_t>(ends.size() * sizeof(std::uint64_t))));
        if (!blob || !offsets) return PyError::fetch();
        PyRef run = PyRef::steal(PyTuple_Pack(2, blob.get(), offsets.get()));
        if (!run) return PyError::fetch();
        return run;
    }
};

// A run read from Python: views into its two bytes objects, which `owner`
// keeps alive (bytes are immutable, so nothing can change them meanwhile).
struct RunView {
    PyRef owner;
    const char* bytes = nullptr;
    std::size_t size = 0;
    const std::uint64_t* ends = nullptr;
    std::size_t count = 0;

    std::string_view operator[](std::size_t i) const noexcept {
        const std::uint64_t start = i == 0 ? 0 : ends[i - 1];
        return std::string_view(bytes + start, ends[i] - start);
    }
};

PyError value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return PyError::fetch();
}

// Checks what a worker will trust: two bytes objects, whole uint64 ends that
// ascend within the bytes, and labels strictly ascending (so distinct).
Result<RunView> read_run(PyObject* obj) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2 || !PyBytes_Check(PyTuple_GET_ITEM(obj, 0)) ||
        !PyBytes_Check(PyTuple_GET_ITEM(obj, 1)))
        return value_error("a run is a tuple of two bytes objects: the labels and their end offsets");
    RunView run;
    run.owner = PyRef::borrow(obj);
    PyObject* blob = PyTuple_GET_ITEM(obj, 0);
    PyObject* offsets = PyTuple_GET_ITEM(obj, 1);
    run.bytes = PyBytes_AS_STRING(blob);
    run.size = static_cast<std::size_t>(PyBytes_GET_SIZE(blob));
    const std::size_t offset_bytes = static_cast<std::size_t>(PyBytes_GET_SIZE(offsets));
    if (offset_bytes % sizeof(std::uint64_t) != 0) return value_error("a run's end offsets are not whole uint64s");
    run.count = offset_bytes / sizeof(std::uint64_t);
    // PyBytes data follows the object header, 8-aligned in CPython; checked all the
    // same, since the offsets are read in place.
    const char* raw = PyBytes_AS_STRING(offsets);
    if (reinterpret_cast<std::uintptr_t>(raw) % alignof(std::uint64_t) != 0)
        return value_error("a run's end offsets are not aligned");
    run.ends = reinterpret_cast<const std::uint64_t*>(raw);
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i != run.count; ++i) {
        if (run.ends[i] < previous || run.ends[i] > run.size) return value_error("a run's end offsets do not ascend within its bytes");
        previous = run.ends[i];
    }
    if (run.count != 0 && run.ends[run.count - 1] != run.size) return value_error("a run's bytes go past its last label");
    for (std::size_t i = 1; i < run.count; ++i)
        if (!(run[i - 1] < run[i])) return value_error("a run's labels are not distinct and in ascending byte order");
    return run;
}

// The sorted, distinct labels of `labels` without the markers.
RunBuilder run_of(std::vector<std::string_view>& labels) {
    // std::string_view compares as unsigned bytes (char_traits<char>::lt), a
    // prefix first: the byte order of the books.
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    RunBuilder run;
    for (std::string_view label : labels)
        if (!is_marker(label)) run.add(label);
    return run;
}

// The run of texts stored back to back in `texts`, text i ending at ends[i].
RunBuilder run_of_texts(const std::string& texts, const std::vector<std::size_t>& ends) {
    std::vector<std::string_view> labels;
    labels.reserve(ends.size());
    for (std::size_t i = 0; i != ends.size(); ++i) {
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        labels.emplace_back(texts.data() + start, ends[i] - start);
    }
    return run_of(labels);
}

// One truth value per item of a sequence.
Result<std::vector<bool>> truths(PyObject* obj) {
    PyRef seq = PyRef::steal(PySequence_Tuple(obj));
    if (!seq) return PyError::fetch();
    std::vector<bool> out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
        const int truth = PyObject_IsTrue(PyTuple_GET_ITEM(seq.get(), i));
        if (truth < 0) return PyError::fetch();
        out.push_back(truth != 0);
    }
    return out;
}

// ---- _survey ---------------------------------------------------------------

// The fresh coding of a fit, noting which columns were text and where their
// text began.
class NotingStep final : public CodingStep {
public:
    Result<bool> code(ColumnScan& scan, double* matrix, const OUT& out, Interrupts& interrupts,
                      std::optional<CodeBooks>& books) override {
        is_text = scan.is_text;
        first_text = scan.first_text;
        noted = true;
        return fresh_coding().code(scan, matrix, out, interrupts, books);
    }
    bool float64_passes_through() const noexcept override { return fresh_coding().float64_passes_through(); }

    bool noted = false;
    std::vector<std::uint8_t> is_text;
    std::vector<std::size_t> first_text;
};

// Per column c of the matrix m after a fresh coding: (first text row or
// None, head, tail). A text column's head is the run of the labels of its
// rows before the first text row (number texts), its tail that of the rest.
// A numeric column has no tail; its head is the run of its number texts
// when `wanted`, else empty.
Result<PyRef> survey_column(const DriverResult& result, const NotingStep& noted, std::size_t c, bool wanted) {
    const Matrix& m = result.matrix;
    const double* data = m.data();
    auto at = [&](std::size_t r) { return data[m.fortran ? c * m.rows + r : r * m.cols + c]; };
    const bool text = noted.noted && c < noted.is_text.size() && noted.is_text[c] != 0;
    RunBuilder head;
    RunBuilder tail;
    PyRef first;
    if (text) {
        if (!result.books) return internal_failure("a text column without books");
        const auto found = result.books->reverse_books.find(c);
        if (found == result.books->reverse_books.end()) return internal_failure("a text column without a book");
        const CodeToLabel& book = found->second;
        const std::size_t f = std::min(noted.first_text[c], m.rows);
        // Bit 1: a code of the head; bit 2: of the tail. Codes ascend with the
        // labels' byte order, so walking them in order gives both runs sorted.
        std::vector<std::uint8_t> seen(book.size(), 0);
        for (std::size_t r = 0; r != m.rows; ++r) {
            const double v = at(r);
            if (std::isnan(v)) continue;  // a marker
            if (!(v >= 0.0 && v < static_cast<double>(seen.size())))
                return internal_failure("a code outside its column's book");
            const auto code = static_cast<std::size_t>(v);
            seen[code] |= r < f ? 1 : 2;
        }
        for (std::size_t k = 0; k != seen.size(); ++k) {
            if (seen[k] & 1) head.add(book.at(k));
            if (seen[k] & 2) tail.add(book.at(k));
        }
        first = PyRef::steal(PyLong_FromSize_t(f));
        if (!first) return PyError::fetch();
    } else {
        first = PyRef::borrow(Py_None);
        if (wanted) {
            // Distinct values first: a column of numbers repeats most of them.
            std::vector<double> values(m.rows);
            for (std::size_t r = 0; r != m.rows; ++r) values[r] = at(r);
            auto bits = [](double x) {
                std::uint64_t b;
                std::memcpy(&b, &x, sizeof b);
                return b;
            };
            std::sort(values.begin(), values.end(), [&](double x, double y) { return bits(x) < bits(y); });
            values.erase(std::unique(values.begin(), values.end(), [&](double x, double y) { return bits(x) == bits(y); }),
                         values.end());
            std::string texts;
            std::vector<std::size_t> ends;
            for (double v : values) {
                number_before_text(v, texts);
                ends.push_back(texts.size());
            }
            head = run_of_texts(texts, ends);
        }
    }
    BRINDLE_ASSIGN_OR_RETURN(PyRef head_run, head.to_python());
    BRINDLE_ASSIGN_OR_RETURN(PyRef tail_run, tail.to_python());
    PyRef entry = PyRef::steal(PyTuple_Pack(3, first.get(), head_run.get(), tail_run.get()));
    if (!entry) return PyError::fetch();
    return entry;
}

// _survey(X, wanted) -> tuple per column of (first text row or None, head
// run, tail run). X is read and coded as a fit reads it; `wanted` holds one
// truth value per column: whether a column of numbers reports its number
// texts.
Result<PyRef> survey(PyObject* x, PyObject* wanted_obj) {
    BRINDLE_ASSIGN_OR_RETURN(const std::vector<bool> wanted, truths(wanted_obj));
    NotingStep step;
    BRINDLE_ASSIGN_OR_RETURN(DriverResult result, read_input(x, /*may_borrow=*/false, step));
    const std::size_t cols = result.matrix.cols;
    if (wanted.size() != cols)
        return value_error("wanted has " + std::to_string(wanted.size()) + " entries for " + std::to_string(cols) +
                           " columns");
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(cols)));
    if (!out) return PyError::fetch();
    for (std::size_t c = 0; c != cols; ++c) {
        BRINDLE_ASSIGN_OR_RETURN(PyRef entry, survey_column(result, step, c, wanted[c]));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(c), entry.release());
    }
    return out;
}

// ---- _first_texts -----------------------------------------------------------

// The reading of a fit without its coding: per column, the row where its
// text begins, and whether the rows before it hold a number that has a
// label (any number but those whose text is a marker).
class FirstTextStep final : public CodingStep {
public:
    explicit FirstTextStep(const std::vector<bool>& wanted) : wanted_(wanted) {}

    Result<bool> code(ColumnScan& scan, double* matrix, const OUT&, Interrupts&, std::optional<CodeBooks>&) override {
        first.assign(scan.cols, kNone);
        headful.assign(scan.cols, 0);
        for (std::size_t c = 0; c != scan.cols; ++c) {
            if (scan.is_text[c]) {
                const std::size_t f = std::min(scan.first_text[c], scan.rows);
                first[c] = f;
                for (std::size_t r = 0; r != f && !headful[c]; ++r) {
                    const std::uint64_t j = list_index_at(scan, r, c, matrix);
                    if (j >= scan.strings[c].size()) return internal_failure("a cell outside its column's list");
                    headful[c] = !is_marker(scan.strings[c][j]);
                }
            } else if (c < wanted_.size() && wanted_[c]) {
                headful[c] = has_labelled_number(scan, c, matrix);
            }
        }
        return true;
    }
    // Every input is read as cells, a float64 array too.
    bool float64_passes_through() const noexcept override { return false; }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> first;  // kNone for a column of numbers
    std::vector<std::uint8_t> headful;

private:
    static bool has_labelled_number(const ColumnScan& scan, std::size_t c, const double* matrix) {
        std::string text;
        std::uint64_t last = 0;
        for (std::size_t r = 0; r != scan.rows; ++r) {
            const double v = matrix[r * scan.row_step() + c * scan.col_step()];
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            if (r != 0 && bits == last) continue;  // runs of one value (NaN above all) are read once
            last = bits;
            text.clear();
            number_before_text(v, text);
            if (!is_marker(text)) return true;
        }
        return false;
    }

    const std::vector<bool>& wanted_;
};

// _first_texts(X, wanted) -> tuple per column of (first text row or None,
// whether the rows before it hold a number with a label). X is read as a fit
// reads it, and not coded; `wanted` as for _survey: whether a column of
// numbers is asked about its numbers (else False).
Result<PyRef> first_texts(PyObject* x, PyObject* wanted_obj) {
    BRINDLE_ASSIGN_OR_RETURN(const std::vector<bool> wanted, truths(wanted_obj));
    FirstTextStep step(wanted);
    BRINDLE_ASSIGN_OR_RETURN(DriverResult result, read_input(x, /*may_borrow=*/false, step));
    const std::size_t cols = result.matrix.cols;
    if (wanted.size() != cols)
        return value_error("wanted has " + std::to_string(wanted.size()) + " entries for " + std::to_string(cols) +
                           " columns");
    if (step.first.size() != cols) return internal_failure("a read that was not noted");
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(cols)));
    if (!out) return PyError::fetch();
    for (std::size_t c = 0; c != cols; ++c) {
        PyRef first = step.first[c] == FirstTextStep::kNone ? PyRef::borrow(Py_None)
                                                            : PyRef::steal(PyLong_FromSize_t(step.first[c]));
        if (!first) return PyError::fetch();
        PyRef entry = PyRef::steal(PyTuple_Pack(2, first.get(), step.headful[c] ? Py_True : Py_False));
        if (!entry) return PyError::fetch();
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(c), entry.release());
    }
    return out;
}

// ---- _str_run --------------------------------------------------------------

// _str_run(cells) -> the run of the cells' str() texts, as a text column
// reads a cell (lone surrogates repaired), markers left out.
Result<PyRef> str_run(PyObject* cells) {
    PyRef seq = PyRef::steal(PySequence_Tuple(cells));
    if (!seq) return PyError::fetch();
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    std::string texts;
    std::vector<std::size_t> ends;
    ends.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef text = PyRef::steal(PyObject_Str(PyTuple_GET_ITEM(seq.get(), i)));  // our tuple keeps the cell
        if (!text) return PyError::fetch();
        BRINDLE_TRY_STATUS(append_utf8(text.get(), texts));
        ends.push_back(texts.size());
    }
    return run_of_texts(texts, ends).to_python();
}

// ---- _merge_runs -----------------------------------------------------------

// _merge_runs(runs) -> their union, one k-way merge of the sorted runs.
Result<PyRef> merge_runs(PyObject* runs_obj) {
    PyRef seq = PyRef::steal(PySequence_Tuple(runs_obj));
    if (!seq) return PyError::fetch();
    std::vector<RunView> runs;
    std::size_t bytes = 0;
    std::size_t count = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
        BRINDLE_ASSIGN_OR_RETURN(RunView run, read_run(PyTuple_GET_ITEM(seq.get(), i)));
        bytes += run.size;
        count += run.count;
        runs.push_back(std::move(run));
    }
    // The heap holds (label, run) at each run's next position; the smallest
    // label comes out first, and equal labels come out one after another.
    struct Head {
        std::string_view label;
        std::size_t run;
    };
    auto later = [](const Head& a, const Head& b) { return a.label > b.label; };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heap(later);
    std::vector<std::size_t> next(runs.size(), 0);
    for (std::size_t k = 0; k != runs.size(); ++k)
        if (runs[k].count != 0) heap.push({runs[k][0], k});
    RunBuilder merged;
    merged.bytes.reserve(bytes);
    merged.ends.reserve(count);
    std::string_view last;  // into its run, which stays alive
    while (!heap.empty()) {
        const Head top = heap.top();
        heap.pop();
        if (merged.ends.empty() || top.label != last) {
            merged.add(top.label);
            last = top.label;
        }
        const std::size_t k = top.run;
        if (++next[k] != runs[k].count) heap.push({runs[k][next[k]], k});
    }
    return merged.to_python();
}

// ---- _run_labels -----------------------------------------------------------

// _run_labels(run) -> its labels as a list of str.
Result<PyRef> run_labels(PyObject* run_obj) {
    BRINDLE_ASSIGN_OR_RETURN(RunView run, read_run(run_obj));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(run.count)));
    if (!list) return PyError::fetch();
    for (std::size_t i = 0; i != run.count; ++i) {
        const std::string_view label = run[i];
        PyObject* str = PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "strict");
        if (str == nullptr) return PyError::fetch();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str);
    }
    return list;
}

// ---- _fitted_from_runs -----------------------------------------------------

// _fitted_from_runs(runs) -> a FittedEncoder with one entry per column: None
// for a column of numbers, else the run of its labels, code i for label i.
// The runs come from brindle's own reading, so their labels are valid UTF-8
// and no markers; both are checked all the same, as categories are.
Result<PyRef> fitted_from_runs(PyObject* runs_obj) {
    PyRef seq = PyRef::steal(PySequence_Tuple(runs_obj));
    if (!seq) return PyError::fetch();
    FittedBooks fitted;
    fitted.columns = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.get()));
    for (std::size_t c = 0; c != fitted.columns; ++c) {
        PyObject* item = PyTuple_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(c));
        if (item == Py_None) continue;
        BRINDLE_ASSIGN_OR_RETURN(RunView run, read_run(item));
        std::vector<std::uint64_t> ends(run.ends, run.ends + run.count);
        auto arena = std::make_shared<LabelArena>(std::move(ends));
        for (std::size_t i = 0; i != run.count; ++i) {
            const std::string_view label = run[i];
            if (is_marker(label) || !is_valid_utf8(label))
                return value_error("column " + std::to_string(c) + ": a run's label is a marker or not UTF-8");
            arena->fill(i, label);
        }
        LabelToCode forward(arena, {});
        fitted.books.text_columns.push_back(c);
        fitted.books.reverse_books.emplace(c, forward.reverse());
        fitted.books.forward_books.emplace(c, std::move(forward));
    }
    return new_fitted_encoder(std::move(fitted));
}

PyObject* py_survey(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_survey() takes X and wanted");
        return nullptr;
    }
    return result_entry([&] { return survey(args[0], args[1]); });
}

PyObject* py_first_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_first_texts() takes X and wanted");
        return nullptr;
    }
    return result_entry([&] { return first_texts(args[0], args[1]); });
}

PyObject* py_str_run(PyObject*, PyObject* cells) {
    return result_entry([&] { return str_run(cells); });
}

PyObject* py_merge_runs(PyObject*, PyObject* runs) {
    return result_entry([&] { return merge_runs(runs); });
}

PyObject* py_run_labels(PyObject*, PyObject* run) {
    return result_entry([&] { return run_labels(run); });
}

PyObject* py_fitted_from_runs(PyObject*, PyObject* runs) {
    return result_entry([&] { return fitted_from_runs(runs); });
}

#define BRINDLE_FUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

}  // namespace

PyMethodDef partition_books_methods[] = {
    {"_survey", BRINDLE_FUNCTION(py_survey), METH_FASTCALL,
     "_survey(X, wanted, /)\n--\n\nPer column of X: (first text row or None, head run, tail run)."},
    {"_first_texts", BRINDLE_FUNCTION(py_first_texts), METH_FASTCALL,
     "_first_texts(X, wanted, /)\n--\n\nPer column of X: (first text row or None, whether the rows before it hold "
     "a labelled number)."},
    {"_str_run", BRINDLE_FUNCTION(py_str_run), METH_O,
     "_str_run(cells, /)\n--\n\nThe run of the cells' str() texts, markers left out."},
    {"_merge_runs", BRINDLE_FUNCTION(py_merge_runs), METH_O, "_merge_runs(runs, /)\n--\n\nThe union of sorted runs."},
    {"_run_labels", BRINDLE_FUNCTION(py_run_labels), METH_O, "_run_labels(run, /)\n--\n\nA run's labels as str."},
    {"_fitted_from_runs", BRINDLE_FUNCTION(py_fitted_from_runs), METH_O,
     "_fitted_from_runs(runs, /)\n--\n\nA FittedEncoder from one run (or None) per column."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace brindle
