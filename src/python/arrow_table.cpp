#include "python/arrow_table.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "python/errors.hpp"
#include "python/interned.hpp"
#include "python/utf8.hpp"

namespace brindle {
namespace {


Result<std::string> type_name_of(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    BRINDLE_FAIL_IF(!name);
    std::string text;
    BRINDLE_TRY_STATUS(append_utf8(name.get(), text));
    return text;
}

// The type's __module__, or empty when it has none that is a str.
Result<std::string> module_of(PyObject* obj) {
    BRINDLE_ASSIGN_OR_RETURN(PyRef module, py::maybe_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), Name::module));
    std::string text;
    if (module && PyUnicode_Check(module.get())) BRINDLE_TRY_STATUS(append_utf8(module.get(), text));
    return text;
}

bool starts_with(std::string_view text, std::string_view head) noexcept {
    return text.substr(0, head.size()) == head;
}

Result<TableKind> kind_of(PyObject* obj) {
    BRINDLE_ASSIGN_OR_RETURN(const std::string name, type_name_of(obj));
    BRINDLE_ASSIGN_OR_RETURN(const std::string module, module_of(obj));
    if (name == "DataFrame" && (module == "polars" || starts_with(module, "polars."))) return TableKind::Polars;
    if (module == "pyarrow.lib" && name == "Table") return TableKind::ArrowTable;
    if (module == "pyarrow.lib" && name == "RecordBatch") return TableKind::ArrowBatch;
    return TableKind::Stream;
}

PyError stream_error(ArrowArrayStream& stream, int code) {
    const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    std::string text = "reading an Arrow stream failed with code " + std::to_string(code);
    if (message != nullptr) text += std::string(": ") + message;
    return make_error(PyExc_RuntimeError, text);
}

std::string column_label(const std::string& name, std::size_t c) {
    return "column " + std::to_string(c) + " ('" + name + "')";
}

std::optional<NumberType> number_type(std::string_view format) noexcept {
    if (format.size() != 1) return std::nullopt;
    switch (format[0]) {
        case 'c': return NumberType::I8;
        case 'C': return NumberType::U8;
        case 's': return NumberType::I16;
        case 'S': return NumberType::U16;
        case 'i': return NumberType::I32;
        case 'I': return NumberType::U32;
        case 'l': return NumberType::I64;
        case 'L': return NumberType::U64;
        case 'e': return NumberType::F16;
        case 'f': return NumberType::F32;
        case 'g': return NumberType::F64;
        default: return std::nullopt;
    }
}

bool is_index_type(NumberType t) noexcept { return t != NumberType::F16 && t != NumberType::F32 && t != NumberType::F64; }

std::optional<ArrowText> text_layout(std::string_view format) noexcept {
    if (format == "u") return ArrowText::String;
    if (format == "U") return ArrowText::LargeString;
    if (format == "vu") return ArrowText::StringView;
    return std::nullopt;
}

// A column's reader from its schema; TypeError for a type not read.
Status plan_column(const ArrowSchema& field, const std::string& name, std::size_t c, TableColumn& col) {
    const std::string_view format = field.format != nullptr ? field.format : "";
    const auto refuse = [&](std::string_view what) {
        return make_error(PyExc_TypeError, column_label(name, c) + " is of the Arrow type of format '" +
                                               std::string(what) +
                                               "', which is not read: a table's columns may hold strings, "
                                               "dictionaries of strings, integers, floats, booleans or nulls");
    };
    if (field.dictionary != nullptr) {
        const std::string_view values = field.dictionary->format != nullptr ? field.dictionary->format : "";
        const std::optional<NumberType> index = number_type(format);
        const std::optional<ArrowText> layout = text_layout(values);
        if (!index || !is_index_type(*index) || !layout || field.dictionary->dictionary != nullptr)
            return refuse("dictionary of " + std::string(values) + " indexed by " + std::string(format));
        col.type = TableColumnType::Dictionary;
        col.number = *index;
        col.values = *layout;
        return Status::success();
    }
    if (const std::optional<ArrowText> layout = text_layout(format)) {
        col.type = TableColumnType::Text;
        col.text.chunks.start(*layout);
        col.text.na_is_float = true;
        col.text.na_float = std::numeric_limits<double>::quiet_NaN();
        return Status::success();
    }
    if (const std::optional<NumberType> number = number_type(format)) {
        col.type = TableColumnType::Numbers;
        col.number = *number;
        return Status::success();
    }
    if (format == "b") {
        col.type = TableColumnType::Boolean;
        return Status::success();
    }
    if (format == "n") {
        col.type = TableColumnType::Null;
        return Status::success();
    }
    return refuse(format);
}

