// Text entries shared by the cells that hold one object: the scan lists a
// label repeated through shared objects once.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "python/pyref.hpp"

namespace brindle {

// Entries keyed by object address. Keys are kept in insertion order and
// found through an index of 4-byte positions: open addressing with linear
// probing, at most half full. Addresses are spread by Fibonacci hashing, so
// objects allocated at regular strides do not cluster. A key costs 8 bytes
// plus two to four index slots, and 8 more for its entry unless the table is
// positional: there the entry of each key is its position.
class ObjectEntries {
public:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

    explicit ObjectEntries(bool positional = false) noexcept : positional_(positional) {}

    // The entry of `key`, or kNone.
    std::uint64_t find(const PyObject* key) const noexcept {
        if (slots_.empty()) return kNone;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            const std::uint32_t position = slots_[i];
            if (position == 0) return kNone;
            if (keys_[position - 1] == key) return positional_ ? position - 1 : entries_[position - 1];
        }
    }
    // Adds `key`, which must not be present; in a positional table `entry`
    // must be size(). May throw std::bad_alloc.
    void insert(const PyObject* key, std::uint64_t entry) {
        // Positions are stored plus one in 32 bits.
        if (keys_.size() + 1 >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        if (!positional_) entries_.push_back(entry);
        keys_.push_back(key);
        place(key, static_cast<std::uint32_t>(keys_.size()));
    }
    std::size_t size() const noexcept { return keys_.size(); }
    // Every key, in insertion order.
    std::span<const PyObject* const> keys() const noexcept { return keys_; }
    // Frees the index and the entries; the keys stay listed, but find() no
    // longer sees them.
    void drop_index() noexcept {
        slots_ = {};
        entries_ = {};
        mask_ = 0;
        shift_ = 63;
    }

private:
    std::size_t slot_of(const PyObject* key) const noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void place(const PyObject* key, std::uint32_t position) noexcept {
        std::size_t i = slot_of(key);
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = position;
    }
    void grow() {
        const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
        slots_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t p = 0; p != keys_.size(); ++p) place(keys_[p], static_cast<std::uint32_t>(p + 1));
    }

    std::vector<const PyObject*> keys_;
    std::vector<std::uint64_t> entries_;  // by position, unless positional
    std::vector<std::uint32_t> slots_;    // position + 1 in keys_, or 0
    std::size_t mask_ = 0;
    int shift_ = 63;
    bool positional_;
};

// A text column's list entries made so far, and which cell objects already
// have one. Cells holding one object share its entry, so a label repeated
// through shared objects (as most readers produce) is listed, and later
// hashed and compared, once: a repeat costs one pointer lookup.
struct TextColumn {
    // See ObjectEntries for a positional column.
    explicit TextColumn(bool positional = false) noexcept : entry_of(positional) {}

    ObjectEntries entry_of;
    const PyObject* last = nullptr;  // the last object looked up, a key of entry_of
    std::uint64_t last_entry = 0;
    std::size_t review_at = 1 << 14;
    bool sharing = true;

    // The entry of `item` if it has one; updates `last`.
    bool lookup(const PyObject* item) noexcept {
        if (item == last) return true;
        const std::uint64_t entry = entry_of.find(item);
        if (entry == ObjectEntries::kNone) return false;
        last = item;
        last_entry = entry;
        return true;
    }
    void add(const PyObject* item, std::uint64_t entry, std::size_t cells) {
        entry_of.insert(item, entry);
        last = item;
        last_entry = entry;
        if (entry_of.size() >= review_at) review(cells);
    }

    // Stops sharing in a column whose `cells` text cells so far rarely repeat
    // an object: there the lookups cost more than they save. Results are the
    // same either way. The keys listed so far stay in entry_of.keys().
    void review(std::size_t cells) {
        const std::size_t repeats = cells - entry_of.size();
        if (repeats * 32 < cells) {
            sharing = false;
            entry_of.drop_index();
            last = nullptr;
        } else {
            review_at *= 4;
        }
    }
};

}  // namespace brindle
