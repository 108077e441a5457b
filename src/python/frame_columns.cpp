// The column road of a DataFrame.
//
// `values` interleaves every column into one array whose dtype depends on the
// frame's dtypes as a whole, and the scan reads that. When some column is of
// object or a pandas string dtype, `values` is an object array that holds a
// NumPy bool, integer or float column as Python bools, ints and floats (whose
// float64 is what the column's own elements convert to, read here in place)
// and every other column as its array's astype(object), which is what is read
// here: an object column's own array, an Arrow-backed string column's Arrow
// buffers (a valid element is the str of its UTF-8 bytes, a missing one the
// dtype's na_value), a categorical of str categories through its codes
// (categorical.hpp), and for pandas' other dtypes the array's astype(object).
// Any other frame reads `values`.
//
// Object cells are read by the pool scan only, which runs no Python code; a
// column holding any other cell sends the whole frame to `values`, so the
// Python code that cells run, and its order, stay those of the scan of
// `values`.
#include "python/frame_columns.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "python/arrow_c.hpp"
#include "python/block_scan.hpp"
#include "python/categorical.hpp"
#include "python/encode_object_array.hpp"
#include "python/cell_source.hpp"
#include "python/interned.hpp"
#include "python/interrupts.hpp"
#include "python/label_store.hpp"
#include "lib/engine/dedupe.hpp"
#include "lib/engine/hashing.hpp"
#include "lib/engine/pool.hpp"
#include "python/matrix.hpp"
#include "python/numpy_api.hpp"
#include "python/errors.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {

enum class Road {
    Number,  // a NumPy bool, integer or float column, read in place
    Object,  // an object array, read by the pool scan
    Arrow,   // Arrow string chunks
    Convert, // a pandas extension array, read as its astype(object)
    Categorical,  // str categories, read from the codes (categorical.hpp)
    Values,  // only `values` reads it
};

struct Column {
    Road road = Road::Values;
    PyRef dtype;
    PyRef series;
    PyRef array;  // Number and Object: a (rows, 1) view of the column's array
    ArrowChunks arrow;
    std::unique_ptr<CategoricalColumn> categorical;
    bool str_categories = false;  // a categorical that may be read from its codes
    // Arrow: a missing cell is a float NaN with these bits, or else pd.NA.
    bool na_is_float = false;
    double na_float = 0.0;
};

// pandas' types, from the module the process has already imported.
struct Pandas {
    PyRef module;
    PyRef frame_type;
    PyRef series_type;
    PyRef string_dtype;
    PyRef na;
};

// Nothing when pandas has not been imported (then no frame is a pandas one).
Result<std::optional<Pandas>> imported_pandas() {
    PyObject* name = interned(Name::pandas);
    BRINDLE_FAIL_IF(name == nullptr);
    PyRef mod = PyRef::steal(PyImport_GetModule(name));
    if (!mod) {
        BRINDLE_FAIL_IF(PyErr_Occurred());
        return std::optional<Pandas>();
    }
    // Something else under the name (None blocks the import): not pandas.
    if (!PyModule_Check(mod.get())) return std::optional<Pandas>();
    Pandas p;
    // A module without these names is not the pandas this reads.
    const auto get = [&](PyRef& out, Name name) -> Status {
        out = PyRef::steal(get_attr(mod.get(), name));
        if (!out && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        else BRINDLE_FAIL_IF(!out);
        return Status::success();
    };
    BRINDLE_TRY_STATUS(get(p.series_type, Name::Series));
    BRINDLE_TRY_STATUS(get(p.frame_type, Name::DataFrame));
    BRINDLE_TRY_STATUS(get(p.string_dtype, Name::StringDtype));
    BRINDLE_TRY_STATUS(get(p.na, Name::NA));
    if (!p.series_type || !p.frame_type || !p.string_dtype || !p.na) return std::optional<Pandas>();
    p.module = std::move(mod);
    return std::optional<Pandas>(std::move(p));
}

Result<PyRef> call_method(PyObject* obj, Name name) {
    PyObject* n = interned(name);
    BRINDLE_FAIL_IF(n == nullptr);
    PyRef out = PyRef::steal(PyObject_CallMethodNoArgs(obj, n));
    BRINDLE_FAIL_IF(!out);
    return out;
}

Result<PyRef> attr(PyObject* obj, Name name) {
    PyRef out = PyRef::steal(get_attr(obj, name));
    BRINDLE_FAIL_IF(!out);
    return out;
}

// The byte sizes the cell reader assumes (float16 is left to `values`: its
// NaN payloads are not carried the same way through every common dtype).
bool read_in_place(PyArray_Descr* d) noexcept {
    if (!PyArray_ISNBO(d->byteorder)) return false;
    switch (d->type_num) {
        case NPY_BOOL: case NPY_BYTE: case NPY_UBYTE: case NPY_SHORT: case NPY_USHORT: case NPY_INT:
        case NPY_UINT: case NPY_LONG: case NPY_ULONG: case NPY_LONGLONG: case NPY_ULONGLONG: case NPY_FLOAT:
        case NPY_DOUBLE:
            return true;
        default:
            return false;
    }
}

// The (rows, 1) view of a 1-D array of `rows` cells of the given type, or
// null when the array is something else.
Result<PyRef> column_view(PyObject* array, std::size_t rows, int type_num) {
    if (!PyArray_CheckExact(array)) return PyRef();
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIMS(a)[0]) != rows ||
        PyArray_DESCR(a)->type_num != type_num)
        return PyRef();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), 1};
    PyArray_Dims shape = {dims, 2};
    PyRef view = PyRef::steal(PyArray_Newshape(a, &shape, NPY_ANYORDER));
    BRINDLE_FAIL_IF(!view);
    return view;
}

