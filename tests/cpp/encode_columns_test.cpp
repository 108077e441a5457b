// The column step: matrix layout, numeric pass-through, books per text
// column in column order, and independence from the pool size.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <optional>
#include <random>

#include "lib/engine/column_coding.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

// A scan in its plain form (every text row its own list entry), the matrix
// the scan would have written, and the storage the string views point into.
struct Input {
    std::vector<std::vector<std::string>> text;  // per column; empty for numeric ones
    ColumnScan scan;
    std::vector<double> cells;

    Input(std::size_t rows, const std::vector<std::vector<double>>& numbers,
          std::vector<std::vector<std::string>> labels)
        : text(std::move(labels)), cells(rows * text.size()) {
        const std::size_t cols = text.size();
        scan.reset(rows, cols);
        for (std::size_t c = 0; c != cols; ++c) {
            scan.is_text[c] = !text[c].empty();
            const std::vector<std::string_view> labels = views(text[c]);
            scan.strings[c].assign(labels.begin(), labels.end());
            for (std::size_t r = 0; r != rows; ++r) {
                if (scan.is_text[c]) {
                    put_label_index(&cells[r * cols + c], r);
                } else {
                    cells[r * cols + c] = numbers[c][r];
                }
            }
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

Result collect(std::vector<ColumnBooks> books, const std::vector<double>& matrix) {
    Result r{all_bits(matrix), {}, {}, {}};
    for (const ColumnBooks& b : books) {
        r.columns.push_back(b.column);
        r.forward.push_back(ordered(b.forward));
        r.reverse.push_back(ordered(b.reverse));
    }
    return r;
}

Result run(const ColumnScan& scan, std::vector<double> matrix) {
    const SendPtrHolder holder = std::make_shared<const SendPtr>(matrix.data());
    std::vector<ColumnBooks> books = encode_columns(scan, holder);
    EXPECT_EQ(holder.use_count(), 1);
    return collect(std::move(books), matrix);
}

Result run(const Input& in) { return run(in.scan, in.cells); }

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(EncodeColumns, EmptyShapes) {
    for (auto [rows, cols] : {std::pair{0, 0}, {0, 3}, {5, 0}}) {
        Input in(rows, std::vector<std::vector<double>>(cols), std::vector<std::vector<std::string>>(cols));
        const Result r = run(in);
        EXPECT_TRUE(r.matrix.empty());
        EXPECT_TRUE(r.columns.empty());
    }
}

TEST(EncodeColumns, NumericBitsPassThrough) {
    const double snan = std::bit_cast<double>(std::uint64_t{0x7FF0000000000001ULL});
    const double neg_nan = std::bit_cast<double>(std::uint64_t{0xFFF8000000000123ULL});
    Input in(3, {{1.5, -0.0, kNaN}, {snan, neg_nan, 1e308}}, {{}, {}});
    const Result r = run(in);
    EXPECT_EQ(r.matrix, (std::vector<std::uint64_t>{bits(1.5), bits(snan), bits(-0.0), bits(neg_nan), bits(kNaN),
                                                    bits(1e308)}));
    EXPECT_TRUE(r.columns.empty());
}

TEST(EncodeColumns, MixedExample) {
    Input in(2, {{1.5, 2.0}, {}, {}}, {{}, {"x", "y"}, {"b", "nan"}});
    const Result r = run(in);
    EXPECT_EQ(r.matrix, (std::vector<std::uint64_t>{bits(1.5), bits(0.0), bits(0.0), bits(2.0), bits(1.0),
                                                    kMissingBits}));
    EXPECT_EQ(r.columns, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(r.forward, (std::vector<Book>{{{"x", 0}, {"y", 1}}, {{"b", 0}, {"nan", std::nullopt}}}));
    EXPECT_EQ(r.reverse, (std::vector<std::map<Code, std::string>>{{{0, "x"}, {1, "y"}}, {{0, "b"}}}));
}

TEST(EncodeColumns, TextColumnsOnly) {
    Input in(3, {{}, {}}, {{"1", "a", "2.0"}, {"<NA>", "nan", "NaN"}});
    const Result r = run(in);
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
            std::vector<double> matrix = in.cells;
            std::vector<ColumnBooks> books = detail::encode_columns_here(in.scan, matrix.data());
            results.push_back(collect(std::move(books), matrix));
        });
    }
    ASSERT_EQ(results[0].columns, (std::vector<std::size_t>{0, 2, 3, 5}));
    EXPECT_TRUE(results[0] == results[1]);
    EXPECT_TRUE(results[0] == results[2]);
    // The public entry, on the process-wide pool, agrees too.
    EXPECT_TRUE(results[0] == run(in));
}

// A column-major matrix (as a DataFrame's is) gets the same cells, transposed,
// whether its plain text columns are coded in place or through the rewrite.
TEST(EncodeColumns, ColumnMajorMatchesRowMajor) {
    const std::size_t rows = 70000;
    Input in(rows, {{}, std::vector<double>(rows, 2.5), {}},
             {random_column(Shape::few, rows, 3), {}, random_column(Shape::many, rows, 4)});
    const Result row_major = run(in);

    ColumnScan scan = in.scan;
    scan.column_major = true;
    std::vector<double> cells(in.cells.size());
    for (std::size_t r = 0; r != rows; ++r)
        for (std::size_t c = 0; c != 3; ++c) cells[c * rows + r] = in.cells[r * 3 + c];
    Result column_major = run(scan, cells);
    scan.plain = {1, 0, 1};
    EXPECT_TRUE(run(scan, cells) == column_major);
    std::vector<std::uint64_t> transposed(column_major.matrix.size());
    for (std::size_t r = 0; r != rows; ++r)
        for (std::size_t c = 0; c != 3; ++c) transposed[r * 3 + c] = column_major.matrix[c * rows + r];
    column_major.matrix = transposed;
    EXPECT_TRUE(row_major == column_major);
}

// Cells that share list entries (as the scan gives cells holding one object)
// code exactly like the plain form, whatever the sharing: entries used by many
// rows, a label listed twice, entries no row uses.
TEST(EncodeColumns, SharedEntriesCodeLikeThePlainForm) {
    const std::size_t rows = 140000;
    for (const Shape shape : {Shape::few, Shape::many, Shape::short_labels}) {
        const std::vector<std::string> labels = random_column(shape, rows, 7);
        Input plain(rows, {{}}, {labels});

        // The shared form: the first row holding each label gives the entry,
        // listed twice when its row is even; every odd entry is a spare copy.
        ColumnScan shared;
        shared.reset(rows, 1);
        shared.is_text[0] = 1;
        std::map<std::string_view, std::uint64_t> entry_of;
        std::vector<double> cells(rows);
        for (std::size_t r = 0; r != rows; ++r) {
            const std::string_view label = plain.scan.strings[0][r];
            auto [it, inserted] = entry_of.try_emplace(label, shared.strings[0].size());
            if (inserted) {
                if (r % 2 == 0) shared.strings[0].push_back(label);
                it->second = shared.strings[0].size();
                shared.strings[0].push_back(label);
            }
            put_label_index(&cells[r], it->second);
        }
        EXPECT_TRUE(run(plain) == run(shared, cells));
    }
}

// Cells holding indices local to blocks of rows (as the block-by-block scan
// leaves them) code exactly like the plain form: blocks of uneven sizes,
// head indices shared by many rows, tails, blocks without a head and blocks
// shorter than the write pass's row groups.
TEST(EncodeColumns, BlockLocalIndicesCodeLikeThePlainForm) {
    const std::size_t rows = 100000;
    const std::vector<std::string> labels = random_column(Shape::many, rows, 9);
    Input plain(rows, {{}, {}}, {labels, labels});

    ColumnScan local;
    local.reset(rows, 2);
    std::vector<double> cells(rows * 2);
    std::mt19937_64 rng(5);
    for (std::size_t c = 0; c != 2; ++c) {
        local.is_text[c] = 1;
        PagedVector<std::string_view>& list = local.strings[c];
        for (std::size_t begin = 0; begin < rows;) {
            const std::size_t end = std::min(rows, begin + 1 + static_cast<std::size_t>(rng() % (c ? 300 : 30000)));
            // Local index j < head_size goes through the head (to the entry of
            // the block's first row holding that label, listed once per
            // block); the block's other rows get tail entries of their own.
            LocalIndices block{begin, {}, 0};
            std::map<std::string_view, std::uint64_t> local_of;
            const std::size_t head_rows = rng() % 2 ? (end - begin) / 2 : 0;
            std::vector<std::uint64_t> row_local(end - begin);
            for (std::size_t r = begin; r != begin + head_rows; ++r) {
                const std::string_view label = plain.scan.strings[c][r];
                auto [it, inserted] = local_of.try_emplace(label, block.head.size());
                if (inserted) {
                    block.head.push_back(list.size());
                    list.push_back(label);
                }
                row_local[r - begin] = it->second;
            }
            block.tail = list.size();
            for (std::size_t r = begin + head_rows; r != end; ++r) {
                row_local[r - begin] = block.head.size() + (r - begin - head_rows);
                list.push_back(plain.scan.strings[c][r]);
            }
            for (std::size_t r = begin; r != end; ++r) put_label_index(&cells[r * 2 + c], row_local[r - begin]);
            local.local[c].push_back(std::move(block));
            begin = end;
        }
    }
    EXPECT_TRUE(run(plain) == run(local, cells));
}

// ---- stopping ------------------------------------------------------------------------

// Columns that take the coder's every road and many polls to code.
Input stoppable_input() {
    const std::size_t rows = 200000;
    std::vector<std::vector<std::string>> text;
    for (Shape shape : {Shape::few, Shape::some, Shape::many, Shape::shared_prefix})
        text.push_back(random_column(shape, rows, 7 + text.size()));
    text.emplace_back();  // a numeric column
    std::vector<std::vector<double>> numbers(text.size());
    numbers.back().assign(rows, 1.5);
    return Input(rows, numbers, std::move(text));
}

TEST(EncodeColumnsStop, UnaskedGivesWhatThePlainRoadGives) {
    const Input in = stoppable_input();
    std::vector<double> matrix = in.cells;
    const SendPtrHolder holder = std::make_shared<const SendPtr>(matrix.data());
    std::optional<std::vector<ColumnBooks>> books = encode_columns_until(in.scan, holder, [] { return false; });
    ASSERT_TRUE(books.has_value());
    EXPECT_EQ(collect(std::move(*books), matrix), run(in));
}

// Asked to stop after 0, 1, 2, 3, 5, ... polls, so at every stage of the coding:
// nothing comes back and nothing breaks (the sanitizer builds watch what the
// stopped tasks read); a run that ended before its stop gives the full result.
TEST(EncodeColumnsStop, StopsAtAnyStage) {
    const Input in = stoppable_input();
    const Result expected = run(in);
    for (const int after : {0, 1, 2, 3, 5, 8, 13, 21, 34, 55}) {
        std::vector<double> matrix = in.cells;
        const SendPtrHolder holder = std::make_shared<const SendPtr>(matrix.data());
        int polls = 0;
        std::optional<std::vector<ColumnBooks>> books =
            encode_columns_until(in.scan, holder, [&] { return polls++ >= after; });
        if (polls > after) {
            EXPECT_FALSE(books.has_value()) << after;
        } else {
            ASSERT_TRUE(books.has_value()) << after;
            EXPECT_EQ(collect(std::move(*books), matrix), expected) << after;
        }
        EXPECT_EQ(holder.use_count(), 1);
    }
}

}  // namespace
}  // namespace brindle::testing
