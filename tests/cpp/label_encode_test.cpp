// Column coding on hand-picked columns, through both coding roads.
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/dedupe.hpp"
#include "lib/engine/hashing.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

using namespace std::string_literals;
using detail::Road;

constexpr std::int64_t M = -1;  // expected code of a marker

struct Case {
    const char* name;
    std::vector<std::string> labels;
    std::vector<std::int64_t> codes;  // per row; M for missing
};

const Case kCases[] = {
    {"empty_column", {}, {}},
    {"duplicates_and_marker", {"b", "nan", "a", "b"}, {1, M, 0, 1}},
    {"empty_label_sorts_first", {"a", "", "b", ""}, {1, 0, 2, 0}},
    {"upper_before_lower", {"a", "B"}, {1, 0}},
    {"digits_by_bytes_not_value", {"9", "10"}, {1, 0}},
    {"prefix_first", {"abc", "ab"}, {1, 0}},
    {"utf8_above_ascii", {"é", "z"}, {1, 0}},
    {"unsigned_bytes", {"\xFF", "\x80", "\x7F", "\x01"}, {3, 2, 1, 0}},
    {"na_sorts_between_but_takes_no_code", {"A", "<NA>", "0"}, {1, M, 0}},
    {"nan_between_neighbours", {"O", "NaN", "N"}, {1, M, 0}},
    {"all_markers", {"nan", "NaN", "<NA>", "nan"}, {M, M, M, M}},
    {"marker_lookalikes_are_labels", {"NAN", "Nan", "nan ", "None", "nan\0"s, " nan"}, {1, 2, 5, 3, 4, 0}},
    {"nul_inside_labels", {"a\0b"s, "a", "a\0"s, "a\0b"s}, {2, 0, 1, 2}},
    {"single_row", {"x"}, {0}},
};

class LabelEncode : public ::testing::TestWithParam<std::tuple<Case, Road>> {};

TEST_P(LabelEncode, CodesAndBookFollowByteOrder) {
    const auto& [c, road] = GetParam();
    const std::vector<std::string_view> labels = views(c.labels);
    const LabelCodes got = road == Road::hashed ? label_encode(labels) : detail::label_encode_here(labels, road);

    std::vector<std::uint64_t> want;
    Book want_book;
    for (std::size_t i = 0; i != c.labels.size(); ++i) {
        const bool missing = c.codes[i] == M;
        want.push_back(missing ? kMissingBits : bits(static_cast<double>(c.codes[i])));
        want_book[c.labels[i]] = missing ? std::nullopt : std::optional<Code>(c.codes[i]);
    }
    EXPECT_EQ(all_bits(got.codes), want);
    EXPECT_EQ(ordered(got.book), want_book);
    // Lookups agree with the listing, and labels of no row have no entry.
    for (const auto& [label, code] : want_book) EXPECT_EQ(got.book.find(label), std::optional<std::optional<Code>>(code)) << label;
    for (std::string_view other : {"nan", "NaN", "<NA>", "", "a", "ab", "zz"}) {
        if (!want_book.contains(std::string(other))) EXPECT_FALSE(got.book.contains(other)) << other;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LabelEncode, ::testing::Combine(::testing::ValuesIn(kCases),
                                                                  ::testing::ValuesIn(kRoads)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + road_name(std::get<1>(info.param));
                         });

// A book large enough to wrap its probe sequences: every label found with its
// code, absent labels missed, the reverse book its inverse.
TEST(CodeBooks, LargeBookLooksUpEveryLabel) {
    std::mt19937_64 rng(7);
    std::vector<std::string> labels;
    for (int i = 0; i != 100'000; ++i) labels.push_back(std::to_string(rng()));
    labels.push_back("nan");
    const std::vector<std::string_view> column = views(labels);
    const LabelCodes got = label_encode(column);
    ASSERT_EQ(got.book.size(), std::set<std::string>(labels.begin(), labels.end()).size());
    const CodeToLabel reverse = got.book.reverse();
    for (std::size_t i = 0; i != column.size(); ++i) {
        const std::optional<std::optional<Code>> entry = got.book.find(column[i]);
        ASSERT_TRUE(entry.has_value()) << column[i];
        ASSERT_EQ(bits(entry->has_value() ? static_cast<double>(**entry) : missing_code()), bits(got.codes[i]));
        if (*entry) ASSERT_EQ(reverse.find(**entry), column[i]);
    }
    for (int i = 0; i != 10'000; ++i) EXPECT_FALSE(got.book.contains("x" + std::to_string(rng())));
    EXPECT_FALSE(got.book.contains("NaN"));
    EXPECT_FALSE(reverse.find(reverse.size()).has_value());
    EXPECT_TRUE(LabelToCode().empty());
    EXPECT_FALSE(LabelToCode().contains(""));
}

// Columns of several chunks pick their road by how many distinct labels a
// chunk holds; every pick codes as the sort does.
TEST(LabelEncodeRoads, ChunkCardinalityPicksARoadAndEveryRoadAgrees) {
    struct Column {
        std::size_t labels;  // distinct labels drawn from, markers among them
        detail::DedupeEnd end;
    };
    const std::size_t rows = 3 * detail::kChunkRows + 17;
    for (const Column c : {Column{300, detail::DedupeEnd::done}, Column{40'000, detail::DedupeEnd::many_per_chunk},
                           Column{rows, detail::DedupeEnd::many_per_chunk}}) {
        std::mt19937_64 rng(c.labels);
        std::vector<std::string> labels;
        for (std::size_t i = 0; i != rows; ++i) {
            const std::size_t k = static_cast<std::size_t>(rng() % c.labels);
            labels.push_back(k == 0 ? "nan" : "label-" + std::to_string(k));
        }
        const std::vector<std::string_view> column = views(labels);
        detail::DedupeEnd end = detail::DedupeEnd::done;
        detail::dedupe<detail::FastHash>(column, detail::FastHash{}, rows / 2, 0.25, &end);
        EXPECT_EQ(end, c.end) << c.labels;
        const LabelCodes want = detail::label_encode_here(column, Road::sorted);
        for (const Road road : {Road::hashed, Road::one_map}) {
            const LabelCodes got = detail::label_encode_here(column, road);
            EXPECT_EQ(all_bits(got.codes), all_bits(want.codes)) << c.labels << " " << road_name(road);
            EXPECT_TRUE(got.book == want.book) << c.labels << " " << road_name(road);
        }
    }
}

// The inline comparison against std::string_view's, for every size up to
// past its word loads and a difference at every position.
TEST(SameBytes, AgreesWithStringViewCompare) {
    for (std::size_t n = 0; n != 40; ++n) {
        const std::string a(n, 'x');
        EXPECT_TRUE(detail::same_bytes(a.data(), std::string(a).data(), n)) << n;
        for (std::size_t at = 0; at != n; ++at) {
            std::string b = a;
            b[at] = '\xff';
            EXPECT_FALSE(detail::same_bytes(a.data(), b.data(), n)) << n << " " << at;
        }
    }
}

TEST(Markers, ExactBytesOnly) {
    for (std::string_view m : {"nan", "NaN", "<NA>"}) EXPECT_TRUE(is_marker(m)) << m;
    for (std::string_view s : std::initializer_list<std::string_view>{"NAN", "nan ", "<na>", "<NA", "", std::string_view("nan\0", 4)})
        EXPECT_FALSE(is_marker(s)) << s;
    EXPECT_EQ(bits(missing_code()), kMissingBits);
}

}  // namespace
}  // namespace brindle::testing
