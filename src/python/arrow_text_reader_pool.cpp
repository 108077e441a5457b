// The Arrow text reader, on the pool: plain memory only.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits (here: none).
#include "python/arrow_text_reader.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/engine.hpp"
#include "lib/engine/partition_dedupe.hpp"
#include "python/cell_text.hpp"

namespace brindle {
namespace {

// Rows a block of a long column holds: blocks are read side by side on the
// pool, each listing its own texts. A function of the column's length only,
// so the list never depends on the pool size. Long blocks share more
// entries (a block of a column of 10^5 labels meets each of them many
// times); sixteen of them still keep a pool busy.
constexpr std::size_t kMinBlockRows = std::size_t{1} << 17;
constexpr std::size_t kBlocks = 16;

constexpr std::size_t block_rows(std::size_t rows) noexcept {
    return std::max(kMinBlockRows, (rows + kBlocks - 1) / kBlocks);
}

// Whether a block keeps sharing entries, judged after kProbeRows lookups:
// sharing costs a probe per cell, listing a cell costs its entry and the
// coding step's work on it, so it pays while the block is expected to hold
// well under one distinct text per cell, in a table that stays in cache.
constexpr double kMaxDistinctShare = 0.6;
constexpr std::size_t kMaxShared = std::size_t{1} << 18;

bool sharing_pays(const TextEntries& entries, std::size_t block) noexcept {
    if (entries.size() > kMaxShared) return false;
    if (entries.lookups() != detail::kProbeRows) return true;
    const double distinct = detail::expected_distinct(block, entries.lookups(), entries.size());
    return distinct <= kMaxDistinctShare * static_cast<double>(block) && distinct <= kMaxShared;
}

constexpr std::uint64_t kUnset = ~std::uint64_t{0};

// How many rows ahead of its probe a block asks for a text's slot.
constexpr std::int64_t kProbeAhead = 8;
// Distinct texts from which a block's table is taken to outgrow the cache.
constexpr std::size_t kPrefetchFrom = std::size_t{1} << 14;

// The text of a missing row: pd.NA's, or a missing float's, which reads as
// a number until the column's first valid row and as text after it.
std::string_view missing_text(const ArrowTextColumn& col, bool after_first_valid) noexcept {
    return !col.na_is_float ? kNA : missing_float_text(after_first_valid);
}

// Reads rows [begin, end) of the column, the first in element `i` of chunk
// `k`: each row's index into `list`, where its text goes, into out. A
// missing row after `first_valid` (the column's first valid row) is the
// text of a missing float there.
void read_block(const ArrowTextColumn& col, std::size_t k, std::int64_t i, std::size_t begin, std::size_t end,
                std::size_t first_valid, PagedVector<std::string_view>& list, double* out) {
    const ArrowChunks& chunks = col.chunks;
    std::uint64_t lead_entry = kUnset;
    std::uint64_t missing_entry = kUnset;
    // Cells holding one text share its entry, as cells sharing one str
    // object do, so the list (and the coding step's work) is one entry per
    // distinct text rather than per cell. Given up where it does not pay
    // (sharing_pays), or once texts flood the hash (TextEntries says); later
    // cells then take an entry each, and coding merges them.
    TextEntries entry_of;
    bool sharing = true;
    for (std::size_t r = begin; r != end; ++k, i = 0) {
        const ArrowArray& a = chunks.chunk(k);
        for (; i < a.length && r != end; ++i, ++r) {
            if (ArrowChunks::valid(a, i)) {
                const std::string_view text = chunks.text(a, i);
                if (sharing) {
                    // Once a block's table outgrows the cache, each probe is a
                    // miss: ask for the slot of a text some rows on, so the
                    // misses overlap. A small table is left to the cache.
                    const std::int64_t ahead = i + kProbeAhead;
                    if (entry_of.size() > kPrefetchFrom && ahead < a.length && ArrowChunks::valid(a, ahead))
                        entry_of.prefetch(chunks.text(a, ahead));
                    const auto [entry, inserted] = entry_of.try_emplace(text, list.size());
                    if (inserted) list.push_back(text);
                    put_label_index(out + r, entry);
                    // Judged where it can change: the table grows only by a new
                    // text, the probe is taken once, a flood builds slowly.
                    const std::size_t seen = entry_of.lookups();
                    const bool judge = inserted || seen == detail::kProbeRows || seen % 1024 == 0;
                    if (judge && (entry_of.flooded() || !sharing_pays(entry_of, end - begin))) {
                        sharing = false;
                        entry_of.release();
                        list.reserve(list.size() + (end - r) + 2);
                    }
                    continue;
                }
                put_label_index(out + r, list.size());
                list.push_back(text);
                continue;
            }
            const bool seen_text = r > first_valid;
            std::uint64_t& entry = !col.na_is_float ? missing_entry : seen_text ? missing_entry : lead_entry;
            if (entry == kUnset) {
                entry = list.size();
                list.push_back(missing_text(col, seen_text));
            }
            put_label_index(out + r, entry);
        }
    }
}

// Rows [begin, end) in the plain form: row r's text is entry r of `list`.
void read_plain(const ArrowTextColumn& col, std::size_t k, std::int64_t i, std::size_t begin, std::size_t end,
                std::size_t first_valid, std::string_view* list, double* out) {
    const ArrowChunks& chunks = col.chunks;
    for (std::size_t r = begin; r != end; ++k, i = 0) {
        const ArrowArray& a = chunks.chunk(k);
        for (; i < a.length && r != end; ++i, ++r) {
            if (ArrowChunks::valid(a, i))
                list[r] = chunks.text(a, i);
            else
                list[r] = missing_text(col, r > first_valid);
            put_label_index(out + r, r);
        }
    }
}

// Whether blocks of `per_block` rows would share entries, judged as a block
// judges it, on the column's first texts.
bool blocks_share(const ArrowChunks& chunks, std::size_t per_block) {
    TextEntries entries;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i) {
            if (!ArrowChunks::valid(a, i)) continue;
            entries.try_emplace(chunks.text(a, i), entries.size());
            if (entries.flooded()) return false;
            if (entries.lookups() == detail::kProbeRows) return sharing_pays(entries, per_block);
        }
    }
    return true;
}

}  // namespace

