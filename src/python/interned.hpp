// Every attribute, method and keyword name this module looks up, interned.
//
// Each is made on first successful use and kept for the life of the process
// (never released). Reusing one object per name also keeps the
// interpreter's attribute caches from keeping a fresh copy per call.
#pragma once

#include <cstddef>

#include "python/pyref.hpp"

namespace brindle {

enum class Name : std::size_t {
    columns,
    shape,
    values,
    tolist,
    DataFrame,
    Series,
    RangeIndex,
    index,
    add_note,
    obj,
    encoding,
    all,  // "__all__"
    Encoder,
    dtype,
    copy,
    pandas,
    StringDtype,
    NA,
    storage,
    na_value,
    arrow_c_stream,  // "__arrow_c_stream__"
    module,  // "__module__"
    to_numpy,
    array,
    astype,
    items,
    dtypes,
    count_,
};

// The interned str of `name`. Borrowed; null with an exception set if it
// cannot be made (a later call tries again).
PyObject* interned(Name name) noexcept;

// obj.<name>: a new reference, or null with the Python error set.
PyObject* get_attr(PyObject* obj, Name name) noexcept;

// Tuples of keyword names for vectorcalls.
enum class Keywords : std::size_t {
    columns_copy,  // ("columns", "copy")
    index_copy,        // ("index", "copy")
    index_dtype_copy,  // ("index", "dtype", "copy")
    count_,
};

// The tuple of `keywords`. Borrowed; null with an exception set on failure.
PyObject* keyword_names(Keywords keywords) noexcept;

}  // namespace brindle
