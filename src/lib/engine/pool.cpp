// The process-wide pool: sizing from the environment and the one arena.
#include "lib/engine/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>

namespace brindle {
namespace {

// A positive decimal integer (digits only, an optional leading '+'), or 0 for
// anything else, 0 itself included.
std::size_t positive_count(std::optional<std::string_view> text) {
    if (!text) return 0;
    std::string_view s = *text;
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() == '+' || s.front() == '-') return 0;
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size()) return 0;
    return value;
}

std::optional<std::string_view> env(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string_view(value);
}

// CPUs in this process's affinity mask, or 0 if it cannot be read. The mask
// set grows until the kernel accepts it, for machines past CPU_SETSIZE.
std::size_t affinity_cpus() {
    for (int n = CPU_SETSIZE; n <= (1 << 20); n *= 2) {
        cpu_set_t* set = CPU_ALLOC(n);
        if (!set) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(n);
        const int rc = sched_getaffinity(0, bytes, set);
        const std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(bytes, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count;
        if (errno != EINVAL) return 0;
    }
    return 0;
}

// Thread counts past this are taken as this many: a typo in the environment
// should slow the process down, not exhaust its threads.
constexpr std::size_t kMaxPool = 4096;

// The pool's two arenas, of the same size: `arena` keeps a slot for the
// calling thread, which joins the work (run_in_pool); `alone` gives every
// slot to workers, for jobs the caller only waits for (run_in_pool_until).
// A job runs in one of them at a time, and the workers follow it there. With
// them the control object that lets the workers be that many.
struct PoolState {
    std::optional<tbb::global_control> raised;
    std::optional<tbb::task_arena> arena;
    std::optional<tbb::task_arena> alone;
};

// NOTE: oneTBB caps all arenas together at its default parallelism (the CPU
// count) unless raised, and counts the calling thread as one of them, so it
// starts one worker fewer. `alone` needs `size` workers: the cap is raised to
// `size + 1`.
PoolState* make_pool() {
    const std::size_t wanted = pool_size_from(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"), affinity_cpus());
    const int size = static_cast<int>(std::min(wanted, kMaxPool));
    auto* state = new PoolState;
    if (size + 1 > tbb::info::default_concurrency())
        state->raised.emplace(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(size) + 1);
    state->arena.emplace(size, 1);
    state->arena->initialize();
    state->alone.emplace(size, 0);
    state->alone->initialize();
    return state;
}

// Created on first use (the static's initialisation is thread-safe) and
// deliberately never destroyed: workers must not be torn down while another
// static destructor might still run work.
PoolState& pool_state() {
    static PoolState* const state = make_pool();
    return *state;
}

// How long the caller of run_in_pool_until sleeps between two questions:
// short enough that a stop feels immediate, long enough to cost nothing.
constexpr std::chrono::milliseconds kPollPeriod{10};

// The end of a job, as the worker that ran it reports it to the waiting caller.
struct JobEnd {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
};

}  // namespace

std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus, std::size_t available_cpus) {
    if (const std::size_t n = positive_count(rayon_num_threads)) return n;
    if (const std::size_t n = positive_count(rayon_rs_num_cpus)) return n;
    return available_cpus > 0 ? available_cpus : 1;
}

tbb::task_arena& pool() {
    return *pool_state().arena;
}

bool run_in_pool_until(absl::FunctionRef<void()> f, absl::FunctionRef<bool()> stop_requested) {
    tbb::task_arena& arena = *pool_state().alone;
    // With no worker allowed (a cap lowered elsewhere in the process), an
    // enqueued job would never start: the caller does the work, unasked.
    if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) < 2) {
        pool().execute(f);
        return false;
    }
    // oneTBB offers no wait with a timeout, so the caller cannot ask its
    // question from inside the arena: the job goes to the workers, with a
    // context of its own through which it is cancelled, and the caller waits
    // on a condition variable that does time out.
    tbb::task_group_context context(tbb::task_group_context::isolated);
    tbb::task_group group(context);
    JobEnd end;
    arena.enqueue([&] {
        std::exception_ptr error;
        try {
            group.run_and_wait(f);
        } catch (const JobStopped&) {
            // Normally dropped by oneTBB already (see stop_point).
        } catch (...) {
            error = std::current_exception();
        }
        // Notified under the lock: once the caller sees `done` it may destroy
        // everything here, and this thread touches none of it after unlocking.
        std::lock_guard lock(end.mutex);
        end.error = std::move(error);
        end.done = true;
        end.cv.notify_one();
    });
    bool stopped = false;
    std::unique_lock lock(end.mutex);
    while (!end.cv.wait_for(lock, kPollPeriod, [&] { return end.done; })) {
        if (stopped) continue;
        lock.unlock();
        if (stop_requested()) {
            stopped = true;
            context.cancel_group_execution();
        }
        lock.lock();
    }
    if (end.error) std::rethrow_exception(end.error);
    return stopped;
}

}  // namespace brindle
