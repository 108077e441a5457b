// The process-wide pool: sizing from the environment and the one arena.
#include "lib/engine/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>

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

// The arena with, when the pool outnumbers the CPUs, the control object that
// lets it have its threads.
struct PoolState {
    std::optional<tbb::global_control> raised;
    std::optional<tbb::task_arena> arena;
};

PoolState* make_pool() {
    const std::size_t wanted = pool_size_from(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"), affinity_cpus());
    const int size = static_cast<int>(std::min(wanted, kMaxPool));
    auto* state = new PoolState;
    // oneTBB caps all arenas together at its default parallelism (the CPU
    // count); a larger arena only gets its threads once the cap is raised.
    if (size > tbb::info::default_concurrency())
        state->raised.emplace(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(size));
    state->arena.emplace(size, 1);
    state->arena->initialize();
    return state;
}

}  // namespace

std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus, std::size_t available_cpus) {
    if (const std::size_t n = positive_count(rayon_num_threads)) return n;
    if (const std::size_t n = positive_count(rayon_rs_num_cpus)) return n;
    return available_cpus > 0 ? available_cpus : 1;
}

// Created on first use (the static's initialisation is thread-safe) and
// deliberately never destroyed: workers must not be torn down while another
// static destructor might still run work.
tbb::task_arena& pool() {
    static PoolState* const state = make_pool();
    return *state->arena;
}

}  // namespace brindle