// Decides each column's road from its dtype alone, before any column is
// touched. False when the frame goes to `values`, which is also the road of
// a frame of NumPy numbers only: `values` is then one numeric array, copied
// once and read in place, cheaper than a Series per column.
Result<bool> choose_roads(const Pandas& pandas, std::vector<Column>& columns) {
    bool object_values = false;
    for (Column& col : columns) {
        const PyRef& dtype = col.dtype;
        if (PyArray_DescrCheck(dtype.get())) {
            auto* d = reinterpret_cast<PyArray_Descr*>(dtype.get());
            if (d->type_num == NPY_OBJECT) {
                col.road = Road::Object;
                object_values = true;
            } else if (read_in_place(d)) {
                col.road = Road::Number;
            } else {
                return false;
            }
            continue;
        }
        // Only pandas' own dtypes: astype(object) of anything else may run
        // code that `values` would run differently.
        BRINDLE_ASSIGN_OR_RETURN(PyRef type_module,
                                 attr(reinterpret_cast<PyObject*>(Py_TYPE(dtype.get())), Name::module));
        if (!PyUnicode_Check(type_module.get())) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(type_module.get(), &size);
        BRINDLE_FAIL_IF(text == nullptr);
        const std::string_view module(text, static_cast<std::size_t>(size));
        if (module != "pandas" && module.substr(0, 7) != "pandas.") return false;
        col.road = Road::Convert;
        BRINDLE_ASSIGN_OR_RETURN(col.str_categories, is_str_categorical(pandas.module.get(), dtype.get()));
        if (col.str_categories) {
            object_values = true;
            continue;
        }
        const int is_string = PyObject_IsInstance(dtype.get(), pandas.string_dtype.get());
        BRINDLE_FAIL_IF(is_string < 0);
        if (!is_string) continue;
        object_values = true;
        BRINDLE_ASSIGN_OR_RETURN(PyRef storage, attr(dtype.get(), Name::storage));
        if (!PyUnicode_Check(storage.get()) || PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") != 0)
            continue;
        BRINDLE_ASSIGN_OR_RETURN(PyRef na, attr(dtype.get(), Name::na_value));
        if (PyFloat_CheckExact(na.get())) {
            col.na_is_float = true;
            col.na_float = PyFloat_AS_DOUBLE(na.get());
        } else if (na.get() != pandas.na.get()) {
            continue;
        }
        PyObject* name = interned(Name::arrow_c_stream);
        BRINDLE_FAIL_IF(name == nullptr);
        // pandas exports a Series this way from 3.0 on; before, its column
        // is read as astype(object).
        PyRef method = PyRef::steal(PyObject_GetAttr(pandas.series_type.get(), name));
        if (method) {
            col.road = Road::Arrow;
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            return PyError::fetch();
        }
    }
    return object_values;
}

// Makes what the pool reads: each column's array, view or Arrow chunks.
// False when the frame goes to `values`.
Result<bool> prepare(std::vector<Column>& columns, std::size_t rows) {
    for (Column& col : columns) {
        if (col.road == Road::Arrow) {
            BRINDLE_ASSIGN_OR_RETURN(PyRef capsule, call_method(col.series.get(), Name::arrow_c_stream));
            if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
                col.road = Road::Convert;
            } else {
                BRINDLE_ASSIGN_OR_RETURN(const ArrowImport read, col.arrow.import(capsule.get()));
                // Null counts that lie: `values` reads them as pandas does.
                if (read == ArrowImport::Miscounted) return false;
                if (read != ArrowImport::Read || col.arrow.length() != rows) {
                    col.arrow = ArrowChunks();
                    col.road = Road::Convert;
                }
            }
        }
        if (col.str_categories) {
            BRINDLE_ASSIGN_OR_RETURN(col.categorical, CategoricalColumn::make(col.series.get(), rows));
            if (col.categorical) {
                col.road = Road::Categorical;
                continue;
            }
        }
        PyRef array;
        if (col.road == Road::Number || col.road == Road::Object) {
            BRINDLE_ASSIGN_OR_RETURN(array, call_method(col.series.get(), Name::to_numpy));
        } else if (col.road == Road::Convert) {
            BRINDLE_ASSIGN_OR_RETURN(PyRef ea, attr(col.series.get(), Name::array));
            PyObject* name = interned(Name::astype);
            BRINDLE_FAIL_IF(name == nullptr);
            PyObject* args[] = {ea.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
            array = PyRef::steal(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            BRINDLE_FAIL_IF(!array);
            col.road = Road::Object;
        } else {
            continue;
        }
        int type_num = NPY_OBJECT;
        if (col.road == Road::Number) {
            if (!PyArray_Check(array.get())) return false;
            type_num = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()))->type_num;
            if (!read_in_place(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get())))) return false;
        }
        BRINDLE_ASSIGN_OR_RETURN(col.array, column_view(array.get(), rows, type_num));
        if (!col.array) return false;
    }
    return true;
}

