// A fitted encoder's books as Python sees them: per column, None for a
// column of numbers, or its labels in code order.
#pragma once

#include "books/lookup_step.hpp"
#include "python/pyref.hpp"

namespace brindle {

// Books from one entry per column: None, or a sequence of str whose i-th
// label takes code i. TypeError for an entry or label of another type;
// ValueError for a repeated label, a missing-value marker, a lone surrogate.
Result<FittedBooks> books_from_categories(PyObject* categories);

// The list that books_from_categories reads back.
Result<PyRef> categories_of(const FittedBooks& fitted);

// The same columns, the same labels with the same codes.
bool same_books(const FittedBooks& a, const FittedBooks& b) noexcept;

}  // namespace brindle
