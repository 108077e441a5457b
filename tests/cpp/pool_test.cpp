// Pool sizing: the rule as a table, and the real arena in child processes
// whose environment sets the size.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/pool.hpp"

extern char** environ;

namespace brindle {
namespace {

using Env = std::optional<std::string_view>;

struct SizeCase {
    Env threads;
    Env cpus_var;
    std::size_t cpus;
    std::size_t want;
};

TEST(PoolSize, FromEnvironment) {
    const Env unset;
    const SizeCase cases[] = {
        {unset, unset, 6, 6},
        {unset, unset, 0, 1},
        {"3", unset, 6, 3},
        {"3", "5", 6, 3},
        {"+3", unset, 6, 3},
        {"007", unset, 6, 7},
        {"12", unset, 2, 12},  // more than the CPUs is allowed
        {"0", "5", 6, 5},      // 0 means "default": the next rule decides
        {"0", unset, 6, 6},
        {"0", "0", 0, 1},
        {"", "5", 6, 5},
        {"-2", unset, 6, 6},
        {"four", "4", 6, 4},
        {"4 ", unset, 6, 6},
        {" 4", unset, 6, 6},
        {"4x", unset, 6, 6},
        {"++4", unset, 6, 6},
        {"+-4", unset, 6, 6},
        {"2.0", unset, 6, 6},
        {"99999999999999999999999", "2", 6, 2},  // overflow is ignored
        {unset, "-1", 6, 6},
        {unset, "8", 6, 8},
    };
    for (const SizeCase& c : cases)
        EXPECT_EQ(pool_size_from(c.threads, c.cpus_var, c.cpus), c.want)
            << (c.threads ? *c.threads : "<unset>") << " / " << (c.cpus_var ? *c.cpus_var : "<unset>");
}

// Runs in a child that ArenaFollowsEnvironment starts with
// BRINDLE_EXPECT_POOL set; skipped in an ordinary run. Besides the arena's
// nominal size it checks that that many threads really run at once, which
// needs oneTBB's parallelism cap raised when the pool outnumbers the CPUs.
TEST(PoolChild, ArenaSizeMatches) {
    const char* expect = std::getenv("BRINDLE_EXPECT_POOL");
    if (!expect) GTEST_SKIP() << "runs only as a child of ArenaFollowsEnvironment";
    const int want = std::atoi(expect);
    EXPECT_EQ(pool().max_concurrency(), want);

    std::atomic<int> arrived{0};
    std::atomic<bool> all_met{true};
    run_in_pool([&] {
        tbb::parallel_for(0, want, 1, [&](int) {
            arrived.fetch_add(1);
            // Generous liveness limit, not a timing assertion: without the
            // threads this would never finish.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (arrived.load() < want) {
                if (std::chrono::steady_clock::now() > deadline) {
                    all_met = false;
                    return;
                }
                std::this_thread::yield();
            }
        });
    });
    EXPECT_TRUE(all_met.load()) << "fewer than " << want << " threads ran at once";
}

int run_child(const std::vector<std::string>& env_vars) {
    std::vector<std::string> env = env_vars;
    for (char** e = environ; *e; ++e) {
        const std::string_view var(*e);
        if (!var.starts_with("RAYON_") && !var.starts_with("BRINDLE_EXPECT_POOL=")) env.emplace_back(var);
    }
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=PoolChild.ArenaSizeMatches";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PoolSize, ArenaFollowsEnvironment) {
    const std::vector<std::vector<std::string>> children = {
        {"RAYON_NUM_THREADS=1", "BRINDLE_EXPECT_POOL=1"},
        {"RAYON_NUM_THREADS=5", "BRINDLE_EXPECT_POOL=5"},
        {"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=3", "BRINDLE_EXPECT_POOL=3"},
        {"RAYON_NUM_THREADS=lots", "RAYON_RS_NUM_CPUS=8", "BRINDLE_EXPECT_POOL=8"},
    };
    for (const auto& env : children) EXPECT_EQ(run_child(env), 0) << env[0];
}

}  // namespace
}  // namespace brindle