constexpr std::string_view kLeadingNaN = "NaN";  // a float NaN read before the first text
constexpr std::string_view kNaN = "nan";          // str() of a float NaN
constexpr std::string_view kNA = "<NA>";          // str(pd.NA)

// An Arrow string column: the cells of the column (rows of the
// column-major matrix from `out`), and its list. Cells that `values` gives as
// str hold their own entry; missing cells share one entry per marker. Before
// the first valid cell a float NaN is still a number, so it reads as "NaN"
// (the shortest positional text), and after it as str(nan); a column of
// missing float NaNs only is numeric.
void read_arrow_column(const Column& col, std::uint8_t& is_text, PagedVector<std::string_view>& list,
                       double* out) {
    const ArrowChunks& chunks = col.arrow;
    const std::size_t valid_cells = chunks.valid_cells();
    if (col.na_is_float && valid_cells == 0) {
        std::size_t r = 0;
        for (std::size_t k = 0; k != chunks.size(); ++k)
            for (std::int64_t i = 0; i < chunks.chunk(k).length; ++i, ++r) std::memcpy(out + r, &col.na_float, sizeof(double));
        return;
    }
    is_text = 1;
    constexpr std::uint64_t kUnset = ~std::uint64_t{0};
    std::uint64_t lead_entry = kUnset;
    std::uint64_t missing_entry = kUnset;
    bool seen_text = false;
    // Cells holding one text share its entry, as cells sharing one str
    // object do, so the list (and the coding step's work) is one entry per
    // distinct text rather than per cell. Given up where it does not pay:
    // mostly distinct texts, or texts flooding the hash (as in dedupe.hpp);
    // later cells then take an entry each, and coding merges them.
    std::size_t failed = 0;
    detail::GuardedMap<detail::FastHash, std::uint64_t> entry_of(0, detail::FastHash{}, detail::CountingEq{&failed});
    bool sharing = true;
    std::size_t seen = 0;
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            if (ArrowChunks::valid(a, i)) {
                seen_text = true;
                const std::string_view text = chunks.text(a, i);
                if (sharing) {
                    ++seen;
                    const auto [it, inserted] = entry_of.try_emplace(text, list.size());
                    if (inserted) list.push_back(text);
                    put_label_index(out + r, it->second);
                    if (failed > 16 * seen + 1024 || (seen >= (1u << 14) && entry_of.size() * 2 > seen)) {
                        sharing = false;
                        entry_of = {};
                        list.reserve(list.size() + valid_cells - seen + 2);
                    }
                    continue;
                }
                put_label_index(out + r, list.size());
                list.push_back(text);
                continue;
            }
            std::uint64_t& entry = !col.na_is_float ? missing_entry : seen_text ? missing_entry : lead_entry;
            if (entry == kUnset) {
                entry = list.size();
                list.push_back(!col.na_is_float ? kNA : seen_text ? kNaN : kLeadingNaN);
            }
            put_label_index(out + r, entry);
        }
    }
}

