// Coding of one text column: distinct labels in ascending byte order, codes
// from 0 without gaps, markers entered as missing.
#include "lib/engine/column_coding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_sort.h>

#include "lib/engine/dedupe.hpp"
#include "lib/engine/hashing.hpp"
#include "lib/engine/partition_dedupe.hpp"
#include "lib/engine/pool.hpp"

namespace brindle::detail {
namespace {

// The first eight bytes of a label as a big-endian number, zero-padded: keys
// order like the labels' prefixes, so most comparisons never read the labels.
inline std::uint64_t prefix_key(std::string_view label) noexcept {
    unsigned char bytes[8] = {};
    if (!label.empty()) std::memcpy(bytes, label.data(), std::min<std::size_t>(label.size(), 8));
    std::uint64_t key = 0;
    for (unsigned char b : bytes) key = (key << 8) | b;
    return key;
}

// Rows between two stop points of a long sequential loop: a few milliseconds.
constexpr std::size_t kRowsPerStopPoint = std::size_t{1} << 16;

// Frees a list's memory now rather than at the end of its scope.
template <class List>
void release(List& list) noexcept {
    List().swap(list);
}

// A label, the position it came from (a row, or an index into the distinct
// list) and its prefix key. Narrow entries (24 bytes) hold lengths and
// positions in 32 bits and serve every column where both fit; wide ones
// (32 bytes) the rest.
template <class Size>
struct BasicEntry {
    BasicEntry() = default;
    BasicEntry(std::string_view l, std::size_t i) noexcept
        : key(prefix_key(l)), data(l.data()), size(static_cast<Size>(l.size())), index(static_cast<Size>(i)) {}
    std::string_view label() const noexcept { return std::string_view(data, size); }

    std::uint64_t key = 0;
    const char* data = nullptr;
    Size size = 0;
    Size index = 0;
};
using NarrowEntry = BasicEntry<std::uint32_t>;
using WideEntry = BasicEntry<std::size_t>;
static_assert(sizeof(NarrowEntry) == 24);

// Whether narrow entries can hold `labels` and their positions.
bool fits_narrow(std::span<const std::string_view> labels) noexcept {
    constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
    return labels.size() <= kMax &&
           std::all_of(labels.begin(), labels.end(), [](std::string_view l) { return l.size() <= kMax; });
}

// NOTE: labels live wherever their texts do, so reading one is often a cache
// miss; comparing prefix keys first leaves the labels unread unless their
// first eight bytes tie (a shorter label's padding ties with real zero bytes,
// which the full comparison then orders). std::string_view compares through
// char_traits<char>, which orders as unsigned char: the byte order of codes.
template <class Entry>
bool by_label(const Entry& a, const Entry& b) noexcept {
    if (a.key != b.key) return a.key < b.key;
    return a.label() < b.label();
}

// Codes handed out to distinct labels met in ascending order: how many
// labels are coded, and the markers, which take no code.
struct Numbering {
    std::size_t coded = 0;
    std::vector<std::string_view> markers;

