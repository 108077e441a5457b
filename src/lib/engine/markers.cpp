#include <bit>
#include <cstdint>

#include "engine/engine.hpp"

namespace brindle {

double missing_code() noexcept { return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000ULL}); }

bool is_marker(std::string_view label) noexcept {
    return label == "nan" || label == "NaN" || label == "<NA>";
}

}  // namespace brindle