// Reads a numeric column into its matrix column, on the pool.
void read_number_column(const CellBuffer& cells, CellSource::NumericReader read, std::size_t rows, double* out) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, 1 << 15), [&](const auto& range) {
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
            const double value = read(cells.at(r, 0));
            std::memcpy(out + r, &value, sizeof value);
        }
    });
}

// The frame is read through `values`.
Result<bool> values_road() { return false; }

// Below a few hundred rows `values` is the cheaper road: each column costs
// tens of microseconds here (its Series, its array, an Arrow export) where
// `values` costs a fraction of a microsecond per cell. Arrow text tips the
// balance sooner, since `values` makes a new str of every such cell. Measured
// with bench/small_frames_bench.py; the cell bound keeps the Python objects
// that `values` makes few even for a short frame of very many columns.
struct SizeRule {
    std::size_t min_rows = 128;               // any frame
    std::size_t min_rows_without_arrow = 512; // a frame with no Arrow text column
    static constexpr std::size_t kMaxValuesCells = std::size_t{1} << 20;

    bool values_cheaper(std::size_t rows, std::size_t cols, std::size_t min) const noexcept {
        return rows < min && cols <= kMaxValuesCells / (rows > 0 ? rows : 1);
    }
};

// Private, for the tests: BRINDLE_FRAME_COLUMNS_MIN_ROWS, a decimal count
// read once, replaces both row bounds (0 sends every frame by its columns,
// so that small generated frames still meet this road).
const SizeRule& size_rule() {
    static const SizeRule rule = [] {
        SizeRule r;
        const char* text = std::getenv("BRINDLE_FRAME_COLUMNS_MIN_ROWS");
        if (text == nullptr) return r;
        const std::string_view s(text);
        std::size_t value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec == std::errc{} && end == s.data() + s.size() && !s.empty()) r.min_rows = r.min_rows_without_arrow = value;
        return r;
    }();
    return rule;
}

}  // namespace

