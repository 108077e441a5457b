// Books learned piece by piece: what one piece of a table (a partition)
// holds per column, label sets merged as sorted runs, and a fitted encoder
// made from merged runs. brindle_dask runs these on its workers.
//
// A run is a column's distinct labels in ascending byte order, back to back
// in one bytes object, with a second bytes object of their end offsets
// (native uint64): compact, cheap to pickle, and merged without ever making
// a str per label.
#pragma once

#include "python/pyref.hpp"

namespace brindle {

// The module functions: _survey, _first_texts, _str_run, _merge_runs, _run_labels,
// _fitted_from_runs.
extern PyMethodDef partition_books_methods[];

}  // namespace brindle
