// UTF-8 text of Python str objects.
#pragma once

#include <string>
#include <string_view>

#include "python/pyref.hpp"

namespace brindle {

// Appends the UTF-8 form of `str` (a str or subclass) to `out`: lossless
// when possible; text with lone surrogates is encoded with "surrogatepass"
// and every ill-formed byte then replaced by U+FFFD.
Status append_utf8(PyObject* str, std::string& out);

// The same for a str known to hold lone surrogates, without first raising
// the lossless encoder's error.
Status append_utf8_surrogatepass(PyObject* str, std::string& out);

// Whether `text` is well-formed UTF-8, as Python's strict decoder takes it:
// no overlong form, surrogate or code point past U+10FFFF. Pure: any thread.
bool is_valid_utf8(std::string_view text) noexcept;

// A new str decoded from UTF-8 `text`, or null with the Python error set.
PyObject* new_str(std::string_view text) noexcept;

}  // namespace brindle
