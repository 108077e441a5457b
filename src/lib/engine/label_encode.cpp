// One column coded on its own: the codes of its rows and its forward book.
#include "lib/engine/label_encode.hpp"

#include "lib/engine/column_coding.hpp"

namespace brindle {
namespace detail {

LabelCodes label_encode_here(std::span<const std::string_view> labels, Road road) {
    LabelCodes result;
    result.codes.resize(labels.size());
    result.book = code_column(labels, result.codes.data(), false, road).forward;
    return result;
}

}  // namespace detail

LabelCodes label_encode(std::span<const std::string_view> labels) {
    LabelCodes result;
    detail::run_guarded([&] { result = detail::label_encode_here(labels); });
    return result;
}

}  // namespace brindle
