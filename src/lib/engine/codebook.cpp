// The code books' storage and their hash index.
#include "lib/engine/codebook.hpp"

#include <bit>
#include <limits>
#include <new>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "lib/engine/hashing.hpp"

namespace brindle {

std::size_t LabelHash::operator()(std::string_view s) const noexcept {
    return detail::siphash<1, 3>(s, detail::sip_key());
}

LabelArena::LabelArena(std::vector<std::uint64_t> ends)
    : ends_(std::move(ends)), bytes_(std::make_unique_for_overwrite<char[]>(ends_.empty() ? 0 : ends_.back())) {}

bool operator==(const CodeToLabel& a, const CodeToLabel& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i != a.size(); ++i)
        if (a.at(i) != b.at(i)) return false;
    return true;
}

LabelToCode::LabelToCode(std::shared_ptr<const LabelArena> coded, std::span<const std::string_view> markers)
    : coded_(std::move(coded)) {
    for (std::string_view marker : markers) {
        for (std::size_t m = 0; m != kMarkers.size(); ++m)
            if (marker == kMarkers[m]) markers_ |= static_cast<std::uint8_t>(1u << m);
    }
    const std::size_t n = coded_size();
    if (n == 0) return;
    // A slot holds code + 1 in 32 bits; a column of four billion labels would
    // not fit in memory anyway.
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    slots_.assign(std::bit_ceil(2 * n), 0);
    const std::size_t mask = slots_.size() - 1;
    // NOTE: a large book's slots are far from cache. The labels' home slots
    // are hashed on the pool first; the serial insertion (kept serial so the
    // layout is the same on every run) then fetches slots ahead of use.
    // Books built off the pool (from given categories) hash on their own
    // thread, so that no other pool is started.
    std::vector<std::size_t> home(n);
    const auto hash_range = [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t i = range.begin(); i != range.end(); ++i) home[i] = LabelHash{}((*coded_)[i]) & mask;
    };
    if (tbb::this_task_arena::current_thread_index() == tbb::task_arena::not_initialized)
        hash_range(tbb::blocked_range<std::size_t>(0, n));
    else
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 4096), hash_range);
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i != n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(&slots_[home[i + kAhead]], 1);
        std::size_t s = home[i];
        while (slots_[s] != 0) s = (s + 1) & mask;
        slots_[s] = static_cast<std::uint32_t>(i + 1);
    }
}

std::size_t LabelToCode::size() const noexcept { return coded_size() + std::popcount(markers_); }

std::optional<std::optional<Code>> LabelToCode::find(std::string_view label) const noexcept {
    for (std::size_t m = 0; m != kMarkers.size(); ++m) {
        if (label == kMarkers[m]) {
            if (markers_ & (1u << m)) return std::optional<Code>();
            return std::nullopt;
        }
    }
    if (slots_.empty()) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = LabelHash{}(label) & mask; slots_[s] != 0; s = (s + 1) & mask) {
        const Code code = slots_[s] - 1;
        if ((*coded_)[code] == label) return std::optional<Code>(code);
    }
    return std::nullopt;
}

bool operator==(const LabelToCode& a, const LabelToCode& b) noexcept {
    if (a.markers_ != b.markers_ || a.coded_size() != b.coded_size()) return false;
    for (std::size_t i = 0; i != a.coded_size(); ++i)
        if ((*a.coded_)[i] != (*b.coded_)[i]) return false;
    return true;
}

}  // namespace brindle
