// The texts the scan makes without the interpreter: numbers as text (the
// shortest positional form and the float repr) and repaired UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindle {


// Appends `bytes` to `out`, replacing every byte that is not part of a
// well-formed UTF-8 sequence by U+FFFD. Idempotent: repaired text is valid.
void append_repaired_utf8(std::string_view bytes, std::string& out);

// Appends the shortest decimal digits that read back as `value`, written in
// plain positional notation: 1.0 -> "1", 1e21 -> "1000000000000000000000",
// 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", infinities -> "inf"/"-inf".
void append_shortest_positional(double value, std::string& out);

// Appends the interpreter's repr of a float: shortest round-trip digits,
// positional from 1e-4 up to below 1e16 with ".0" on whole numbers,
// otherwise "1e+16" / "1.5e-05" style; "nan" for every NaN, "inf", "-inf".
void append_float_repr(double value, std::string& out);

// Appends the UTF-8 of `count` code points stored in units of 1, 2 or 4
// bytes, a lone surrogate encoded as its three bytes and then repaired as
// append_repaired_utf8 does (each of those bytes becomes U+FFFD).
void append_utf8_code_points(int unit_size, const void* units, std::size_t count, std::string& out);

}  // namespace brindle