bool extent_sound(const ArrowArray& a) noexcept {
    return a.length >= 0 && a.offset >= 0 && a.length <= INT64_MAX - 1 - a.offset;
}

// Whether a batch has rows that are null as a whole, which no column says.
bool has_null_rows(const ArrowArray& batch) noexcept {
    if (batch.null_count == 0 || batch.n_buffers < 1 || batch.buffers == nullptr || batch.buffers[0] == nullptr)
        return false;
    const auto* bits = static_cast<const std::uint8_t*>(batch.buffers[0]);
    for (std::int64_t i = batch.offset; i < batch.offset + batch.length; ++i)
        if (((bits[i >> 3] >> (i & 7)) & 1) == 0) return true;
    return false;
}

ArrowCheck check_chunk(ArrowArray& a, const TableColumn& col, ArrowText layout) noexcept {
    switch (col.type) {
        case TableColumnType::Text:
            return check_text_array(a, layout);
        case TableColumnType::Numbers:
        case TableColumnType::Boolean:
            return check_fixed_array(a);
        case TableColumnType::Dictionary: {
            const ArrowCheck indices = check_fixed_array(a);
            if (indices != ArrowCheck::Sound) return indices;
            if (a.dictionary == nullptr || a.dictionary->release == nullptr) return ArrowCheck::Unsound;
            return check_text_array(*a.dictionary, col.values);
        }
        case TableColumnType::Null:
            // No buffers; every element is null.
            if (!extent_sound(a) || a.n_children != 0 || a.n_buffers > 1) return ArrowCheck::Unsound;
            a.null_count = a.length;
            return ArrowCheck::Sound;
    }
    return ArrowCheck::Unsound;
}

// Moves column c's child out of `batch` into its column, checked; the batch
// is released by its owner right after.
Status take_child(ArrowArray& batch, std::size_t c, const std::string& name, TableColumn& col, ArrowText layout) {
    ArrowArray* child = batch.children[c];
    if (child == nullptr || child->release == nullptr)
        return make_error(PyExc_ValueError, column_label(name, c) + ": the Arrow batch has no array for it");
    auto moved = std::make_unique<ArrowArray>(*child);
    child->release = nullptr;  // moved: the batch's release skips it
    const auto drop = [&](std::string message) {
        moved->release(moved.get());
        return make_error(PyExc_ValueError, column_label(name, c) + ": " + message);
    };
    if (!extent_sound(*moved) || moved->length - batch.offset < batch.length)
        return drop("the Arrow array is shorter than its batch");
    // The batch's offset and length apply to its children.
    moved->offset += batch.offset;
    moved->length = batch.length;
    const ArrowCheck verdict = check_chunk(*moved, col, layout);
    if (verdict == ArrowCheck::Unsound)
        return drop("the Arrow array's buffers contradict themselves (offsets, views, lengths or buffer "
                    "counts); nothing may read it");
    if (verdict == ArrowCheck::Miscounted)
        return drop("the Arrow array's null count is not the count of its validity bitmap");
    col.text.chunks.adopt(std::move(moved));
    return Status::success();
}

}  // namespace

Result<bool> is_arrow_table(PyObject* obj) {
    BRINDLE_ASSIGN_OR_RETURN(const std::string name, type_name_of(obj));
    if (name == "ndarray" || name == "memmap") return false;
    if (name == "DataFrame") {
        BRINDLE_ASSIGN_OR_RETURN(const std::string module, module_of(obj));
        if (module == "pandas" || starts_with(module, "pandas.")) return false;
    }
    BRINDLE_ASSIGN_OR_RETURN(PyRef method,
                             py::maybe_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), Name::arrow_c_stream));
    return static_cast<bool>(method);
}

