// Per-row de-duplication of one column by hashing, guarded against flooding.
//
// The rows are cut into fixed chunks. Each chunk, on its own worker, gives
// its rows a local id from a chunk-private map; a serial merge then folds the
// chunks' distinct labels into one list. Chunk boundaries are fixed, so the
// work done never depends on the pool size.
//
// NOTE: the merge is serial and costs one lookup per distinct label per
// chunk: negligible while a column repeats its labels, about half the row
// pass when nearly every label is distinct. A hash-partitioned merge would
// remove that, at the price of a second pass over the rows.
//
// The flood guard (guarded_map.hpp): when a map sees the labels share hash
// values, dedupe stops and reports the column as flooded; the caller codes it
// by sorting instead.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/guarded_map.hpp"
#include "lib/engine/paged.hpp"
#include "lib/engine/pool.hpp"

namespace brindle::detail {

// A chunk's local ids fit in 16 bits, which halves the per-row id traffic.
inline constexpr std::size_t kChunkRows = std::size_t{1} << 16;
using LocalId = std::uint16_t;
static_assert(kChunkRows - 1 <= std::numeric_limits<LocalId>::max());

struct Dedupe {
    PagedVector<std::string_view> distinct;  // each distinct label once, unordered
    PagedVector<LocalId> local_ids;          // row -> id within its chunk
    std::vector<std::vector<std::size_t>> to_distinct;  // chunk -> local id -> index into distinct
    std::size_t failed_comparisons = 0;
};

// Why dedupe gave up.
enum class DedupeEnd { done, flooded, many_per_chunk };

// Empty when the column is flooded for `Hash`, when its chunks list more
// than `max_entries` labels between them, or when a chunk of a column of
// several finds more distinct labels than `max_chunk_share` of its rows (a
// whole chunk, not the last one of a few rows):
// then the chunks would repeat one another's labels, and a merge of them
// would cost nearly as much as the rows. `end`, if given, says which.
template <class Hash>
std::optional<Dedupe> dedupe(std::span<const std::string_view> labels, const Hash& hash = Hash{},
                             std::size_t max_entries = std::numeric_limits<std::size_t>::max(),
                             double max_chunk_share = 1.0, DedupeEnd* end = nullptr) {
    if (end != nullptr) *end = DedupeEnd::done;
    const std::size_t n = labels.size();
    const std::size_t chunks = (n + kChunkRows - 1) / kChunkRows;
    Dedupe d;
    d.local_ids.resize(n);
    std::vector<PagedVector<std::string_view>> seen(chunks);
    // Set when the column is flooded or lists too many labels: the chunks
    // still running stop, since the column will be sorted.
    std::atomic<bool> stop{false};
    std::atomic<bool> flooded{false};
    std::atomic<std::size_t> failures{0};
    std::atomic<std::size_t> listed{0};  // labels listed by the chunks done

    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks, 1), [&](const auto& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::size_t begin = c * kChunkRows;
            const std::size_t end = std::min(n, begin + kChunkRows);
            const std::size_t bound = flood_bound(end - begin);
            std::size_t failed = 0;
            GuardedMap<Hash, LocalId> ids(0, hash, CountingEq{&failed});
            PagedVector<std::string_view>& mine = seen[c];
            for (std::size_t i = begin; i != end; ++i) {
                const auto [it, inserted] = ids.try_emplace(labels[i], static_cast<LocalId>(mine.size()));
                if (inserted) {
                    mine.push_back(labels[i]);
                    if (mine.size() + listed.load(std::memory_order_relaxed) > max_entries) stop.store(true);
                }
                d.local_ids[i] = it->second;
                if (failed > bound) {
                    flooded.store(true);
                    stop.store(true);
                }
                if (stop.load(std::memory_order_relaxed)) return;
            }
            // Only a whole chunk tells: the last one may hold a few rows.
            if (chunks > 1 && end - begin == kChunkRows &&
                static_cast<double>(mine.size()) > max_chunk_share * static_cast<double>(kChunkRows)) {
                stop.store(true);
                return;
            }
            failures.fetch_add(failed, std::memory_order_relaxed);
            listed.fetch_add(mine.size(), std::memory_order_relaxed);
        }
    });
    stop_point();
    const std::size_t entries = listed.load();
    if (stop.load() || entries > max_entries) {
        if (end != nullptr) *end = flooded.load() ? DedupeEnd::flooded : DedupeEnd::many_per_chunk;
        return std::nullopt;
    }

    d.to_distinct.resize(chunks);
    if (chunks == 1) {
        d.distinct = std::move(seen[0]);
        d.to_distinct[0].resize(d.distinct.size());
        std::iota(d.to_distinct[0].begin(), d.to_distinct[0].end(), std::size_t{0});
    } else if (chunks > 1) {
        const std::size_t bound = flood_bound(entries);
        std::size_t failed = 0;
        GuardedMap<Hash, std::size_t> index(0, hash, CountingEq{&failed});
        index.reserve(seen[0].size());
        for (std::size_t c = 0; c != chunks; ++c) {
            stop_point();
            d.to_distinct[c].resize(seen[c].size());
            for (std::size_t l = 0; l != seen[c].size(); ++l) {
                const auto [it, inserted] = index.try_emplace(seen[c][l], d.distinct.size());
                if (inserted) d.distinct.push_back(seen[c][l]);
                d.to_distinct[c][l] = it->second;
                if (failed > bound) {
                    if (end != nullptr) *end = DedupeEnd::flooded;
                    return std::nullopt;
                }
            }
        }
        failures.fetch_add(failed, std::memory_order_relaxed);
    }
    d.failed_comparisons = failures.load();
    return d;
}

