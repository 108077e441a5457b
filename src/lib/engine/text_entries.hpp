// The list entry of each distinct text of a column, for a reader that lists
// a column's texts itself: cells holding one text then share one entry, so
// the list (and the coding step's work) grows by distinct texts, not cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include <limits>

#include "lib/engine/guarded_map.hpp"
#include "lib/engine/hashing.hpp"
#include "lib/engine/short_table.hpp"

namespace brindle {

// Texts are viewed, not copied: their storage must outlive the map. Sharing
// entries is only a saving, since the coding step merges equal texts listed
// apart: a reader gives the map up once it floods (or stops paying) and lists
// every later cell on its own, with the same results.
//
// Short texts (the common case) are held as their words (short_table.hpp),
// so a hit never reads the text first met, which for a block of many
// distinct texts lies anywhere in the column's data; longer ones are keyed
// by view.
template <class Hash, class WordHash = detail::FastShortHash>
class BasicTextEntries {
public:
    BasicTextEntries() = default;
    // The map's equality counts into this object's own counter.
    BasicTextEntries(const BasicTextEntries&) = delete;
    BasicTextEntries& operator=(const BasicTextEntries&) = delete;

    // The entry `text` was given when first met, and false; or, for a text
    // not met before, `next`, which it is given from now on, and true.
    // Inlined into the readers' loops, where it runs once per cell.
    [[gnu::always_inline]] std::pair<std::uint64_t, bool> try_emplace(std::string_view text, std::uint64_t next) {
        ++lookups_;
        // An entry past 32 bits is keyed by view: a short text first met
        // there may be listed twice, which costs only the saving.
        if (text.size() <= detail::kShortLabelBytes && next < std::numeric_limits<std::uint32_t>::max()) {
            const detail::ShortEntry e = detail::short_entry(text, word_hash_, 0);
            bool inserted = false;
            const std::uint32_t entry = short_.find_or_add(e, static_cast<std::uint32_t>(next), inserted, failed_);
            return {entry, inserted};
        }
        const auto [it, inserted] = map_.try_emplace(text, next);
        return {it->second, inserted};
    }

    // Asks for the memory a later try_emplace(text) probes first: a reader
    // that calls it a few texts ahead overlaps the probes' cache misses.
    void prefetch(std::string_view text) const noexcept {
        if (text.size() <= detail::kShortLabelBytes) {
            short_.prefetch(detail::short_entry(text, word_hash_, 0));
        } else {
            map_.prefetch(text);
        }
    }

    // Whether the texts share hash values so often that lookups have gone
    // quadratic (by the bound the engine's own maps give up at).
    bool flooded() const noexcept { return failed_ > detail::flood_bound(lookups_); }

    std::size_t size() const noexcept { return short_.size() + map_.size(); }  // distinct texts
    std::size_t lookups() const noexcept { return lookups_; }

    // Frees the maps once they are given up; the counts stay.
    void release() {
        short_.release();
        map_ = Map(0, Hash{}, detail::CountingEq{&failed_});
    }

private:
    using Map = detail::GuardedMap<Hash, std::uint64_t>;

    std::size_t failed_ = 0;  // failed comparisons and passed slots, of both maps
    std::size_t lookups_ = 0;
    WordHash word_hash_{};
    detail::ShortTable short_;
    Map map_{0, Hash{}, detail::CountingEq{&failed_}};
};

using TextEntries = BasicTextEntries<detail::FastHash>;

}  // namespace brindle
