// The fast coder against the sort-everything reference on random columns.
#include <gtest/gtest.h>

#include "lib/engine/column_coding.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

using detail::Road;

struct Column {
    Shape shape;
    std::size_t rows;
};

class AgainstReference : public ::testing::TestWithParam<std::tuple<Column, int, Road>> {};

TEST_P(AgainstReference, SameCodesAndBook) {
    const auto& [column, threads, road] = GetParam();
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        const std::vector<std::string> labels = random_column(column.shape, column.rows, seed);
        const Reference want = reference_encode(labels);
        LabelCodes got;
        in_arena(threads, [&] { got = detail::label_encode_here(views(labels), road); });
        ASSERT_EQ(all_bits(got.codes), want.code_bits) << "seed " << seed;
        ASSERT_EQ(ordered(got.book), want.book) << "seed " << seed;
    }
}

// Sizes straddle the chunk length so single-chunk, multi-chunk and ragged
// last chunks are all covered.
const Column kColumns[] = {
    {Shape::few, 0},           {Shape::few, 1},
    {Shape::few, 1000},        {Shape::few, 140000},
    {Shape::some, 140000},
    {Shape::many, 5000},       {Shape::many, 140000},
    {Shape::markers_only, 300}, {Shape::markers_only, 70000},
    {Shape::nul_bytes, 2000},  {Shape::non_ascii, 2000},
    {Shape::non_ascii, 70000}, {Shape::shared_prefix, 3000},
    {Shape::shared_prefix, 70000}, {Shape::short_labels, 65536},
};

std::string shape_name(Shape s) {
    switch (s) {
        case Shape::few: return "few";
        case Shape::some: return "some";
        case Shape::many: return "many";
        case Shape::markers_only: return "markers_only";
        case Shape::nul_bytes: return "nul_bytes";
        case Shape::non_ascii: return "non_ascii";
        case Shape::shared_prefix: return "shared_prefix";
        case Shape::short_labels: return "short_labels";
    }
    return "unknown";
}

std::string case_name(const std::tuple<Column, int, Road>& param) {
    const auto& [column, threads, road] = param;
    return shape_name(column.shape) + "_" + std::to_string(column.rows) + "_t" + std::to_string(threads) +
           "_" + road_name(road);
}

// Past a million rows the partitioned road takes the column in several
// blocks, each part's table carried from block to block; labels of up to 16
// bytes, a ragged last block; also through the road the engine picks.
TEST(AgainstReference, PartitionedAcrossBlocks) {
    const std::size_t rows = (std::size_t{1} << 20) + (std::size_t{1} << 18) + 777;
    for (const Shape shape : {Shape::some, Shape::many}) {
        const std::vector<std::string> labels = random_column(shape, rows, 11);
        const Reference want = reference_encode(labels);
        for (const auto& [threads, road] : {std::pair{1, Road::partitioned}, std::pair{3, Road::partitioned},
                                            std::pair{2, Road::hashed}}) {
            LabelCodes got;
            in_arena(threads, [&] { got = detail::label_encode_here(views(labels), road); });
            ASSERT_EQ(all_bits(got.codes), want.code_bits) << shape_name(shape) << " t" << threads;
            ASSERT_EQ(ordered(got.book), want.book) << shape_name(shape) << " t" << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Random, AgainstReference,
                         ::testing::Combine(::testing::ValuesIn(kColumns), ::testing::Values(1, 4),
                                            ::testing::ValuesIn(kRoads)),
                         [](const auto& info) { return case_name(info.param); });

}  // namespace
}  // namespace brindle::testing
