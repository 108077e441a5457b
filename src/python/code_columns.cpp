// The coding step: every text column's labels coded on the pool, and the
// columns' books gathered into one CodeBooks.
#include "python/code_columns.hpp"
#include "python/coding_step.hpp"

#include <memory>
#include <utility>

namespace brindle {

std::optional<CodeBooks> code_columns(const ColumnScan& scan, double* matrix, Interrupts& interrupts) {
    const auto holder = std::make_shared<const SendPtr>(matrix);
    std::vector<ColumnBooks> coded;
    if (!interrupts.watching(scan.rows * scan.cols)) {
        coded = encode_columns(scan, holder);
    } else {
        std::optional<std::vector<ColumnBooks>> stoppable =
            encode_columns_until(scan, holder, [&] { return interrupts.noticed(); });
        if (!stoppable) return std::nullopt;
        coded = std::move(*stoppable);
    }
    // NOTE: the maps are sized by the text columns found, not by `cols`: a
    // shape can claim any number of columns, and a hash map whose reservation
    // fails is not safe to destroy.
    CodeBooks books;
    books.text_columns.reserve(coded.size());
    books.forward_books.reserve(coded.size());
    books.reverse_books.reserve(coded.size());
    for (ColumnBooks& column : coded) {
        books.text_columns.push_back(column.column);
        books.forward_books.emplace(column.column, std::move(column.forward));
        books.reverse_books.emplace(column.column, std::move(column.reverse));
    }
    return books;
}

}  // namespace brindle

namespace brindle {
namespace {

class FreshCoding final : public CodingStep {
public:
    Result<bool> code(ColumnScan& scan, double* matrix, const OUT&, Interrupts& interrupts,
                      std::optional<CodeBooks>& books) override {
        books = code_columns(scan, matrix, interrupts);
        return books.has_value();
    }
};

}  // namespace

CodingStep& fresh_coding() noexcept {
    static FreshCoding step;
    return step;
}

}  // namespace brindle
