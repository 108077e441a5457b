// Code-book types. LabelToCode maps a label (an owned copy) to its code, or to
// nothing for a missing-value marker; CodeToLabel is the exact inverse of its
// coded entries. Both hash with a per-process random seed, so their iteration
// order differs from run to run; no result depends on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <absl/container/flat_hash_map.h>

namespace brindle {

using Code = std::uint64_t;

// Keyed SipHash-1-3 (key drawn once per process from std::random_device):
// the books outlive the call and are looked up by label later, so crafted
// labels must not be able to pile into one probe sequence.
struct LabelHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept;
};
struct LabelEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};
// Seeded multiply-mix; codes are dense integers the engine hands out itself.
struct CodeHash {
    std::size_t operator()(Code c) const noexcept;
};

using LabelToCode = absl::flat_hash_map<std::string, std::optional<Code>, LabelHash, LabelEq>;
using CodeToLabel = absl::flat_hash_map<Code, std::string, CodeHash>;

}  // namespace brindle
