// Coding of one text column: distinct labels in ascending byte order, codes
// from 0 without gaps, markers entered as missing.
#include "engine/column_coding.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_sort.h>

#include "engine/hashing.hpp"
#include "engine/pool.hpp"

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

// Frees a list's memory now rather than at the end of its scope.
template <class T>
void release(std::vector<T>& list) noexcept {
    std::vector<T>().swap(list);
}

// A label with the position it came from (a row, or an index into the
// distinct list) and its prefix key.
struct Entry {
    Entry() = default;
    Entry(std::string_view l, std::size_t i) noexcept : key(prefix_key(l)), label(l), index(i) {}
    std::uint64_t key = 0;
    std::string_view label;
    std::size_t index = 0;
};

// NOTE: labels live wherever their texts do, so reading one is often a cache
// miss; comparing prefix keys first leaves the labels unread unless their
// first eight bytes tie (a shorter label's padding ties with real zero bytes,
// which the full comparison then orders). std::string_view compares through
// char_traits<char>, which orders as unsigned char: the byte order of codes.
inline bool by_label(const Entry& a, const Entry& b) noexcept {
    if (a.key != b.key) return a.key < b.key;
    return a.label < b.label;
}

// Codes handed out to distinct labels met in ascending order: the coded
// labels in code order, and the markers, which take no code.
struct Numbering {
    std::vector<std::string_view> coded;
    std::vector<std::string_view> markers;

    // The code of the next distinct label, as the float written to its cells.
    double add(std::string_view label) {
        if (is_marker(label)) {
            markers.push_back(label);
            return missing_code();
        }
        coded.push_back(label);
        return static_cast<double>(coded.size() - 1);
    }
};

// The books of a column numbered as `num`, built beside `write_rows`, which
// fills the column's cells.
template <class WriteRows>
ColumnCoding finish(const Numbering& num, bool want_reverse, WriteRows&& write_rows) {
    ColumnCoding out;
    tbb::parallel_invoke(
        [&] {
            out.forward = LabelToCode(std::make_shared<const LabelArena>(num.coded), num.markers);
            if (want_reverse) out.reverse = out.forward.reverse();
        },
        write_rows);
    return out;
}

// Sorts every row, then numbers the runs of equal labels in one pass that
// also writes each row's code. Beside the column it holds one 32-byte entry
// per row while sorting, and the coded labels.
ColumnCoding code_by_sort(std::span<const std::string_view> labels, CodeSink sink, bool want_reverse) {
    Numbering num;
    {
        std::vector<Entry> rows(labels.size());
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows.size(), 4096), [&](const auto& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) rows[i] = Entry{labels[i], i};
        });
        tbb::parallel_sort(rows.begin(), rows.end(), by_label);
        double code = 0.0;
        for (std::size_t i = 0; i != rows.size(); ++i) {
            const std::string_view label = rows[i].label;
            if (i == 0 || label != rows[i - 1].label) code = num.add(label);
            sink.put(rows[i].index, code);
        }
    }
    return finish(num, want_reverse, [] {});
}

ColumnCoding code_by_hash(std::span<const std::string_view> labels, CodeSink sink, bool want_reverse) {
    std::optional<Dedupe> d = dedupe<FastHash>(labels, FastHash{}, labels.size() / 2);
    if (!d) return code_by_sort(labels, sink, want_reverse);

    // Each chunk's codes by local id, so writing a row is one table read. The
    // lists that lead there are released as soon as they are used.
    Numbering num;
    std::vector<std::vector<double>> tables(d->to_distinct.size());
    {
        std::vector<double> code_of(d->distinct.size());
        {
            std::vector<Entry> sorted(d->distinct.size());
            for (std::size_t j = 0; j != sorted.size(); ++j) sorted[j] = Entry{d->distinct[j], j};
            release(d->distinct);  // the labels stay where the column's texts are
            tbb::parallel_sort(sorted.begin(), sorted.end(), by_label);
            for (const Entry& e : sorted) code_of[e.index] = num.add(e.label);
        }
        for (std::size_t c = 0; c != tables.size(); ++c) {
            const std::vector<std::size_t>& ids = d->to_distinct[c];
            tables[c].resize(ids.size());
            for (std::size_t l = 0; l != ids.size(); ++l) tables[c][l] = code_of[ids[l]];
            release(d->to_distinct[c]);
        }
    }

    return finish(num, want_reverse, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, tables.size(), 1), [&](const auto& range) {
            const std::size_t end = std::min(labels.size(), range.end() * kChunkRows);
            for (std::size_t i = range.begin() * kChunkRows; i < end; ++i)
                sink.put(i, tables[i / kChunkRows][d->local_ids[i]]);
        });
    });
}

}  // namespace

ColumnCoding code_column(std::span<const std::string_view> labels, CodeSink sink, bool want_reverse, Road road) {
    if (road == Road::sorted) return code_by_sort(labels, sink, want_reverse);
    return code_by_hash(labels, sink, want_reverse);
}

LabelCodes label_encode_here(std::span<const std::string_view> labels, Road road) {
    LabelCodes result;
    result.codes.resize(labels.size());
    result.book = code_column(labels, CodeSink{result.codes.data(), 0, 1}, false, road).forward;
    return result;
}

}  // namespace brindle::detail

namespace brindle {

LabelCodes label_encode(std::span<const std::string_view> labels) {
    LabelCodes result;
    detail::run_guarded([&] { result = detail::label_encode_here(labels); });
    return result;
}

}  // namespace brindle
