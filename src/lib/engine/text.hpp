// Text helpers shared by the scan and the engine's tests: no interpreter.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Appends `bytes` to `out`, replacing every byte that is not part of a
// well-formed UTF-8 sequence by U+FFFD. Idempotent: repaired text is valid.
void append_repaired_utf8(std::string_view bytes, std::string& out);

// Appends the shortest decimal digits that read back as `value`, written in
// plain positional notation: 1.0 -> "1", 1e21 -> "1000000000000000000000",
// 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", infinities -> "inf"/"-inf".
void append_shortest_positional(double value, std::string& out);

}  // namespace brindle