    // The code of the next distinct label, as the float written to its cells.
    double add(std::string_view label) {
        if (is_marker(label)) {
            markers.push_back(label);
            return missing_code();
        }
        return static_cast<double>(coded++);
    }
};

// The books over `arena`, built beside `write_rows`, which fills the
// column's cells.
template <class WriteRows>
ColumnCoding finish(LabelArena arena, const Numbering& num, bool want_reverse, WriteRows&& write_rows) {
    ColumnCoding out;
    tbb::parallel_invoke(
        [&] {
            out.forward = LabelToCode(std::make_shared<const LabelArena>(std::move(arena)), num.markers);
            if (want_reverse) out.reverse = out.forward.reverse();
        },
        write_rows);
    return out;
}

// Sorts every row, then numbers the runs of equal labels in one pass that
// also writes each row's code. Beside the column it holds one entry per row
// while sorting, then the books.
//
// NOTE: the coded labels are gathered after the entries are freed, from the
// codes just written (a label's bytes go to the slot of its code), so the
// column's peak memory is the larger of the sort and the books, not their
// sum. A label met on several rows is written once per row, which only a
// flooded column does often.
template <class Entry>
ColumnCoding code_by_sort(std::span<const std::string_view> labels, double* codes, bool want_reverse) {
    Numbering num;
    {
        PagedVector<Entry> rows(labels.size());
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows.size(), 4096), [&](const auto& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) rows[i] = Entry{labels[i], i};
        });
        tbb::parallel_sort(rows.begin(), rows.end(), by_label<Entry>);
        stop_point();
        double code = 0.0;
        for (std::size_t i = 0; i != rows.size(); ++i) {
            stop_point_every(i, kRowsPerStopPoint);
            // Labels whose keys differ differ, without reading them.
            const std::string_view label = rows[i].label();
            if (i == 0 || rows[i].key != rows[i - 1].key || label != rows[i - 1].label()) code = num.add(label);
            codes[rows[i].index] = code;
        }
    }
    stop_point();
    std::vector<std::uint64_t> ends(num.coded);
    for (std::size_t i = 0; i != labels.size(); ++i) {
        const double code = codes[i];
        if (!std::isnan(code)) ends[static_cast<std::size_t>(code)] = labels[i].size();
    }
    std::partial_sum(ends.begin(), ends.end(), ends.begin());
    LabelArena arena(std::move(ends));
    for (std::size_t i = 0; i != labels.size(); ++i) {
        const double code = codes[i];
        if (!std::isnan(code)) arena.fill(static_cast<std::size_t>(code), labels[i]);
    }
    return finish(std::move(arena), num, want_reverse, [] {});
}

ColumnCoding code_by_sort(std::span<const std::string_view> labels, double* codes, bool want_reverse) {
    if (fits_narrow(labels)) return code_by_sort<NarrowEntry>(labels, codes, want_reverse);
    return code_by_sort<WideEntry>(labels, codes, want_reverse);
}

// Numbers the `distinct` labels in ascending order: each one's code by its
// index in `distinct`, which this releases, and the coded labels.
//
// A book of a million labels spends more in the passes around the sort than
// in the sort itself when they run serially: each reads labels scattered
// through the column's texts, a cache miss apiece. So every pass runs on the
// pool; a label's code is its rank less the markers sorted before it (at
// most three, found by their place in the sorted list).
template <class Entry>
LabelArena number_distinct(PagedVector<std::string_view>& distinct, Numbering& num, PagedVector<double>& code_of) {
    const std::size_t n = distinct.size();
    PagedVector<Entry> sorted(n);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 4096), [&](const auto& range) {
        for (std::size_t j = range.begin(); j != range.end(); ++j) sorted[j] = Entry{distinct[j], j};
    });
    release(distinct);  // the labels stay where the column's texts are
    tbb::parallel_sort(sorted.begin(), sorted.end(), by_label<Entry>);
    stop_point();

    // Sorted positions of the markers, ascending.
    std::vector<std::size_t> marker_at;
    for (const std::string_view marker : kMarkers) {
        const Entry probe{marker, 0};
        const auto it = std::lower_bound(sorted.begin(), sorted.end(), probe, by_label<Entry>);
        if (it != sorted.end() && it->label() == marker) marker_at.push_back(static_cast<std::size_t>(it - sorted.begin()));
    }
    std::sort(marker_at.begin(), marker_at.end());
    for (const std::size_t at : marker_at) num.markers.push_back(sorted[at].label());
    num.coded = n - marker_at.size();
    const auto code_at = [&](std::size_t j) -> std::size_t {
        return j - static_cast<std::size_t>(std::upper_bound(marker_at.begin(), marker_at.end(), j) - marker_at.begin());
    };
    const auto is_marker_at = [&](std::size_t j) {
        return std::binary_search(marker_at.begin(), marker_at.end(), j);
    };

    std::vector<std::uint64_t> ends(num.coded);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 4096), [&](const auto& range) {
        for (std::size_t j = range.begin(); j != range.end(); ++j) {
            if (is_marker_at(j)) {
                code_of[sorted[j].index] = missing_code();
                continue;
            }
            const std::size_t code = code_at(j);
            code_of[sorted[j].index] = static_cast<double>(code);
            ends[code] = sorted[j].size;
        }
    });
    std::partial_sum(ends.begin(), ends.end(), ends.begin());
    LabelArena arena(std::move(ends));
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 4096), [&](const auto& range) {
        for (std::size_t j = range.begin(); j != range.end(); ++j)
            if (!is_marker_at(j)) arena.fill(code_at(j), sorted[j].label());
    });
    return arena;
}

