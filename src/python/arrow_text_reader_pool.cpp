// The Arrow text reader, on the pool: plain memory only.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits (here: none).
#include "python/arrow_text_reader.hpp"

#include <cstring>

#include "lib/engine/engine.hpp"
#include "python/cell_text.hpp"

namespace brindle {

void read_arrow_column(const ArrowTextColumn& col, std::uint8_t& is_text, std::size_t& first_text,
                       PagedVector<std::string_view>& list, double* out) {
    const ArrowChunks& chunks = col.chunks;
    const std::size_t valid_cells = chunks.valid_cells();
    if (col.na_is_float && valid_cells == 0) {
        std::size_t r = 0;
        for (std::size_t k = 0; k != chunks.size(); ++k)
            for (std::int64_t i = 0; i < chunks.chunk(k).length; ++i, ++r) std::memcpy(out + r, &col.na_float, sizeof(double));
        return;
    }
    is_text = 1;
    constexpr std::uint64_t kUnset = ~std::uint64_t{0};
    std::uint64_t lead_entry = kUnset;
    std::uint64_t missing_entry = kUnset;
    bool seen_text = false;
    // Cells holding one text share its entry, as cells sharing one str
    // object do, so the list (and the coding step's work) is one entry per
    // distinct text rather than per cell. Given up where it does not pay:
    // mostly distinct texts, or texts flooding the hash (TextEntries says);
    // later cells then take an entry each, and coding merges them.
    TextEntries entry_of;
    bool sharing = true;
    std::size_t r = 0;
    for (std::size_t k = 0; k != chunks.size(); ++k) {
        const ArrowArray& a = chunks.chunk(k);
        for (std::int64_t i = 0; i < a.length; ++i, ++r) {
            if (ArrowChunks::valid(a, i)) {
                if (!seen_text && col.na_is_float) first_text = r;
                seen_text = true;
                const std::string_view text = chunks.text(a, i);
                if (sharing) {
                    const auto [entry, inserted] = entry_of.try_emplace(text, list.size());
                    if (inserted) list.push_back(text);
                    put_label_index(out + r, entry);
                    const std::size_t seen = entry_of.lookups();
                    if (entry_of.flooded() || (seen >= (1u << 14) && entry_of.size() * 2 > seen)) {
                        sharing = false;
                        entry_of.release();
                        list.reserve(list.size() + valid_cells - seen + 2);
                    }
                    continue;
                }
                put_label_index(out + r, list.size());
                list.push_back(text);
                continue;
            }
            std::uint64_t& entry = !col.na_is_float ? missing_entry : seen_text ? missing_entry : lead_entry;
            if (entry == kUnset) {
                entry = list.size();
                list.push_back(!col.na_is_float ? kNA : missing_float_text(seen_text));
            }
            put_label_index(out + r, entry);
        }
    }
}

}  // namespace brindle
