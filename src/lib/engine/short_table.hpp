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

// A short label as its covering words, its length and the bits of its hash
// that choose its slot, with a value: a row, an id or an entry, by the user.
// The hash is taken once per label and travels in `tag`, so neither a probe
// nor a table's growth computes it again.
struct ShortEntry {
    std::uint64_t a;
    std::uint64_t b;
    std::uint32_t tag;  // the length in the low kSizeBits, bits kSizeBits to 31 of the hash above
    std::uint32_t index;

    static constexpr unsigned kSizeBits = 5;  // lengths up to kShortLabelBytes
    static constexpr std::uint32_t kSizeMask = (1u << kSizeBits) - 1;
    std::size_t size() const noexcept { return tag & kSizeMask; }
    std::uint32_t slot_hash() const noexcept { return tag >> kSizeBits; }
};
static_assert(sizeof(ShortEntry) == 24);
static_assert(kShortLabelBytes <= ShortEntry::kSizeMask);

// The entry of a label of at most kShortLabelBytes, hashed by `hash` (a word
// hash); its full hash also goes to full_hash when given.
template <class WordHash>
[[gnu::always_inline]] inline ShortEntry short_entry(std::string_view label, const WordHash& hash, std::uint32_t index,
                                                     std::uint64_t* full_hash = nullptr) noexcept {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    short_words(label.data(), label.size(), a, b);
    const std::uint64_t h = hash(a, b, label.size());
    if (full_hash != nullptr) *full_hash = h;
    const auto tag = (static_cast<std::uint32_t>(h) & ~ShortEntry::kSizeMask) | static_cast<std::uint32_t>(label.size());
    return ShortEntry{a, b, tag, index};
}

// The engine's hash of a short label, from its words.
struct FastShortHash {
    const FastKey* key = &fast_key();
    std::uint64_t operator()(std::uint64_t a, std::uint64_t b, std::size_t n) const noexcept {
        return fast_hash_short(a, b, n, *key);
    }
};

// Open addressing, linear probing, at most half full. The slot is chosen by
// the low bits of the entry's slot_hash().
class ShortTable {
public:
    // The value stored with `e`'s label; for a label not met before, `value`,
    // now stored with it (then `inserted` is set). Adds to `passed` each slot
    // skipped over.
    std::uint32_t find_or_add(const ShortEntry& e, std::uint32_t value, bool& inserted, std::size_t& passed) {
        if ((count_ + 1) * 2 > mask_ + 1) grow();  // mask_ + 1 slots, or none yet
        std::size_t s = slot_of(e);
        for (;; s = (s + 1) & mask_) {
            ShortEntry& slot = slots_[s];
            if (slot.tag == kEmpty) break;
            if (slot.a == e.a && slot.b == e.b && slot.tag == e.tag) {
                inserted = false;
                return slot.index;
            }
            ++passed;
        }
        slots_[s] = ShortEntry{e.a, e.b, e.tag, value};
        ++count_;
        inserted = true;
        return value;
    }
    // Asks for the slot a probe for `e` starts at, for a user that looks
    // labels up a few ahead of where it probes.
    void prefetch(const ShortEntry& e) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(e)]);
    }
    std::size_t size() const noexcept { return count_; }
    void release() noexcept {
        std::vector<ShortEntry>().swap(slots_);
        mask_ = 0;
        count_ = 0;
    }

private:
    // No entry's tag: its length bits would say 31 bytes.
    static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();

    std::size_t slot_of(const ShortEntry& e) const noexcept { return e.slot_hash() & mask_; }
    void grow() {
        std::vector<ShortEntry> old(slots_.empty() ? 64 : slots_.size() * 2, ShortEntry{0, 0, kEmpty, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const ShortEntry& e : old) {
            if (e.tag == kEmpty) continue;
            std::size_t s = slot_of(e);
            while (slots_[s].tag != kEmpty) s = (s + 1) & mask_;
            slots_[s] = e;
        }
    }

    std::vector<ShortEntry> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace brindle::detail
