// Storage the scanned labels point into, kept for the length of a call.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "python/pyref.hpp"

namespace brindle {

// Labels made by the scan (repaired text, numbers as text), kept at stable
// addresses for the length of a call.
class LabelStore {
public:
    std::string& make() { return labels_.emplace_back(); }

private:
    std::deque<std::string> labels_;
};

// Owns everything the scanned labels point into for the length of a call.
struct LabelKeep {
    std::vector<PyRef> strs;  // str objects whose UTF-8 data labels view
    LabelStore made;          // labels made here (numbers as text, repaired text)
    // Labels made on the pool, one store per task. Held by pointer: moving a
    // store may move its labels, and views point into them.
    std::vector<std::unique_ptr<LabelStore>> more;
};

}  // namespace brindle
