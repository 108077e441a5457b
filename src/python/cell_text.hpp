// The text a cell of a text column takes, for every reader.
//
// A column is numeric until its first cell that is no number; from that cell
// on it is a text column, and every cell of it takes a text:
// - a number read before that first text cell takes its shortest positional
//   text (number_before_text: 1.0 -> "1", NaN -> "NaN");
// - every cell from that first text cell on takes the interpreter's str() of
//   its object (after_text_nan for a float NaN, "nan"). For the objects read
//   without running Python code that text is made by pure_text, in the
//   worker-side header (worker_reads.hpp), since workers make it too; for any
//   other object it is str() itself, on the calling thread (scan.cpp).
// - pandas' missing object reads as its str(), kNA.
// The texts "NaN", "nan" and "<NA>" are the missing-value markers: the
// coding step gives them no code (lib/engine/markers.hpp).
#pragma once

#include <string>
#include <string_view>

#include "python/text_forms.hpp"

namespace brindle {

// The text of a number read before its column's first text cell.
inline void number_before_text(double value, std::string& out) { append_shortest_positional(value, out); }

inline constexpr std::string_view kNaNBeforeText = "NaN";  // number_before_text of a NaN
inline constexpr std::string_view kNaNAfterText = "nan";   // str(float("nan"))
inline constexpr std::string_view kNA = "<NA>";             // str(pd.NA)

// The text of a missing float cell: a NaN read before its column's first
// text cell is still a number, one read after it takes str().
inline std::string_view missing_float_text(bool after_first_text) noexcept {
    return after_first_text ? kNaNAfterText : kNaNBeforeText;
}

}  // namespace brindle