Result<bool> encode_frame_columns(PyObject* frame, OUT& out, DriverResult& result) {
    BRINDLE_ASSIGN_OR_RETURN(std::optional<Pandas> pandas, imported_pandas());
    if (!pandas || Py_TYPE(frame) != reinterpret_cast<PyTypeObject*>(pandas->frame_type.get())) return values_road();
    BRINDLE_ASSIGN_OR_RETURN(PyRef shape, attr(frame, Name::shape));
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return values_road();
    const std::size_t rows = PyLong_AsSize_t(PyTuple_GET_ITEM(shape.get(), 0));
    BRINDLE_FAIL_IF(rows == static_cast<std::size_t>(-1) && PyErr_Occurred());
    const std::size_t cols = PyLong_AsSize_t(PyTuple_GET_ITEM(shape.get(), 1));
    BRINDLE_FAIL_IF(cols == static_cast<std::size_t>(-1) && PyErr_Occurred());
    if (!matrix_fits(rows, cols)) return values_road();  // which fails there as it always has
    const SizeRule& rule = size_rule();
    if (rule.values_cheaper(rows, cols, rule.min_rows)) return values_road();

    std::vector<Column> columns;
    columns.reserve(cols);
    {
        BRINDLE_ASSIGN_OR_RETURN(PyRef dtypes, attr(frame, Name::dtypes));
        BRINDLE_ASSIGN_OR_RETURN(PyRef list, call_method(dtypes.get(), Name::tolist));
        if (!PyList_Check(list.get()) || static_cast<std::size_t>(PyList_GET_SIZE(list.get())) != cols)
            return values_road();
        for (std::size_t c = 0; c != cols; ++c)
            columns.emplace_back().dtype = PyRef::borrow(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(c)));
    }
    BRINDLE_ASSIGN_OR_RETURN(const bool chosen, choose_roads(*pandas, columns));
    if (!chosen) return values_road();
    if (rule.values_cheaper(rows, cols, rule.min_rows_without_arrow) &&
        std::none_of(columns.begin(), columns.end(), [](const Column& c) { return c.road == Road::Arrow; }))
        return values_road();
    {
        std::size_t c = 0;
        BRINDLE_ASSIGN_OR_RETURN(PyRef items, call_method(frame, Name::items));
        PyRef iter = PyRef::steal(PyObject_GetIter(items.get()));
        BRINDLE_FAIL_IF(!iter);
        while (PyRef pair = PyRef::steal(PyIter_Next(iter.get()))) {
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 || c == cols) return values_road();
            columns[c++].series = PyRef::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        }
        BRINDLE_FAIL_IF(PyErr_Occurred());
        if (c != cols) return values_road();
    }
    // pandas' and pyarrow's calls there fail on `values` too, which is what
    // reports their failures, so that both roads raise the same class.
    BRINDLE_ASSIGN_OR_RETURN(const bool prepared, false_on_exception(prepare(columns, rows)));
    if (!prepared) return values_road();

    BRINDLE_ASSIGN_OR_RETURN(Matrix matrix, zero_matrix(rows, cols, /*fortran=*/true));
    ColumnScan scan;
    scan.reset(rows, cols);
    scan.column_major = true;
    double* const base = matrix.data();

    // Made here, on the calling thread: a cell source reads the array's
    // layout. The pool then reads only buffers and cell objects.
    std::vector<std::unique_ptr<CellSource>> sources(cols);
    std::vector<CellBuffer> buffers(cols);
    std::vector<std::unique_ptr<ColumnScan>> object_scans(cols);
    std::vector<std::unique_ptr<LabelKeep>> keeps(cols);
    for (std::size_t c = 0; c != cols; ++c) {
        if (columns[c].road == Road::Categorical && !columns[c].categorical->bind()) return values_road();
        if (columns[c].road != Road::Number && columns[c].road != Road::Object) continue;
        sources[c] = std::make_unique<CellSource>(columns[c].array.get(), rows, 1);
        if (columns[c].road == Road::Object) {
            if (!sources[c]->object_matrix()) return values_road();
            object_scans[c] = std::make_unique<ColumnScan>();
            object_scans[c]->reset(rows, 1);
            object_scans[c]->column_major = true;
            keeps[c] = std::make_unique<LabelKeep>();
        } else if (sources[c]->numeric() == nullptr) {
            return values_road();
        }
        buffers[c] = sources[c]->buffer();
    }

    std::atomic<bool> needs_code{false};
    // The columns' scans run inside this job, where only the pool's threads
    // are: none of them may poll for a Ctrl-C.
    Interrupts unwatched(/*watching=*/false);
    // A Ctrl-C cuts the job short; the handler runs once the pool is idle, and
    // after one that returns the frame is read again through `values`.
    Interrupts interrupts;
    if (rows > 0) {
        interrupts.run(rows * cols, [&] {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
                for (std::size_t c = range.begin(); c != range.end(); ++c) {
                    double* out_col = base + c * rows;
                    switch (columns[c].road) {
                        case Road::Number:
                            read_number_column(buffers[c], sources[c]->numeric(), rows, out_col);
                            break;
                        case Road::Object:
                            if (needs_code.load(std::memory_order_relaxed)) break;
                            if (!scan_in_blocks(buffers[c], *object_scans[c], *keeps[c], out_col, unwatched))
                                needs_code.store(true, std::memory_order_relaxed);
                            break;
                        case Road::Arrow:
                            read_arrow_column(columns[c], scan.is_text[c], scan.strings[c], out_col);
                            // Each distinct text once: `values` fails on a text that
                            // is not UTF-8, and no such byte may reach the books.
                            if (!std::all_of(scan.strings[c].begin(), scan.strings[c].end(), is_valid_utf8))
                                needs_code.store(true, std::memory_order_relaxed);
                            break;
                        case Road::Categorical:
                            if (!columns[c].categorical->read(out_col)) needs_code.store(true, std::memory_order_relaxed);
                            break;
                        default:
                            break;
                    }
                }
            });
        });
    }
    if (interrupts.noticed()) {
        BRINDLE_TRY_STATUS(interrupts.deliver());
        return values_road();
    }
    if (needs_code.load()) return values_road();
    for (std::size_t c = 0; c != cols; ++c) {
        if (columns[c].categorical && rows > 0) {
            scan.is_text[c] = 1;
            BRINDLE_TRY_STATUS(columns[c].categorical->list(scan.strings[c], scan.local[c]));
        }
        if (!object_scans[c]) continue;
        scan.is_text[c] = object_scans[c]->is_text[0];
        scan.strings[c] = std::move(object_scans[c]->strings[0]);
        scan.local[c] = std::move(object_scans[c]->local[0]);
    }

    std::optional<CodeBooks> books = code_columns(scan, base, interrupts);
    if (!books) {
        BRINDLE_TRY_STATUS(interrupts.deliver());
        return values_road();
    }
    result = DriverResult{std::move(out), std::move(matrix), std::move(*books)};
    return true;
}

}  // namespace brindle
