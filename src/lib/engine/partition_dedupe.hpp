// De-duplication of a column whose distinct labels outgrow the cache, by
// radix partitioning.
//
// A map over a whole column of a million labels misses the cache on nearly
// every probe. Here the rows are cut, by the top bits of their hashes, into
// enough parts that each part's table stays small, and each part is
// de-duplicated on its own: every row is hashed and scattered once, and its
// probe then hits a table that fits in the core's cache. Equal labels share
// a hash and so a part, so the parts' distinct lists, laid end to end, list
// every label once.
//
// The column is taken in blocks of rows: a block is scattered into its parts
// (on the pool, by fixed pieces), then the parts are probed (on the pool, a
// part per task) into tables that live for the whole column, and the ids
// found go back to their rows in row order. Only one block's scattered
// entries exist at a time.
//
// Labels of at most 16 bytes are carried as the two words that cover them,
// with the bits of their hash that pick a slot, in scattered entries and in
// the parts' tables (short_table.hpp), so a probe neither reads a label nor
// hashes it again; a column holding a longer label is left
// to another road. The number of parts (from the distinct labels of the
// first rows) and the blocks depend only on the column, and each part takes
// its rows in row order, so the ids given never depend on the pool size.
// The tests hold it to the serial sort-everything reference.
//
// The flood guard: each part counts the slots its probes pass over; past
// flood_bound the hash has been beaten and the column is given up, for the
// caller to sort.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/guarded_map.hpp"
#include "lib/engine/hashing.hpp"
#include "lib/engine/paged.hpp"
#include "lib/engine/pool.hpp"
#include "lib/engine/short_table.hpp"

namespace brindle::detail {

// Distinct labels per part aimed at: a part's table of twice as many 24-byte
// slots then stays well within a core's L2 cache (512 KiB).
inline constexpr std::size_t kLabelsPerPart = std::size_t{1} << 12;
inline constexpr unsigned kMinPartBits = 3;
inline constexpr unsigned kMaxPartBits = 10;  // fan-out of one scatter
// Rows whose distinct labels estimate the column's.
inline constexpr std::size_t kProbeRows = std::size_t{1} << 14;

// How many parts (as bits of the hash) a column of an expected `distinct`
// labels is cut into. More parts than needed cost the scatter: each part is
// a stream of writes, and past a few hundred they miss the cache.
constexpr unsigned partition_bits(double distinct) noexcept {
    unsigned bits = kMinPartBits;
    while (bits < kMaxPartBits && static_cast<double>((std::size_t{1} << bits) * kLabelsPerPart) < distinct) ++bits;
    return bits;
}

// The distinct labels a column of n rows is expected to hold, from the
// `seen` distinct labels of its first `probe` rows: the k for which k
// labels drawn uniformly give `seen` distinct ones in `probe` draws, then
// what k give in n draws. A probe of all distinct labels says no more than
// n. Only a cut of the work: any estimate gives the same results.
inline double expected_distinct(std::size_t n, std::size_t probe, std::size_t seen) noexcept {
    if (seen >= probe || probe == 0) return static_cast<double>(n);
    const double m = static_cast<double>(probe);
    const double d = static_cast<double>(seen);
    // k (1 - exp(-m / k)) grows with k: bisect on it.
    double lo = d;
    double hi = static_cast<double>(n) * 4 + m * m;
    for (int i = 0; i != 100 && hi - lo > 1; ++i) {
        const double k = (lo + hi) / 2;
        (k * -std::expm1(-m / k) < d ? lo : hi) = k;
    }
    const double k = hi;
    return std::min(static_cast<double>(n), k * -std::expm1(-static_cast<double>(n) / k));
}

// Rows scattered at a time: a quarter of the column, and at least a million.
// A part's table is fetched into cache once per block, so a block must give
// each part many rows per slot of its table; a quarter costs 6 bytes of
// entries per row. (Eighths took a tenth longer on a column of 10^6 labels
// in 10^7 rows, for a peak no lower beyond the noise of its measure.)
inline constexpr std::size_t kMinBlockRows = std::size_t{1} << 20;
inline constexpr std::size_t kBlocks = 4;
inline constexpr std::size_t kMaxPieces = 16;  // pieces of a block's scatter
inline constexpr std::size_t kLabelAhead = 8;  // rows a scatter reads ahead

constexpr std::size_t partition_block_rows(std::size_t n) noexcept {
    return std::max(kMinBlockRows, (n + kBlocks - 1) / kBlocks);
}
constexpr std::size_t scatter_piece_rows(std::size_t block_rows) noexcept {
    return (block_rows + kMaxPieces - 1) / kMaxPieces;
}

struct PartitionedDedupe {
    PartitionedDedupe() = default;
    // id_room may point into own_ids, which a move keeps and a copy would not.
    PartitionedDedupe(PartitionedDedupe&&) noexcept = default;
    PartitionedDedupe& operator=(PartitionedDedupe&&) noexcept = default;
    PartitionedDedupe(const PartitionedDedupe&) = delete;
    PartitionedDedupe& operator=(const PartitionedDedupe&) = delete;