Result<std::unique_ptr<ArrowTable>> import_arrow_table(PyObject* obj) {
    auto table = std::make_unique<ArrowTable>();
    BRINDLE_ASSIGN_OR_RETURN(table->kind, kind_of(obj));
    BRINDLE_ASSIGN_OR_RETURN(PyRef capsule, py::call_method(obj, Name::arrow_c_stream));
    if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream"))
        return make_error(PyExc_TypeError, "__arrow_c_stream__() did not return an 'arrow_array_stream' capsule");
    auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    BRINDLE_FAIL_IF(given == nullptr);
    if (given->release == nullptr) return make_error(PyExc_ValueError, "the Arrow stream was already consumed");
    // Moved out: the capsule's destructor skips a released stream.
    StreamOwner owner;
    owner.stream = *given;
    given->release = nullptr;
    ArrowArrayStream& stream = owner.stream;

    SchemaOwner schema;
    if (const int rc = stream.get_schema(&stream, &schema.schema); rc != 0) return stream_error(stream, rc);
    const std::string_view format = schema.schema.format != nullptr ? schema.schema.format : "";
    if (format != "+s" || schema.schema.n_children < 0 ||
        (schema.schema.n_children > 0 && schema.schema.children == nullptr))
        return make_error(PyExc_TypeError, "the Arrow stream is not one of a table (its format is '" +
                                               std::string(format) + "', not a struct of columns)");
    const auto cols = static_cast<std::size_t>(schema.schema.n_children);
    table->names.resize(cols);
    table->columns.resize(cols);
    std::vector<ArrowText> layouts(cols, ArrowText::String);
    for (std::size_t c = 0; c != cols; ++c) {
        const ArrowSchema* field = schema.schema.children[c];
        if (field == nullptr) return make_error(PyExc_ValueError, "the Arrow schema lacks column " + std::to_string(c));
        const std::string_view name = field->name != nullptr ? field->name : "";
        if (!is_valid_utf8(name))
            return make_error(PyExc_ValueError, "the name of column " + std::to_string(c) + " is not UTF-8");
        table->names[c] = std::string(name);
        BRINDLE_TRY_STATUS(plan_column(*field, table->names[c], c, table->columns[c]));
        if (const std::optional<ArrowText> layout = text_layout(field->format != nullptr ? field->format : ""))
            layouts[c] = *layout;
    }

    for (;;) {
        BatchOwner batch;
        if (const int rc = stream.get_next(&stream, &batch.batch); rc != 0) return stream_error(stream, rc);
        ArrowArray& b = batch.batch;
        if (b.release == nullptr) break;  // the end of the stream
        if (!extent_sound(b) || b.n_children != static_cast<std::int64_t>(cols) ||
            (cols > 0 && b.children == nullptr))
            return make_error(PyExc_ValueError, "an Arrow batch does not hold the columns its schema names");
        if (has_null_rows(b))
            return make_error(PyExc_ValueError, "an Arrow batch has rows that are null as a whole");
        for (std::size_t c = 0; c != cols; ++c)
            BRINDLE_TRY_STATUS(take_child(b, c, table->names[c], table->columns[c], layouts[c]));
        table->rows += static_cast<std::size_t>(b.length);
    }
    return table;
}

Result<bool> read_arrow_table(ArrowTable& table, Matrix& matrix, ColumnScan& scan, Interrupts& interrupts) {
    const std::size_t rows = table.rows;
    const std::size_t cols = table.columns.size();
    BRINDLE_ASSIGN_OR_RETURN(matrix, zero_matrix(rows, cols, /*fortran=*/true));
    scan.reset(rows, cols);
    scan.column_major = true;
    double* base = matrix.data();
    for (TableColumn& col : table.columns) col.fault = ColumnFault::None;
    interrupts.run(rows * cols, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
            for (std::size_t c = range.begin(); c != range.end(); ++c)
                read_table_column(table.columns[c], rows, scan.is_text[c], scan.first_text[c], scan.plain[c],
                                  scan.strings[c], base + c * rows,
                                  scan.mark_numbers ? &scan.number_entries[c] : nullptr);
        });
    });
    if (interrupts.noticed()) return false;
    for (std::size_t c = 0; c != cols; ++c) {
        switch (table.columns[c].fault) {
            case ColumnFault::None:
                break;
            case ColumnFault::NotUtf8:
                return make_error(PyExc_ValueError, column_label(table.names[c], c) + " holds text that is not UTF-8");
            case ColumnFault::IndexOutOfRange:
                return make_error(PyExc_ValueError,
                                  column_label(table.names[c], c) + " holds a dictionary index out of range");
        }
    }
    return true;
}

}  // namespace brindle
