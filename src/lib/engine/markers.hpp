// The missing-value markers and the float code of a missing value.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

namespace brindle {

// Labels that mark a missing value: they take no code.
inline constexpr std::array<std::string_view, 3> kMarkers{"nan", "NaN", "<NA>"};

// True for the three missing-value markers, compared byte for byte.
inline bool is_marker(std::string_view label) noexcept {
    return label == kMarkers[0] || label == kMarkers[1] || label == kMarkers[2];
}

// The float64 bit pattern 0x7FF8000000000000 written for a missing value.
inline double missing_code() noexcept { return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000ULL}); }

}  // namespace brindle
