// Hash maps keyed by labels that notice when the labels flood them.
//
// A map's key equality counts the comparisons that fail. With a sound hash
// they are rare (the table compares keys only when a 7-bit tag matches), so
// more than a small multiple of the lookups means the labels share hash
// values, and probing has gone quadratic: the map's user then gives it up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <absl/container/flat_hash_map.h>

namespace brindle::detail {

// Failed comparisons a map may see over `lookups` lookups before it counts as
// flooded. Random keys stay far below it; a wrong verdict only costs time.
constexpr std::size_t flood_bound(std::size_t lookups) noexcept { return 4 * lookups + 1024; }

// Whether two labels of the same size hold the same bytes. Labels are mostly
// short, and for them two overlapping word loads beat a call to memcmp,
// which costs more than the comparison itself (a fifth of a frame's encode
// went to that call).
inline bool same_bytes(const char* p, const char* q, std::size_t n) noexcept {
    const auto load64 = [](const char* at) {
        std::uint64_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    };
    const auto load32 = [](const char* at) {
        std::uint32_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    };
    if (n > 16) return std::memcmp(p, q, n) == 0;
    if (n >= 8) return load64(p) == load64(q) && load64(p + n - 8) == load64(q + n - 8);
    if (n >= 4) return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
    for (std::size_t i = 0; i != n; ++i)
        if (p[i] != q[i]) return false;
    return true;
}

struct CountingEq {
    std::size_t* failures;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        // Labels viewed from one shared text are equal without reading their
        // bytes, which saves a cache miss on the stored key.
        if (a.size() == b.size() && (a.data() == b.data() || same_bytes(a.data(), b.data(), a.size()))) return true;
        ++*failures;
        return false;
    }
};

template <class Hash, class Value>
using GuardedMap = absl::flat_hash_map<std::string_view, Value, Hash, CountingEq>;

}  // namespace brindle::detail
