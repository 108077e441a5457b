// Coding by fixed books: a column looked up in its own fit's book codes as
// the fit did, on every pool size; unknown labels take the policy's code or
// stop at the first row holding one.
#include <gtest/gtest.h>

#include <set>

#include "lib/engine/lookup_columns.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

// One text column in the plain form: row r holds list entry r.
struct Column {
    std::vector<std::string> labels;
    ColumnScan scan;
    std::vector<double> cells;

    explicit Column(std::vector<std::string> text) : labels(std::move(text)), cells(labels.size()) {
        scan.reset(labels.size(), 1);
        scan.is_text[0] = 1;
        for (std::size_t r = 0; r != labels.size(); ++r) {
            scan.strings[0].push_back(labels[r]);
            put_label_index(&cells[r], r);
        }
    }
};

TEST(LookupColumns, OwnBookCodesAsTheFit) {
    for (const Shape shape : {Shape::few, Shape::many, Shape::markers_only, Shape::nul_bytes, Shape::non_ascii}) {
        Column column(random_column(shape, 120000, 11));
        std::vector<double> fit = column.cells;
        std::vector<ColumnBooks> books = detail::encode_columns_here(column.scan, fit.data());
        const FixedBook fixed[] = {{&books[0].forward, nullptr}};
        for (int threads : {1, 2, 8}) {
            in_arena(threads, [&] {
                std::vector<double> looked = column.cells;
                EXPECT_FALSE(lookup_columns(column.scan, fixed, LookupPolicy{missing_code(), std::nullopt}, looked.data()));
                EXPECT_EQ(all_bits(looked), all_bits(fit)) << threads;
            });
        }
    }
}

TEST(LookupColumns, UnknownLabelsTakeThePolicy) {
    const std::vector<std::string> known = random_column(Shape::many, 50000, 3);
    Column fit_column(known);
    std::vector<double> fit = fit_column.cells;
    std::vector<ColumnBooks> books = detail::encode_columns_here(fit_column.scan, fit.data());
    const std::set<std::string> seen(known.begin(), known.end());

    std::vector<std::string> later = random_column(Shape::many, 60000, 4);
    later[70] = "NaN";  // a marker the fit never saw is missing, not unknown
    Column column(later);
    const FixedBook fixed[] = {{&books[0].forward, nullptr}};
    std::vector<double> cells = column.cells;
    ASSERT_FALSE(lookup_columns(column.scan, fixed, LookupPolicy{-2.0, -1.0}, cells.data()));
    std::size_t first_unknown = later.size();
    for (std::size_t r = 0; r != later.size(); ++r) {
        const auto found = books[0].forward.find(later[r]);
        const double want = r == 70 ? -2.0 : !found ? -1.0 : *found ? static_cast<double>(**found) : -2.0;
        ASSERT_EQ(bits(cells[r]), bits(want)) << r;
        if (!found && r != 70 && first_unknown == later.size()) first_unknown = r;
    }
    ASSERT_LT(first_unknown, later.size());

    cells = column.cells;
    const std::optional<UnknownLabel> miss = lookup_columns(column.scan, fixed, LookupPolicy{missing_code(), std::nullopt}, cells.data());
    ASSERT_TRUE(miss);
    EXPECT_EQ(miss->row, first_unknown);
    EXPECT_EQ(miss->label, later[first_unknown]);
    EXPECT_FALSE(seen.contains(miss->label));
}

// A second text form is looked up where the first finds nothing.
TEST(LookupColumns, OtherFormsAreTheSecondChance) {
    Column fit_column({"2", "x"});
    std::vector<double> fit = fit_column.cells;
    std::vector<ColumnBooks> books = detail::encode_columns_here(fit_column.scan, fit.data());
    Column column({"2.0", "2", "y"});
    PagedVector<std::string_view> other;
    for (std::string_view s : {"2", "", "x"}) other.push_back(s);
    const FixedBook fixed[] = {{&books[0].forward, &other}};
    std::vector<double> cells = column.cells;
    ASSERT_FALSE(lookup_columns(column.scan, fixed, LookupPolicy{missing_code(), -1.0}, cells.data()));
    EXPECT_EQ(cells, (std::vector<double>{0.0, 0.0, 1.0}));
}

}  // namespace
}  // namespace brindle::testing
