// Code-book types.
//
// LabelToCode maps each distinct label of a column to its code, or to nothing
// for a missing-value marker; CodeToLabel is the exact inverse of its coded
// entries. Codes are dense (0 .. n-1 in label order), so both books are built
// over one LabelArena holding the coded labels back to back in code order:
// CodeToLabel is the arena itself, and LabelToCode adds a hash index of codes
// over it plus one bit per marker. A label costs its bytes, an 8-byte offset
// and two to four 4-byte index slots, shared by both books.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "lib/engine/markers.hpp"

namespace brindle {

using Code = std::uint64_t;

// Keyed SipHash-1-3 (key drawn once per process from std::random_device):
// the books outlive the call and are looked up by label later, so crafted
// labels must not be able to pile into one probe sequence.
struct LabelHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept;
};

// Labels stored back to back; label i is bytes [start(i), ends_[i]).
class LabelArena {
public:
    // Room for labels whose ends are `ends` (ascending), their bytes left for
    // the caller to write with fill(). May throw std::bad_alloc.
    explicit LabelArena(std::vector<std::uint64_t> ends);

    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        return std::string_view(bytes_.get() + start(i), ends_[i] - start(i));
    }
    // Writes label i, whose length is the room left for it.
    void fill(std::size_t i, std::string_view label) noexcept {
        if (!label.empty()) std::memcpy(bytes_.get() + start(i), label.data(), label.size());
    }

private:
    std::size_t start(std::size_t i) const noexcept { return i == 0 ? 0 : ends_[i - 1]; }

    std::vector<std::uint64_t> ends_;
    std::unique_ptr<char[]> bytes_;
};

class CodeToLabel {
public:
    CodeToLabel() = default;
    explicit CodeToLabel(std::shared_ptr<const LabelArena> coded) noexcept : coded_(std::move(coded)) {}

    // One entry per code, 0 .. size()-1.
    std::size_t size() const noexcept { return coded_ ? coded_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    // The label of `code`, or nothing for a code without an entry.
    std::optional<std::string_view> find(Code code) const noexcept {
        if (code >= size()) return std::nullopt;
        return (*coded_)[code];
    }
    // The label of a code below size().
    std::string_view at(Code code) const noexcept { return (*coded_)[code]; }

    friend bool operator==(const CodeToLabel& a, const CodeToLabel& b) noexcept;

private:
    std::shared_ptr<const LabelArena> coded_;
};

class LabelToCode {
public:
    LabelToCode() = default;
    // The book whose coded labels are `coded` (label i has code i, so they
    // must be distinct) and whose markers are `markers`. May throw
    // std::bad_alloc.
    LabelToCode(std::shared_ptr<const LabelArena> coded, std::span<const std::string_view> markers);

    // Entries: coded labels and markers.
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    // Nothing when `label` has no entry; otherwise its code, or nothing for a
    // marker.
    std::optional<std::optional<Code>> find(std::string_view label) const noexcept;
    bool contains(std::string_view label) const noexcept { return find(label).has_value(); }

    // Calls f(label, code) for every entry: the markers, then the coded labels
    // in code order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t m = 0; m != kMarkers.size(); ++m)
            if (markers_ & (1u << m)) f(kMarkers[m], std::optional<Code>());
        for (std::size_t i = 0; i != coded_size(); ++i) f((*coded_)[i], std::optional<Code>(i));
    }

    // The reverse book over the same labels.
    CodeToLabel reverse() const { return CodeToLabel(coded_); }

    friend bool operator==(const LabelToCode& a, const LabelToCode& b) noexcept;

private:
    std::size_t coded_size() const noexcept { return coded_ ? coded_->size() : 0; }

    std::shared_ptr<const LabelArena> coded_;
    // Open addressing with linear probing, at most half full: a slot holds
    // code + 1, or 0 when empty.
    std::vector<std::uint32_t> slots_;
    std::uint8_t markers_ = 0;  // bit m: kMarkers[m] has an entry
};

// The code books of one encoding: both maps hold exactly the indices of
// text_columns. An empty CodeBooks (no text columns) differs from none.
// Decode reads the reverse books. Nothing reads the forward books yet: they
// are kept for a fitted encoder, which will code later data by looking its
// labels up in them, so that every label keeps the code it was fitted with.
struct CodeBooks {
    std::vector<std::size_t> text_columns;  // ascending
    absl::flat_hash_map<std::size_t, LabelToCode> forward_books;
    absl::flat_hash_map<std::size_t, CodeToLabel> reverse_books;
};

}  // namespace brindle