// De-duplication of a whole column as if in one map: the road for columns
// whose chunks hold many distinct labels each, yet repeat them across the
// column (a hundred thousand labels over a million rows). The chunked road
// would merge nearly as many labels as there are rows; sorting every row
// compares each label with its own repeats.
//
// The column's hashes are computed once, on the pool; then each of a fixed
// number of parts, cut by the hashes' top bits, is de-duplicated by its own
// worker in its own map. Equal labels share a hash and so a part, so the
// parts' distinct lists, laid end to end, list every label once. The parts
// are fixed, so the work done never depends on the pool size.
struct OneMapDedupe {
    PagedVector<std::string_view> distinct;  // each distinct label once, unordered
    PagedVector<std::uint32_t> ids;          // row -> index into distinct
    std::size_t failed_comparisons = 0;
};

inline constexpr unsigned kOneMapPartBits = 3;
inline constexpr std::size_t kOneMapParts = std::size_t{1} << kOneMapPartBits;

namespace one_map {

inline std::size_t part_of(std::uint64_t hash) noexcept { return static_cast<std::size_t>(hash >> (64 - kOneMapPartBits)); }

// A map of row numbers that hashes and compares the rows' labels, with the
// hashes already computed.
struct RowHash {
    const std::uint64_t* hashes;
    std::size_t operator()(std::uint32_t row) const noexcept { return static_cast<std::size_t>(hashes[row]); }
};
struct RowEq {
    const std::string_view* labels;
    std::size_t* failures;
    bool operator()(std::uint32_t a, std::uint32_t b) const noexcept {
        return CountingEq{failures}(labels[a], labels[b]);
    }
};

// Whether the first `probe_rows` rows hold more distinct labels than
// `max_share` of them.
template <class Hash>
bool mostly_distinct(std::span<const std::string_view> labels, const Hash& hash, std::size_t probe_rows,
                     double max_share) {
    if (labels.size() < probe_rows || max_share >= 1.0) return false;
    std::size_t failed = 0;
    GuardedMap<Hash, char> seen(0, hash, CountingEq{&failed});
    for (std::size_t i = 0; i != probe_rows; ++i) {
        if (failed > flood_bound(i + 1)) return false;  // the map road gives up on it
        seen.try_emplace(labels[i], 0);
    }
    return static_cast<double>(seen.size()) > max_share * static_cast<double>(probe_rows);
}

}  // namespace one_map

