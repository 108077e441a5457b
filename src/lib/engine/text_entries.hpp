// The list entry of each distinct text of a column, for a reader that lists
// a column's texts itself: cells holding one text then share one entry, so
// the list (and the coding step's work) grows by distinct texts, not cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "lib/engine/guarded_map.hpp"
#include "lib/engine/hashing.hpp"

namespace brindle {

// Texts are viewed, not copied: their storage must outlive the map. Sharing
// entries is only a saving, since the coding step merges equal texts listed
// apart: a reader gives the map up once it floods (or stops paying) and lists
// every later cell on its own, with the same results.
template <class Hash>
class BasicTextEntries {
public:
    BasicTextEntries() = default;
    // The map's equality counts into this object's own counter.
    BasicTextEntries(const BasicTextEntries&) = delete;
    BasicTextEntries& operator=(const BasicTextEntries&) = delete;

    // The entry `text` was given when first met, and false; or, for a text
    // not met before, `next`, which it is given from now on, and true.
    std::pair<std::uint64_t, bool> try_emplace(std::string_view text, std::uint64_t next) {
        ++lookups_;
        const auto [it, inserted] = map_.try_emplace(text, next);
        return {it->second, inserted};
    }

    // Whether the texts share hash values so often that lookups have gone
    // quadratic (by the bound the engine's own maps give up at).
    bool flooded() const noexcept { return failed_ > detail::flood_bound(lookups_); }

    std::size_t size() const noexcept { return map_.size(); }  // distinct texts
    std::size_t lookups() const noexcept { return lookups_; }

    // Frees the map once it is given up; the counts stay.
    void release() { map_ = Map(0, Hash{}, detail::CountingEq{&failed_}); }

private:
    using Map = detail::GuardedMap<Hash, std::uint64_t>;

    std::size_t failed_ = 0;
    std::size_t lookups_ = 0;
    Map map_{0, Hash{}, detail::CountingEq{&failed_}};
};

using TextEntries = BasicTextEntries<detail::FastHash>;

}  // namespace brindle