// A long column is read block by block on the pool, each block listing its
// own texts; the lists are then laid end to end and each block's indices
// moved past the lists before it. A text in several blocks is listed once
// per block, which coding merges. A column whose first texts say sharing
// would not pay takes the plain form at once: every row its own entry,
// written in place.
bool read_arrow_column(const ArrowTextColumn& col, std::uint8_t& is_text, std::size_t& first_text,
                       PagedVector<std::string_view>& list, double* out) {
    const ArrowChunks& chunks = col.chunks;
    const std::size_t valid_cells = chunks.valid_cells();
    if (col.na_is_float && valid_cells == 0) {
        std::size_t r = 0;
        for (std::size_t k = 0; k != chunks.size(); ++k)
            for (std::int64_t i = 0; i < chunks.chunk(k).length; ++i, ++r) std::memcpy(out + r, &col.na_float, sizeof(double));
        return false;
    }
    is_text = 1;
    // Where each chunk starts, and the first valid row.
    std::vector<std::size_t> chunk_start(chunks.size() + 1, 0);
    for (std::size_t k = 0; k != chunks.size(); ++k)
        chunk_start[k + 1] = chunk_start[k] + static_cast<std::size_t>(chunks.chunk(k).length);
    const std::size_t rows = chunk_start.back();
    std::size_t first_valid = rows;
    for (std::size_t k = 0, r = 0; k != chunks.size() && first_valid == rows; ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            if (ArrowChunks::valid(a, i)) {
                first_valid = r;
                break;
            }
        }
    }
    if (col.na_is_float && first_valid != rows) first_text = first_valid;

    // The chunk that holds row r.
    const auto chunk_of = [&](std::size_t r) {
        return static_cast<std::size_t>(std::upper_bound(chunk_start.begin(), chunk_start.end(), r) -
                                        chunk_start.begin() - 1);
    };
    const auto block_at = [&](std::size_t begin, std::size_t end, PagedVector<std::string_view>& mine) {
        const std::size_t k = chunk_of(begin);
        read_block(col, k, static_cast<std::int64_t>(begin - chunk_start[k]), begin, end, first_valid, mine, out);
    };
    const std::size_t per_block = block_rows(rows);
    const std::size_t blocks = (rows + per_block - 1) / per_block;
    // A column of few texts is judged by its one block as it goes.
    if (valid_cells > detail::kProbeRows && !blocks_share(chunks, per_block)) {
        list.resize(rows);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1), [&](const auto& range) {
            for (std::size_t b = range.begin(); b != range.end(); ++b) {
                const std::size_t begin = b * per_block;
                const std::size_t k = chunk_of(begin);
                read_plain(col, k, static_cast<std::int64_t>(begin - chunk_start[k]), begin,
                           std::min(rows, begin + per_block), first_valid, list.data(), out);
            }
        });
        return true;
    }
    if (blocks <= 1) {
        block_at(0, rows, list);
        return false;
    }
    std::vector<PagedVector<std::string_view>> lists(blocks);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1), [&](const auto& range) {
        for (std::size_t b = range.begin(); b != range.end(); ++b)
            block_at(b * per_block, std::min(rows, (b + 1) * per_block), lists[b]);
    });
    std::vector<std::size_t> list_start(blocks + 1, 0);
    for (std::size_t b = 0; b != blocks; ++b) list_start[b + 1] = list_start[b] + lists[b].size();
    list.resize(list_start.back());
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1), [&](const auto& range) {
        for (std::size_t b = range.begin(); b != range.end(); ++b) {
            std::copy(lists[b].begin(), lists[b].end(), list.begin() + static_cast<std::ptrdiff_t>(list_start[b]));
            PagedVector<std::string_view>().swap(lists[b]);
            if (b == 0) continue;
            const std::uint64_t shift = list_start[b];
            for (std::size_t r = b * per_block, end = std::min(rows, (b + 1) * per_block); r != end; ++r)
                put_label_index(out + r, label_index(out + r) + shift);
        }
    });
    return false;
}

}  // namespace brindle
