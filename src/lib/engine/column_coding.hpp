// Engine internals shared by the public entry points, the tests and the
// benchmark. Everything here runs its nested parallel work in the arena of
// the calling thread, so a test can pick the pool size with a local arena.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <string_view>

#include "lib/engine/codebook.hpp"
#include "lib/engine/pool.hpp"

namespace brindle::detail {

// How a column is coded. Every road gives identical results: `hashed`
// de-duplicates first, chunk by chunk on the pool, and sorts only the
// distinct labels; when its chunks each hold many distinct labels it takes
// `one_map` (one map over the whole column), and when the column floods a
// hash map or is nearly all distinct, `sorted`, which sorts every row,
// O(n log n) whatever the labels. `one_map` asked for directly never gives
// up on a column for its distinct labels. `sorted_wide` is `sorted` with the
// wide sort entries that only columns past 32-bit sizes need otherwise, so
// tests can compare the two. `partitioned` cuts the rows into parts by hash
// so that each part's table fits in cache: the road of `hashed` for columns
// whose chunks hold many distinct labels, falling back to `one_map` for a
// column of long labels.
enum class Road { hashed, sorted, sorted_wide, one_map, partitioned };

struct ColumnCoding {
    LabelToCode forward;
    CodeToLabel reverse;  // built only on request
};

// Codes one column: the code of label i lands in codes[i].
ColumnCoding code_column(std::span<const std::string_view> labels, double* codes, bool want_reverse,
                         Road road = Road::hashed);

// Runs f on the pool and lets only std::bad_alloc out. Coding has no failure
// of its own, so anything else thrown from below (oneTBB failing to start a
// thread, a length error for a size no memory could hold) is the machine
// running out of resources, and is reported as such.
template <class F>
void run_guarded(F&& f) {
    try {
        run_in_pool(std::forward<F>(f));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw std::bad_alloc();
    }
}

// run_guarded under run_in_pool_until: returns whether the job was stopped.
inline bool run_guarded_until(absl::FunctionRef<void()> f, absl::FunctionRef<bool()> stop_requested) {
    try {
        return run_in_pool_until(f, stop_requested);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw std::bad_alloc();
    }
}

}  // namespace brindle::detail
