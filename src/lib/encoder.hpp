// The Encoder type: constructor, encode, decode, and its access rules.
#pragma once

#include "python/pyref.hpp"

namespace brindle {

// The Encoder type object, created on the first call and cached for the
// life of the process (never released). Borrowed; null with an exception set
// when creation fails.
PyObject* encoder_type() noexcept;

}  // namespace brindle
