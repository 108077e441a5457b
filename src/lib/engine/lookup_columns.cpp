// Coding by fixed books. Two passes, as a fresh coding has: every list
// entry's code looked up (in parallel over columns, and over the entries of
// a long list), then the matrix rewritten by write_codes.
#include "lib/engine/lookup_columns.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/encode_columns.hpp"
#include "lib/engine/markers.hpp"
#include "lib/engine/pool.hpp"

namespace brindle {
namespace {

// Entries per task of the lookup pass.
constexpr std::size_t kEntryGrain = 4096;

// The code of one label, or nothing when the book lacks it.
std::optional<double> code_of_label(const LabelToCode& book, std::string_view label, double missing) {
    if (is_marker(label)) return missing;
    const std::optional<std::optional<Code>> found = book.find(label);
    if (!found) return std::nullopt;
    return *found ? static_cast<double>(**found) : missing;
}

// Looks up every entry of column c; true when some entry is unknown (its
// code is then policy.unknown, or NaN when unset).
bool look_up_entries(const PagedVector<std::string_view>& list, const FixedBook& fixed, const LookupPolicy& policy,
                     PagedVector<double>& code_of, PagedVector<std::uint8_t>& unknown) {
    code_of.resize(list.size());
    unknown.resize(list.size());
    std::atomic<bool> any{false};
    const bool has_other = fixed.other_forms != nullptr && !fixed.other_forms->empty();
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, list.size(), kEntryGrain), [&](const auto& range) {
        bool seen = false;
        for (std::size_t j = range.begin(); j != range.end(); ++j) {
            std::optional<double> code = code_of_label(*fixed.book, list[j], policy.missing);
            if (!code && has_other && !(*fixed.other_forms)[j].empty())
                code = code_of_label(*fixed.book, (*fixed.other_forms)[j], policy.missing);
            if (!code) {
                seen = true;
                unknown[j] = 1;
            }
            code_of[j] = code ? *code : policy.unknown.value_or(missing_code());
        }
        if (seen) any.store(true, std::memory_order_relaxed);
    });
    return any.load(std::memory_order_relaxed);
}

// The first row of column c whose entry is unknown, if a cell holds one (a
// list may hold entries no cell takes, as a categorical's unused categories).
// Sequential: it runs only where the lookup may stop.
std::optional<UnknownLabel> first_unknown(const ColumnScan& scan, std::size_t c,
                                          const PagedVector<std::uint8_t>& unknown, const double* matrix) {
    for (std::size_t r = 0; r != scan.rows; ++r) {
        const std::uint64_t j = list_index_at(scan, r, c, matrix);
        if (unknown[j]) return UnknownLabel{c, r, std::string(scan.strings[c][j])};
    }
    return std::nullopt;
}

std::optional<UnknownLabel> lookup_here(const ColumnScan& scan, std::span<const FixedBook> books,
                                        const LookupPolicy& policy, double* matrix) {
    std::vector<std::size_t> coded;
    for (std::size_t c = 0; c != scan.cols; ++c)
        if (scan.is_text[c] && books[c].book != nullptr) coded.push_back(c);
    std::vector<PagedVector<double>> code_of(scan.cols);
    std::vector<PagedVector<std::uint8_t>> unknown(scan.cols);
    std::vector<std::uint8_t> any(scan.cols, 0);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, coded.size(), 1), [&](const auto& range) {
        for (std::size_t i = range.begin(); i != range.end(); ++i) {
            const std::size_t c = coded[i];
            any[c] = look_up_entries(scan.strings[c], books[c], policy, code_of[c], unknown[c]);
        }
    });
    stop_point();
    if (!policy.unknown) {
        for (std::size_t c : coded) {
            if (!any[c]) continue;
            if (std::optional<UnknownLabel> miss = first_unknown(scan, c, unknown[c], matrix)) return miss;
        }
    }
    detail::write_codes(scan, coded, code_of, matrix);
    stop_point();
    return std::nullopt;
}

}  // namespace

std::optional<UnknownLabel> lookup_columns(const ColumnScan& scan, std::span<const FixedBook> books,
                                           const LookupPolicy& policy, double* matrix) {
    std::optional<UnknownLabel> miss;
    detail::run_guarded([&] { miss = lookup_here(scan, books, policy, matrix); });
    return miss;
}

std::optional<UnknownLabel> lookup_columns_until(const ColumnScan& scan, std::span<const FixedBook> books,
                                                 const LookupPolicy& policy, double* matrix,
                                                 absl::FunctionRef<bool()> stop_requested, bool& stopped) {
    std::optional<UnknownLabel> miss;
    stopped = detail::run_guarded_until([&] { miss = lookup_here(scan, books, policy, matrix); }, stop_requested);
    if (stopped) return std::nullopt;
    return miss;
}

}  // namespace brindle