LabelArena number_distinct(PagedVector<std::string_view>& distinct, Numbering& num, PagedVector<double>& code_of) {
    return fits_narrow(distinct) ? number_distinct<NarrowEntry>(distinct, num, code_of)
                                 : number_distinct<WideEntry>(distinct, num, code_of);
}

// A chunk whose distinct labels pass this share of its rows sends its column
// to the one-map road: past it, the serial merge of the chunks costs more
// than the one-map road's extra pass over the rows.
constexpr double kChunkShareForOneMap = 0.25;

ColumnCoding code_by_one_map(std::span<const std::string_view> labels, double* codes, bool want_reverse,
                             double max_probe_share) {
    std::optional<OneMapDedupe> d = dedupe_one_map<FastHash>(labels, FastHash{}, kChunkRows, max_probe_share);
    if (!d) return code_by_sort(labels, codes, want_reverse);
    Numbering num;
    PagedVector<double> code_of(d->distinct.size());
    LabelArena arena = number_distinct(d->distinct, num, code_of);
    return finish(std::move(arena), num, want_reverse, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, labels.size(), kChunkRows), [&](const auto& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) codes[i] = code_of[d->ids[i]];
        });
    });
}

// Falls back to the one-map road for a column that holds a long label, and
// to sorting for one that floods the hash.
ColumnCoding code_by_partition(std::span<const std::string_view> labels, double* codes, bool want_reverse) {
    // The ids wait in `codes`: row i's id is read before its code is written.
    std::optional<PartitionedDedupe> d = dedupe_partitioned(labels, FastShortHash{}, 0, codes);
    if (!d) return code_by_one_map(labels, codes, want_reverse, 0.9);
    Numbering num;
    PagedVector<double> code_of(d->distinct.size());
    LabelArena arena = number_distinct(d->distinct, num, code_of);
    return finish(std::move(arena), num, want_reverse, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, labels.size(), kChunkRows), [&](const auto& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) codes[i] = code_of[d->index_of(i)];
        });
    });
}

ColumnCoding code_by_hash(std::span<const std::string_view> labels, double* codes, bool want_reverse) {
    DedupeEnd end = DedupeEnd::done;
    std::optional<Dedupe> d = dedupe<FastHash>(labels, FastHash{}, labels.size() / 2, kChunkShareForOneMap, &end);
    if (!d) {
        if (end == DedupeEnd::many_per_chunk) return code_by_partition(labels, codes, want_reverse);
        return code_by_sort(labels, codes, want_reverse);
    }

    // Each chunk's codes by local id, so writing a row is one table read. The
    // lists that lead there are released as soon as they are used.
    Numbering num;
    std::vector<std::vector<double>> tables(d->to_distinct.size());
    LabelArena arena = [&] {
        PagedVector<double> code_of(d->distinct.size());
        LabelArena coded = number_distinct(d->distinct, num, code_of);
        for (std::size_t c = 0; c != tables.size(); ++c) {
            const std::vector<std::size_t>& ids = d->to_distinct[c];
            tables[c].resize(ids.size());
            for (std::size_t l = 0; l != ids.size(); ++l) tables[c][l] = code_of[ids[l]];
            release(d->to_distinct[c]);
        }
        return coded;
    }();

    return finish(std::move(arena), num, want_reverse, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, tables.size(), 1), [&](const auto& range) {
            const std::size_t end = std::min(labels.size(), range.end() * kChunkRows);
            for (std::size_t i = range.begin() * kChunkRows; i < end; ++i)
                codes[i] = tables[i / kChunkRows][d->local_ids[i]];
        });
    });
}

}  // namespace

ColumnCoding code_column(std::span<const std::string_view> labels, double* codes, bool want_reverse, Road road) {
    if (road == Road::sorted) return code_by_sort(labels, codes, want_reverse);
    if (road == Road::sorted_wide) return code_by_sort<WideEntry>(labels, codes, want_reverse);
    if (road == Road::one_map) return code_by_one_map(labels, codes, want_reverse, 1.0);
    if (road == Road::partitioned) return code_by_partition(labels, codes, want_reverse);
    return code_by_hash(labels, codes, want_reverse);
}

}  // namespace brindle::detail