// Empty when the column is flooded for `Hash`, when its ids would not fit in
// 32 bits, or when its first `probe_rows` rows hold more distinct labels than
// `max_probe_share` of them: a column of nearly all distinct labels is
// coded faster by sorting it whole.
template <class Hash>
std::optional<OneMapDedupe> dedupe_one_map(std::span<const std::string_view> labels, const Hash& hash = Hash{},
                                           std::size_t probe_rows = kChunkRows, double max_probe_share = 0.9) {
    using namespace one_map;
    const std::size_t n = labels.size();
    if (n >= std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (mostly_distinct(labels, hash, probe_rows, max_probe_share)) return std::nullopt;
    stop_point();

    // Each chunk of rows lists its rows by part, so that a part's worker
    // visits only its own rows.
    const std::size_t chunks = (n + kChunkRows - 1) / kChunkRows;
    PagedVector<std::uint64_t> hashes(n);
    std::vector<std::array<std::vector<std::uint32_t>, kOneMapParts>> rows_of(chunks);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks, 1), [&](const auto& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
            const std::size_t end = std::min(n, (c + 1) * kChunkRows);
            for (auto& rows : rows_of[c]) rows.reserve((end - c * kChunkRows) / kOneMapParts * 9 / 8 + 16);
            for (std::size_t i = c * kChunkRows; i != end; ++i) {
                hashes[i] = static_cast<std::uint64_t>(hash(labels[i]));
                rows_of[c][part_of(hashes[i])].push_back(static_cast<std::uint32_t>(i));
            }
        }
    });
    stop_point();

    OneMapDedupe d;
    d.ids.resize(n);
    std::array<PagedVector<std::string_view>, kOneMapParts> distinct;
    std::array<std::size_t, kOneMapParts> failures{};
    std::atomic<bool> flooded{false};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, kOneMapParts, 1), [&](const auto& range) {
        for (std::size_t p = range.begin(); p != range.end(); ++p) {
            std::size_t failed = 0;
            std::size_t seen = 0;
            absl::flat_hash_map<std::uint32_t, std::uint32_t, RowHash, RowEq> index(
                0, RowHash{hashes.data()}, RowEq{labels.data(), &failed});
            for (std::size_t c = 0; c != chunks; ++c) {
                stop_point();
                if (flooded.load(std::memory_order_relaxed)) return;
                for (const std::uint32_t i : rows_of[c][p]) {
                    const auto [it, inserted] = index.try_emplace(i, static_cast<std::uint32_t>(distinct[p].size()));
                    if (inserted) distinct[p].push_back(labels[i]);
                    d.ids[i] = it->second;
                    if (failed > flood_bound(++seen)) {
                        flooded.store(true);
                        return;
                    }
                }
                std::vector<std::uint32_t>().swap(rows_of[c][p]);
            }
            failures[p] = failed;
        }
    });
    stop_point();
    if (flooded.load()) return std::nullopt;

    std::array<std::uint32_t, kOneMapParts> offset{};
    std::size_t total = 0;
    for (std::size_t p = 0; p != kOneMapParts; ++p) {
        offset[p] = static_cast<std::uint32_t>(total);
        total += distinct[p].size();
        d.failed_comparisons += failures[p];
    }
    d.distinct.reserve(total);
    for (auto& part : distinct) {
        d.distinct.insert(d.distinct.end(), part.begin(), part.end());
        PagedVector<std::string_view>().swap(part);
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, kChunkRows), [&](const auto& range) {
        for (std::size_t i = range.begin(); i != range.end(); ++i) d.ids[i] += offset[part_of(hashes[i])];
    });
    return d;
}

}  // namespace brindle::detail
