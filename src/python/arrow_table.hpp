// Arrow tables read through the Arrow C stream interface: polars DataFrames,
// pyarrow Tables and RecordBatches, and any object with __arrow_c_stream__.
//
// The stream is imported as C structs, with no pyarrow or polars call: its
// schema a struct whose children are the columns, each batch a struct array
// whose children are moved out into their columns and checked before a
// worker reads them. What a table reads as is what its pandas form
// (`to_pandas()`, pandas 3 with pyarrow) reads as through the frame road:
// - strings (string, large_string, string_view) are pandas' `str`, whose
//   missing value is the float NaN: text, nulls missing, and numeric NaN
//   when no cell holds a string;
// - dictionaries of strings are categoricals: coded through the dictionary,
//   nulls missing, numeric NaN when no cell holds a category;
// - integers and floats are numbers (a null NaN), as are booleans without
//   nulls; booleans with nulls are an object column of True, False and None
//   there, so text: "1"/"0" before the first None, "None", "True" and
//   "False" from it on;
// - the null type is an object column of None: the text "None" in every row.
// Any other type is refused with a TypeError naming the column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/engine/engine.hpp"
#include "python/arrow_text_reader.hpp"
#include "python/interrupts.hpp"
#include "python/matrix.hpp"
#include "python/out.hpp"
#include "python/pyref.hpp"

namespace brindle {

// How a column's values are laid out.
enum class TableColumnType { Text, Dictionary, Numbers, Boolean, Null };
// The fixed-width number types, by their Arrow format letters.
enum class NumberType { I8, U8, I16, U16, I32, U32, I64, U64, F16, F32, F64 };

// Why the pool job could not read a column.
enum class ColumnFault : std::uint8_t { None, NotUtf8, IndexOutOfRange };

struct TableColumn {
    TableColumnType type = TableColumnType::Numbers;
    NumberType number = NumberType::F64;  // Numbers, and a Dictionary's indices
    ArrowText values = ArrowText::String;  // a Dictionary's values
    // Every chunk of the column, owned; a Text column reads them as strings
    // whose missing value is the float NaN.
    ArrowTextColumn text;
    ColumnFault fault = ColumnFault::None;  // set by the pool job
};

// An imported table: the columns' chunks, released on destruction. Release
// runs the producer's code: destroy on the calling thread, holding the GIL.
struct ArrowTable {
    TableKind kind = TableKind::Stream;
    std::size_t rows = 0;
    std::vector<std::string> names;  // UTF-8
    std::vector<TableColumn> columns;
};

// Whether `obj` is read as an Arrow table: not a NumPy array or memmap, nor
// a pandas DataFrame (those keep their own roads), and with
// __arrow_c_stream__.
Result<bool> is_arrow_table(PyObject* obj);

// Calls obj.__arrow_c_stream__() and imports every batch, checking every
// buffer that the pool job then reads. TypeError for a column of a type not
// read; ValueError for buffers that contradict themselves or null counts
// that are not their bitmaps'.
Result<std::unique_ptr<ArrowTable>> import_arrow_table(PyObject* obj);

// Reads every column of `table` into its column of the column-major
// `matrix` (rows x columns), in one pool job, and leaves in `scan` what the
// coding step needs; its lists view the table's buffers. ValueError for
// text that is not UTF-8 or a dictionary index out of range. False when a
// Ctrl-C stopped it (interrupts.noticed()).
Result<bool> read_arrow_table(ArrowTable& table, Matrix& matrix, ColumnScan& scan, Interrupts& interrupts);

// Runs on the pool (arrow_table_pool.cpp): one column read into `out`.
// `numbers`, when given, receives the list entries made from booleans;
// `plain` is set when the list is in the plain form.
void read_table_column(TableColumn& col, std::size_t rows, std::uint8_t& is_text, std::size_t& first_text,
                       std::uint8_t& plain, PagedVector<std::string_view>& list, double* out,
                       std::vector<NumberEntry>* numbers);

}  // namespace brindle