    unsigned part_bits = 0;
    PagedVector<std::string_view> distinct;  // part by part, each in order of first row
    std::vector<std::uint32_t> part_start;   // part -> its first index in distinct
    std::size_t failed_probes = 0;

    // The index into distinct of row i's label.
    std::size_t index_of(std::size_t i) const noexcept {
        const std::uint32_t id = id_at(i);
        return part_start[id & ((1u << part_bits) - 1)] + (id >> part_bits);
    }

    // Row i's id: (id within its part << part_bits) | part, in the first 4
    // bytes of the row's 8-byte slot: in the room the caller lent, or in
    // own_ids when it lent none.
    std::uint32_t id_at(std::size_t i) const noexcept {
        std::uint32_t id;
        std::memcpy(&id, id_room + i * kIdSlot, sizeof id);
        return id;
    }
    void set_id(std::size_t i, std::uint32_t id) noexcept { std::memcpy(id_room + i * kIdSlot, &id, sizeof id); }

    static constexpr std::size_t kIdSlot = sizeof(double);
    PagedVector<double> own_ids;
    std::byte* id_room = nullptr;
};

// Empty when the column holds a label longer than kShortLabelBytes, when its
// rows or a part's ids would not fit the 32-bit ids, or when it floods the
// hash.
// `part_bits`, when not 0, sets the number of parts (for the benchmark).
// `room`, when given, holds one double per row that the caller overwrites
// only after it is done with the ids (its codes): the ids are kept there
// rather than in a buffer of their own, sparing a column of 10^7 rows 40 MB
// of fresh memory. What room holds afterwards, ids or not, is not a double
// to be read.
template <class WordHash = FastShortHash>
std::optional<PartitionedDedupe> dedupe_partitioned(std::span<const std::string_view> labels,
                                                    const WordHash& hash = WordHash{}, unsigned part_bits = 0,
                                                    double* room = nullptr) {
    const std::size_t n = labels.size();
    if (n >= std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    // The first rows' distinct labels, for the number of parts.
    const std::size_t probe = std::min(n, kProbeRows);
    std::size_t seen = probe;
    {
        std::size_t failed = 0;
        GuardedMap<FastHash, char> first(0, FastHash{}, CountingEq{&failed});
        for (std::size_t i = 0; i != probe && failed <= flood_bound(i); ++i) first.try_emplace(labels[i], 0);
        if (failed <= flood_bound(probe)) seen = first.size();
    }
    const unsigned bits = part_bits != 0 ? part_bits : partition_bits(expected_distinct(n, probe, seen));
    const std::size_t parts = std::size_t{1} << bits;
    const std::uint32_t max_local = std::numeric_limits<std::uint32_t>::max() >> bits;

    PartitionedDedupe d;
    d.part_bits = bits;
    if (room == nullptr) {
        d.own_ids.resize(n);
        room = d.own_ids.data();
    }
    d.id_room = reinterpret_cast<std::byte*>(room);
    std::vector<ShortTable> tables(parts);
    std::vector<std::vector<std::uint32_t>> first_rows(parts);
    std::vector<std::size_t> passed(parts, 0);
    std::vector<std::size_t> lookups(parts, 0);
    const std::size_t block_rows = partition_block_rows(n);
    const std::size_t piece_rows = scatter_piece_rows(block_rows);
    const std::size_t pieces = kMaxPieces;
    // piece -> part -> the piece's entries of that part, reused block to block.
    std::vector<std::vector<std::vector<ShortEntry>>> scattered(pieces, std::vector<std::vector<ShortEntry>>(parts));
    std::vector<std::uint16_t> part_of_row(std::min(n, block_rows));
    std::atomic<bool> give_up{false};

    for (std::size_t block = 0; block < n; block += block_rows) {
        const std::size_t block_end = std::min(n, block + block_rows);
        const std::size_t block_pieces = (block_end - block + piece_rows - 1) / piece_rows;
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block_pieces, 1), [&](const auto& range) {
            for (std::size_t q = range.begin(); q != range.end(); ++q) {
                const std::size_t begin = block + q * piece_rows;
                const std::size_t end = std::min(block_end, begin + piece_rows);
                std::vector<std::vector<ShortEntry>>& mine = scattered[q];
                for (auto& part : mine) {
                    part.clear();
                    part.reserve((end - begin) / parts * 5 / 4 + 8);
                }
                for (std::size_t i = begin; i != end; ++i) {
                    // Labels may lie anywhere (in the cells' own objects): ask for
                    // one some rows on, so their misses overlap.
                    if (i + kLabelAhead < end) __builtin_prefetch(labels[i + kLabelAhead].data());
                    const std::string_view l = labels[i];
                    if (l.size() > kShortLabelBytes) {
                        give_up.store(true, std::memory_order_relaxed);
                        return;
                    }
                    std::uint64_t h = 0;
                    const ShortEntry e = short_entry(l, hash, static_cast<std::uint32_t>(i), &h);
                    const auto part = static_cast<std::uint16_t>(h >> (64 - bits));
                    part_of_row[i - block] = part;
                    mine[part].push_back(e);
                }
            }
        });
        stop_point();
        if (give_up.load()) return std::nullopt;

        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts, 1), [&](const auto& range) {
            for (std::size_t p = range.begin(); p != range.end(); ++p) {
                ShortTable& table = tables[p];
                std::size_t& pass = passed[p];
                std::size_t& seen = lookups[p];
                for (std::size_t q = 0; q != block_pieces; ++q) {
                    for (ShortEntry& e : scattered[q][p]) {
                        bool inserted = false;
                        const auto next = static_cast<std::uint32_t>(table.size());
                        const std::uint32_t id = table.find_or_add(e, next, inserted, pass);
                        if (inserted) first_rows[p].push_back(e.index);
                        e.index = id;
                        if (pass > flood_bound(++seen) || id > max_local) {
                            give_up.store(true, std::memory_order_relaxed);
                            return;
                        }
                    }
                    if (give_up.load(std::memory_order_relaxed)) return;
                }
            }
        });
        stop_point();
        if (give_up.load()) return std::nullopt;

        // Back in row order: each row's entry is the next one of its part in
        // its piece, and now holds the row's id.
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block_pieces, 1), [&](const auto& range) {
            std::vector<std::uint32_t> next(parts);
            for (std::size_t q = range.begin(); q != range.end(); ++q) {
                std::fill(next.begin(), next.end(), 0);
                const std::size_t begin = block + q * piece_rows;
                const std::size_t end = std::min(block_end, begin + piece_rows);
                const std::vector<std::vector<ShortEntry>>& mine = scattered[q];
                for (std::size_t i = begin; i != end; ++i) {
                    const std::uint16_t p = part_of_row[i - block];
                    d.set_id(i, (mine[p][next[p]++].index << bits) | p);
                }
            }
        });
        stop_point();
    }
    scattered.clear();
    for (auto& t : tables) t.release();

    d.part_start.resize(parts);
    std::size_t total = 0;
    for (std::size_t p = 0; p != parts; ++p) {
        d.part_start[p] = static_cast<std::uint32_t>(total);
        total += first_rows[p].size();
        d.failed_probes += passed[p];
    }
    d.distinct.resize(total);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts, 1), [&](const auto& range) {
        for (std::size_t p = range.begin(); p != range.end(); ++p) {
            std::string_view* out = d.distinct.data() + d.part_start[p];
            for (const std::uint32_t row : first_rows[p]) *out++ = labels[row];
            std::vector<std::uint32_t>().swap(first_rows[p]);
        }
    });
    return d;
}

}  // namespace brindle::detail
