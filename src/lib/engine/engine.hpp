// The label-coding engine: pure C++, no interpreter objects. This header
// names all that the conversion layer (src/python) may use; the engine's
// other headers, and everything in brindle::detail, are its own.
//
// A text column is a list of labels (length-counted byte strings, NUL
// allowed) borrowed from storage the caller keeps alive. Coding a column
// gives every distinct label a code in ascending unsigned byte order, from 0
// without gaps; the missing-value markers "nan", "NaN" and "<NA>" take no code
// and their cells become the positive quiet NaN.
//
// - codebook.hpp: the books (LabelToCode, CodeToLabel, CodeBooks).
// - markers.hpp: the missing-value markers and their code.
// - label_encode.hpp: one column coded on its own.
// - column_scan.hpp: what a scan of the input hands to the coding step.
// - send_ptr.hpp: the handle through which the pool writes the matrix.
// - encode_columns.hpp: every text column of a scan coded at once.
// - lookup_columns.hpp: text columns coded by books made earlier.
// - text_entries.hpp: one list entry per distinct text, for a reader that
//   lists a column's texts itself.
// - paged.hpp: storage for large temporaries.
// - pool.hpp: the worker pool and its stop points.
#pragma once

#include "lib/engine/codebook.hpp"
#include "lib/engine/column_scan.hpp"
#include "lib/engine/encode_columns.hpp"
#include "lib/engine/label_encode.hpp"
#include "lib/engine/lookup_columns.hpp"
#include "lib/engine/markers.hpp"
#include "lib/engine/paged.hpp"
#include "lib/engine/pool.hpp"
#include "lib/engine/send_ptr.hpp"
#include "lib/engine/text_entries.hpp"
