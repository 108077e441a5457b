// The process-wide worker pool: one oneTBB arena, created on first use and
// deliberately never destroyed, sized once from the environment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <absl/functional/function_ref.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

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
// The calling thread works on f beside the pool's workers.
template <class F>
void run_in_pool(F&& f) {
    pool().execute(std::forward<F>(f));
}

// Runs f on the pool's workers while the calling thread waits outside the
// pool and asks `stop_requested` every few milliseconds; the question is
// always asked on the calling thread, so it may read what only that thread
// may. Once the answer is yes, the job is cancelled: the parallel loops
// inside f skip the pieces not yet started, and the code of f leaves at its
// next stop_point(). Returns, after every task of f has ended, whether it
// was asked to stop; an exception thrown by f is rethrown here.
bool run_in_pool_until(absl::FunctionRef<void()> f, absl::FunctionRef<bool()> stop_requested);

// Thrown by stop_point(); it never leaves run_in_pool_until.
struct JobStopped {};

// Whether the job this task belongs to has been asked to stop. Always false
// under run_in_pool.
inline bool pool_job_stopped() {
    return tbb::is_current_task_group_canceling();
}

// Leaves the task, unwinding, once its job has been asked to stop. Code run
// under run_in_pool_until calls it after every parallel loop whose results
// it then reads (the loop may have been cut short), and now and then in a
// long sequential loop. oneTBB drops an exception thrown in a cancelled
// group, so it ends only the task that throws it.
inline void stop_point() {
    if (pool_job_stopped()) throw JobStopped{};
}

// stop_point() on every `every`-th call with `count` counting the calls;
// `every` a power of two.
inline void stop_point_every(std::size_t count, std::size_t every) {
    if ((count & (every - 1)) == 0) stop_point();
}

}  // namespace brindle
