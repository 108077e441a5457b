// A categorical column's codes read on the pool: plain memory only.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits (here: none).
#include <atomic>
#include <cstring>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "python/categorical.hpp"

namespace brindle {

template <class Code>
bool CategoricalColumn::read_codes(double* out) {
    std::atomic<bool> wrong{false};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows_, 1 << 15), [&](const auto& range) {
        bool trailing = false;
        bool bad = false;
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
            Code code;
            std::memcpy(&code, data_ + static_cast<std::ptrdiff_t>(r) * stride_, sizeof code);
            if (code >= 0) {
                const auto j = static_cast<std::size_t>(code);
                if (j >= count_) {
                    bad = true;
                    continue;
                }
                // Read first: once set, the flag's line stays shared among
                // the threads instead of bouncing between them.
                if (used_[j].load(std::memory_order_relaxed) == 0) used_[j].store(1, std::memory_order_relaxed);
                put_label_index(out + r, j);
            } else if (code == -1) {
                const bool lead = r < first_valid_;
                trailing |= !lead;
                put_label_index(out + r, count_ + (lead ? 0 : 1));
            } else {
                bad = true;
            }
        }
        if (trailing) trailing_missing_.store(true, std::memory_order_relaxed);
        if (bad) wrong.store(true, std::memory_order_relaxed);
    });
    return !wrong.load(std::memory_order_relaxed);
}

bool CategoricalColumn::read(double* out) {
    switch (item_size_) {
        case 1: return read_codes<std::int8_t>(out);
        case 2: return read_codes<std::int16_t>(out);
        case 4: return read_codes<std::int32_t>(out);
        default: return read_codes<std::int64_t>(out);
    }
}

}  // namespace brindle
