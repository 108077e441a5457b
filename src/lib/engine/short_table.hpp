// A table of short labels held inline as their covering words.
//
// A map keyed by views reads the stored label on every hit; once the labels
// are spread through memory larger than the cache, that read is a miss per
// probe. Here a slot holds the label's two words and length (see
// short_words), so a probe compares exactly without reading the label again.
//
// Hand-written rather than a library map for that reason. The tests hold its
// users to the serial sort-everything reference; probes count the slots they
// pass over, for the flood guard (see guarded_map.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "lib/engine/hashing.hpp"

namespace brindle::detail {

// A short label as its covering words and length, with a value: a row, an
// id or an entry, by the user.
struct ShortEntry {
    std::uint64_t a;
    std::uint64_t b;
    std::uint32_t size;
    std::uint32_t index;
};
static_assert(sizeof(ShortEntry) == 24);

// The entry of a label of at most kShortLabelBytes.
inline ShortEntry short_entry(std::string_view label, std::uint32_t index) noexcept {
    ShortEntry e{0, 0, static_cast<std::uint32_t>(label.size()), index};
    short_words(label.data(), label.size(), e.a, e.b);
    return e;
}

// The engine's hash of a short label, from its words.
struct FastShortHash {
    const FastKey* key = &fast_key();
    std::uint64_t operator()(std::uint64_t a, std::uint64_t b, std::size_t n) const noexcept {
        return fast_hash_short(a, b, n, *key);
    }
};

// Open addressing, linear probing, at most half full. The slot is chosen by
// the hash's low bits.
template <class WordHash>
class ShortTable {
public:
    explicit ShortTable(const WordHash& hash) noexcept : hash_(&hash) {}

    // The value stored with `e`'s label, whose hash is `hash`; for a label
    // not met before, `value`, now stored with it (then `inserted` is set).
    // Adds to `passed` each slot skipped over.
    std::uint32_t find_or_add(const ShortEntry& e, std::uint64_t hash, std::uint32_t value, bool& inserted,
                              std::size_t& passed) {
        if ((count_ + 1) * 2 > mask_ + 1) grow();  // mask_ + 1 slots, or none yet
        std::size_t s = slot_of(hash);
        for (;; s = (s + 1) & mask_) {
            ShortEntry& slot = slots_[s];
            if (slot.size == kEmpty) break;
            if (slot.a == e.a && slot.b == e.b && slot.size == e.size) {
                inserted = false;
                return slot.index;
            }
            ++passed;
        }
        slots_[s] = ShortEntry{e.a, e.b, e.size, value};
        ++count_;
        inserted = true;
        return value;
    }
    // Asks for the slot a probe with `hash` starts at, for a user that looks
    // labels up a few ahead of where it probes.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(hash)]);
    }
    std::size_t size() const noexcept { return count_; }
    void release() noexcept {
        std::vector<ShortEntry>().swap(slots_);
        mask_ = 0;
        count_ = 0;
    }

private:
    static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();

    std::size_t slot_of(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    void grow() {
        std::vector<ShortEntry> old(slots_.empty() ? 64 : slots_.size() * 2, ShortEntry{0, 0, kEmpty, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const ShortEntry& e : old) {
            if (e.size == kEmpty) continue;
            std::size_t s = slot_of((*hash_)(e.a, e.b, e.size));
            while (slots_[s].size != kEmpty) s = (s + 1) & mask_;
            slots_[s] = e;
        }
    }

    const WordHash* hash_;  // the one every probe uses too
    std::vector<ShortEntry> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace brindle::detail
