// libFuzzer target for column coding: any bytes become a few text columns
// (with markers, duplicates, NUL and high bytes) and a numeric column; the
// coded results must satisfy the coding invariants on both coding roads.
//
// Built and run by scripts/engine-fuzz.sh.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/engine.hpp"

namespace {

using namespace brindle;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Length-prefixed labels; a length byte of 240 or more picks a label from a
// small set instead, so markers and repeats are frequent.
std::vector<std::string> parse_labels(const std::uint8_t* data, std::size_t size) {
    static const char* const common[] = {"nan", "NaN", "<NA>", "", "a", "B", "NAN", "é", "nan "};
    std::vector<std::string> labels;
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t len = data[i++];
        if (len >= 240) {
            labels.emplace_back(common[(len - 240) % std::size(common)]);
            continue;
        }
        const std::size_t n = std::min<std::size_t>(len % 24, size - i);
        labels.emplace_back(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }
    return labels;
}

// The invariants of one coded column against its labels.
void check_column(const std::vector<std::string_view>& labels, const double* cells, std::size_t first,
                  std::size_t stride,
                  const LabelToCode& forward, const CodeToLabel* reverse) {
    const std::set<std::string_view> distinct(labels.begin(), labels.end());
    check(forward.size() == distinct.size(), "one book entry per distinct label");
    std::map<std::string_view, Code> coded;  // ordered by bytes (char_traits<char> compares unsigned)
    for (std::string_view label : distinct) {
        const std::optional<std::optional<Code>> entry = forward.find(label);
        check(entry.has_value(), "every label is in the book");
        check(!entry->has_value() == is_marker(label), "markers, and only markers, take no code");
        if (*entry) coded.emplace(label, **entry);
    }
    Code expect = 0;
    for (const auto& [label, code] : coded) check(code == expect++, "codes are dense and follow byte order");
    for (std::size_t r = 0; r != labels.size(); ++r) {
        const std::optional<Code> code = *forward.find(labels[r]);
        const std::uint64_t want = code ? bits(static_cast<double>(*code)) : 0x7FF8000000000000ULL;
        check(bits(cells[first + r * stride]) == want, "each cell holds its label's code");
    }
    if (reverse) {
        check(reverse->size() == coded.size(), "reverse book has one entry per code");
        for (const auto& [label, code] : coded) {
            check(reverse->find(code) == label, "reverse book is the exact inverse");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cols = 1 + data[0] % 4;  // the last column is numeric
    const std::vector<std::string> owned = parse_labels(data + 1, size - 1);
    const std::vector<std::string_view> all(owned.begin(), owned.end());

    // One column, every road: identical results.
    const LabelCodes hashed = label_encode(all);
    check_column(all, hashed.codes.data(), 0, 1, hashed.book, nullptr);
    for (const detail::Road road : {detail::Road::sorted, detail::Road::sorted_wide}) {
        const LabelCodes sorted = detail::label_encode_here(all, road);
        check(std::equal(sorted.codes.begin(), sorted.codes.end(), hashed.codes.begin(), hashed.codes.end(),
                         [](double a, double b) { return bits(a) == bits(b); }),
              "every road gives the same codes");
        check(sorted.book == hashed.book, "every road gives the same book");
    }

    // The labels dealt out over cols - 1 text columns beside a numeric one,
    // the first in the plain form (every row its own list entry), the others
    // with rows sharing entries as the scan lists them: the entry of a row
    // is picked by a byte of the input, among the entries of equal labels.
    const std::size_t text_cols = cols - 1;
    const std::size_t rows = text_cols ? all.size() / text_cols : std::min<std::size_t>(size, 64);
    ColumnScan scan;
    scan.reset(rows, cols);
    std::vector<double> matrix(rows * cols);
    std::vector<std::vector<std::string_view>> row_labels(text_cols);
    for (std::size_t c = 0; c != text_cols; ++c) {
        scan.is_text[c] = 1;
        row_labels[c].assign(all.begin() + c * rows, all.begin() + (c + 1) * rows);
        std::map<std::string_view, std::vector<std::uint64_t>> entries;
        for (std::size_t r = 0; r != rows; ++r) {
            const std::string_view label = row_labels[c][r];
            std::vector<std::uint64_t>& mine = entries[label];
            const std::uint8_t pick = data[(r + c) % size];
            if (c == 0 || mine.empty() || pick % 4 == 0) {
                mine.push_back(scan.strings[c].size());
                scan.strings[c].push_back(label);
            }
            put_label_index(&matrix[r * cols + c], c == 0 ? r : mine[pick % mine.size()]);
        }
    }
    std::vector<double> numbers(rows);
    for (std::size_t r = 0; r != rows; ++r) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + r % size, std::min<std::size_t>(8, size - r % size));
        numbers[r] = std::bit_cast<double>(word * 0x9E3779B97F4A7C15ULL);
        matrix[r * cols + cols - 1] = numbers[r];
    }
    // Some inputs give column 0 indices local to blocks of rows: a block's
    // first row through the block's head, the others through its tail.
    if (text_cols != 0 && (data[0] & 0x40) != 0) {
        const std::size_t block_rows = 1 + data[size / 2] % 16;
        for (std::size_t begin = 0; begin < rows; begin += block_rows) {
            scan.local[0].push_back(LocalIndices{begin, {begin}, begin + 1});
            for (std::size_t r = begin; r != std::min(rows, begin + block_rows); ++r)
                put_label_index(&matrix[r * cols], r - begin);
        }
    }
    // Some code a column-major matrix: transposed in, and back for the checks.
    const bool column_major = (data[0] & 0x80) != 0;
    const auto transpose = [&](bool to_columns) {
        std::vector<double> out(matrix.size());
        for (std::size_t r = 0; r != rows; ++r)
            for (std::size_t c = 0; c != cols; ++c) {
                if (to_columns) out[c * rows + r] = matrix[r * cols + c];
                else out[r * cols + c] = matrix[c * rows + r];
            }
        matrix = std::move(out);
    };
    scan.column_major = column_major;
    if (column_major) transpose(true);
    const std::vector<ColumnBooks> books = encode_columns(scan, std::make_shared<const SendPtr>(matrix.data()));
    if (column_major) transpose(false);
    check(books.size() == text_cols, "one book pair per text column");
    for (std::size_t c = 0; c != text_cols; ++c) {
        check(books[c].column == c, "books in column order");
        check_column(row_labels[c], matrix.data(), c, cols, books[c].forward, &books[c].reverse);
    }
    for (std::size_t r = 0; r != rows; ++r)
        check(bits(matrix[r * cols + cols - 1]) == bits(numbers[r]), "numbers pass through bitwise");
    return 0;
}
