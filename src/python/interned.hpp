// Every attribute, method and keyword name this module looks up, interned,
// and the lookups and calls made through them.
//
// Each is made on first successful use and kept for the life of the process
// (never released). Reusing one object per name also keeps the
// interpreter's attribute caches from keeping a fresh copy per call.
#pragma once

#include <cstddef>

#include "python/pyref.hpp"

namespace brindle {

// X(identifier, text): the one list both the enum and the table of texts are
// made from, so an entry's text cannot drift from its name.
#define BRINDLE_NAMES(X)                        \
    X(columns, "columns")                       \
    X(shape, "shape")                           \
    X(values, "values")                         \
    X(tolist, "tolist")                         \
    X(DataFrame, "DataFrame")                   \
    X(Series, "Series")                         \
    X(RangeIndex, "RangeIndex")                 \
    X(index, "index")                           \
    X(add_note, "add_note")                     \
    X(obj, "obj")                               \
    X(encoding, "encoding")                     \
    X(all, "__all__")                           \
    X(Encoder, "Encoder")                       \
    X(dtype, "dtype")                           \
    X(copy, "copy")                             \
    X(pandas, "pandas")                         \
    X(StringDtype, "StringDtype")               \
    X(CategoricalDtype, "CategoricalDtype")     \
    X(NA, "NA")                                 \
    X(storage, "storage")                       \
    X(na_value, "na_value")                     \
    X(arrow_c_stream, "__arrow_c_stream__")     \
    X(module, "__module__")                     \
    X(to_numpy, "to_numpy")                     \
    X(array, "array")                           \
    X(astype, "astype")                         \
    X(items, "items")                           \
    X(dtypes, "dtypes")                         \
    X(categories, "categories")                 \
    X(codes, "codes")

enum class Name : std::size_t {
#define BRINDLE_NAME_ENTRY(identifier, text) identifier,
    BRINDLE_NAMES(BRINDLE_NAME_ENTRY)
#undef BRINDLE_NAME_ENTRY
    count_,
};

// The interned str of `name`. Borrowed; null with an exception set if it
// cannot be made (a later call tries again).
PyObject* interned(Name name) noexcept;

// obj.<name>: a new reference, or null with the Python error set.
PyObject* get_attr(PyObject* obj, Name name) noexcept;

// Tuples of keyword names for vectorcalls: X(identifier, members...).
#define BRINDLE_KEYWORDS(X)                                     \
    X(columns_copy, Name::columns, Name::copy)                  \
    X(index_copy, Name::index, Name::copy)                      \
    X(index_dtype_copy, Name::index, Name::dtype, Name::copy)

enum class Keywords : std::size_t {
#define BRINDLE_KEYWORDS_ENTRY(identifier, ...) identifier,
    BRINDLE_KEYWORDS(BRINDLE_KEYWORDS_ENTRY)
#undef BRINDLE_KEYWORDS_ENTRY
    count_,
};

// The tuple of `keywords`. Borrowed; null with an exception set on failure.
PyObject* keyword_names(Keywords keywords) noexcept;

// Attribute lookups and method calls by interned name. In a namespace of
// their own so that they never clash with a file's local helpers.
namespace py {

// obj.<name>.
Result<PyRef> attr(PyObject* obj, Name name);

// obj.<name>, or an empty reference (and no error) when obj has no such
// attribute: AttributeError is the one exception taken as "absent".
Result<PyRef> maybe_attr(PyObject* obj, Name name);

// obj.<name>() and obj.<name>(arg).
Result<PyRef> call_method(PyObject* obj, Name name);
Result<PyRef> call_method(PyObject* obj, Name name, PyObject* arg);

}  // namespace py

}  // namespace brindle
