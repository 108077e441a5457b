// UTF-8 text of Python str objects.
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace brindle {

// Appends the UTF-8 form of `str` (a str or subclass) to `out`: lossless
// when possible; text with lone surrogates is encoded with "surrogatepass"
// and every ill-formed byte then replaced by U+FFFD.
Status append_utf8(PyObject* str, std::string& out);

// The same for a str known to hold lone surrogates, without first raising
// the lossless encoder's error.
Status append_utf8_surrogatepass(PyObject* str, std::string& out);

// Labels made by the scan (repaired text, numbers as text), kept at stable
// addresses for the length of a call.
class LabelStore {
public:
    std::string& make() { return labels_.emplace_back(); }

private:
    std::deque<std::string> labels_;
};

}  // namespace brindle
