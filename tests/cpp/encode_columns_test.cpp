// The column step: matrix layout, numeric pass-through, books per text
// column in column order, and independence from the pool size.
#include <gtest/gtest.h>

#include <limits>

#include "engine/column_coding.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

// A scan plus the storage its string views point into.
struct Input {
    std::vector<std::vector<std::string>> text;  // per column; empty for numeric ones
    ColumnScan scan;

    Input(std::size_t rows, std::vector<std::vector<double>> numbers, std::vector<std::vector<std::string>> labels)
        : text(std::move(labels)) {
        scan.reset(rows, text.size());
        for (std::size_t c = 0; c != text.size(); ++c) {
            scan.is_text[c] = !text[c].empty();
            scan.numbers[c] = std::move(numbers[c]);
            scan.strings[c] = views(text[c]);
        }
    }
};

struct Result {
    std::vector<std::uint64_t> matrix;
    std::vector<std::size_t> columns;
    std::vector<Book> forward;
    std::vector<std::map<Code, std::string>> reverse;
    bool operator==(const Result&) const = default;
};

Result run(const ColumnScan& scan) {
    std::vector<double> matrix(scan.rows * scan.cols);
    const SendPtrHolder holder = std::make_shared<const SendPtr>(matrix.data());
    const std::vector<ColumnBooks> books = encode_columns(scan, holder);
    EXPECT_EQ(holder.use_count(), 1);
    Result r{all_bits(matrix), {}, {}, {}};
    for (const ColumnBooks& b : books) {
        r.columns.push_back(b.column);
        r.forward.push_back(ordered(b.forward));
        r.reverse.push_back(ordered(b.reverse));
    }
    return r;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(EncodeColumns, EmptyShapes) {
    for (auto [rows, cols] : {std::pair{0, 0}, {0, 3}, {5, 0}}) {
        Input in(rows, std::vector<std::vector<double>>(cols), std::vector<std::vector<std::string>>(cols));
        const Result r = run(in.scan);
        EXPECT_TRUE(r.matrix.empty());
        EXPECT_TRUE(r.columns.empty());
    }
}

TEST(EncodeColumns, NumericBitsPassThrough) {
    const double snan = std::bit_cast<double>(std::uint64_t{0x7FF0000000000001ULL});
    const double neg_nan = std::bit_cast<double>(std::uint64_t{0xFFF8000000000123ULL});
    Input in(3, {{1.5, -0.0, kNaN}, {snan, neg_nan, 1e308}}, {{}, {}});
    const Result r = run(in.scan);
    EXPECT_EQ(r.matrix, (std::vector<std::uint64_t>{bits(1.5), bits(snan), bits(-0.0), bits(neg_nan), bits(kNaN),
                                                    bits(1e308)}));
    EXPECT_TRUE(r.columns.empty());
}

TEST(EncodeColumns, MixedExample) {
    Input in(2, {{1.5, 2.0}, {}, {}}, {{}, {"x", "y"}, {"b", "nan"}});
    const Result r = run(in.scan);
    EXPECT_EQ(r.matrix, (std::vector<std::uint64_t>{bits(1.5), bits(0.0), bits(0.0), bits(2.0), bits(1.0),
                                                    kMissingBits}));
    EXPECT_EQ(r.columns, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(r.forward, (std::vector<Book>{{{"x", 0}, {"y", 1}}, {{"b", 0}, {"nan", std::nullopt}}}));
    EXPECT_EQ(r.reverse, (std::vector<std::map<Code, std::string>>{{{0, "x"}, {1, "y"}}, {{0, "b"}}}));
}

TEST(EncodeColumns, TextColumnsOnly) {
    Input in(3, {{}, {}}, {{"1", "a", "2.0"}, {"<NA>", "nan", "NaN"}});
    const Result r = run(in.scan);
    EXPECT_EQ(r.matrix, (std::vector<std::uint64_t>{bits(0.0), kMissingBits, bits(2.0), kMissingBits, bits(1.0),
                                                    kMissingBits}));
    EXPECT_EQ(r.forward[0], (Book{{"1", 0}, {"2.0", 1}, {"a", 2}}));
    EXPECT_EQ(r.forward[1], (Book{{"<NA>", std::nullopt}, {"nan", std::nullopt}, {"NaN", std::nullopt}}));
    EXPECT_TRUE(r.reverse[1].empty());
}

// Columns long enough to be split into several chunks, on pools of 1, 2 and 8.
TEST(EncodeColumns, SameResultForEveryPoolSize) {
    const std::size_t rows = 150000;
    std::vector<std::vector<double>> numbers(6);
    std::vector<std::vector<std::string>> labels(6);
    labels[0] = random_column(Shape::many, rows, 1);
    labels[2] = random_column(Shape::few, rows, 2);
    labels[3] = random_column(Shape::non_ascii, rows, 3);
    labels[5] = random_column(Shape::shared_prefix, rows, 4);
    for (std::size_t r = 0; r != rows; ++r) {
        numbers[1].push_back(static_cast<double>(r) / 7);
        numbers[4].push_back(r % 5 ? static_cast<double>(r) : kNaN);
    }
    Input in(rows, numbers, labels);

    std::vector<Result> results;
    for (int threads : {1, 2, 8}) {
        in_arena(threads, [&] {
            std::vector<double> matrix(rows * in.scan.cols);
            Result r;
            for (ColumnBooks& b : detail::encode_columns_here(in.scan, matrix.data())) {
                r.columns.push_back(b.column);
                r.forward.push_back(ordered(b.forward));
                r.reverse.push_back(ordered(b.reverse));
            }
            r.matrix = all_bits(matrix);
            results.push_back(std::move(r));
        });
    }
    ASSERT_EQ(results[0].columns, (std::vector<std::size_t>{0, 2, 3, 5}));
    EXPECT_TRUE(results[0] == results[1]);
    EXPECT_TRUE(results[0] == results[2]);
    // The public entry, on the process-wide pool, agrees too.
    EXPECT_TRUE(results[0] == run(in.scan));
}

}  // namespace
}  // namespace brindle::testing
