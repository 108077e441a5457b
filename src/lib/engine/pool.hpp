// The process-wide worker pool: one oneTBB arena, created on first use and
// deliberately never destroyed, sized once from the environment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <oneapi/tbb/task_arena.h>

namespace brindle {

// Pool size for the given values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullopt when unset) and the CPU count this process may
// use (0 when unknown). A variable counts only when it holds a positive decimal
// integer; 0, text, negative numbers and overflow fall through to the next rule.
std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus,
                           std::size_t available_cpus);

// The arena every parallel loop of the engine runs in.
tbb::task_arena& pool();

// Runs f inside the pool and returns when it and all its nested work are done.
template <class F>
void run_in_pool(F&& f) {
    pool().execute(std::forward<F>(f));
}

}  // namespace brindle
