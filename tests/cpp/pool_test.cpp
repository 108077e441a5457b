// Pool sizing: the rule as a table, and the real arena in child processes
// whose environment sets the size.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <stdexcept>
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

void all_threads_run_at_once(int want, bool caller_joins);

// Runs in a child that ArenaFollowsEnvironment starts with
// BRINDLE_EXPECT_POOL set; skipped in an ordinary run. Besides the arena's
// nominal size it checks that that many threads really run at once, which
// needs oneTBB's parallelism cap raised when the pool outnumbers the CPUs.
TEST(PoolChild, ArenaSizeMatches) {
    const char* expect = std::getenv("BRINDLE_EXPECT_POOL");
    if (!expect) GTEST_SKIP() << "runs only as a child of ArenaFollowsEnvironment";
    const int want = std::atoi(expect);
    EXPECT_EQ(pool().max_concurrency(), want);

    // Both roads: the caller working beside the workers, and the workers alone.
    for (const bool caller_joins : {true, false}) {
        all_threads_run_at_once(want, caller_joins);
    }
}

void all_threads_run_at_once(int want, bool caller_joins) {
    std::atomic<int> arrived{0};
    std::atomic<bool> all_met{true};
    const auto job = [&] {
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
    };
    if (caller_joins) {
        run_in_pool(job);
    } else {
        EXPECT_FALSE(run_in_pool_until(job, [] { return false; }));
    }
    EXPECT_TRUE(all_met.load()) << "fewer than " << want << " threads ran at once"
                                << (caller_joins ? "" : " without the caller");
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

// ---- stopping a job ----------------------------------------------------------------

TEST(PoolStop, RunsToTheEndWhenNotAsked) {
    std::atomic<int> ran{0};
    bool after = false;
    const bool stopped = run_in_pool_until(
        [&] {
            tbb::parallel_for(0, 1000, [&](int) { ran.fetch_add(1); });
            stop_point();
            after = true;
        },
        [] { return false; });
    EXPECT_FALSE(stopped);
    EXPECT_EQ(ran.load(), 1000);
    EXPECT_TRUE(after);
}

TEST(PoolStop, SkipsLoopPiecesAndLeavesAtTheStopPoint) {
    // A piece lasts a millisecond: ten seconds of work if nothing stopped it.
    std::atomic<int> ran{0};
    std::atomic<bool> after{false};
    std::atomic<int> nested_after{0};
    const auto caller = std::this_thread::get_id();
    bool asked_elsewhere = false;
    const bool stopped = run_in_pool_until(
        [&] {
            tbb::parallel_for(0, 10000, 1, [&](int) {
                ran.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                // A stop point deep inside a loop ends only its own task.
                tbb::parallel_for(0, 2, [&](int) { std::this_thread::sleep_for(std::chrono::microseconds(10)); });
                stop_point();
                nested_after.fetch_add(1);
            });
            stop_point();
            after = true;
        },
        [&] {
            asked_elsewhere |= std::this_thread::get_id() != caller;
            return ran.load() > 0;
        });
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(asked_elsewhere) << "the question was asked on a worker";
    EXPECT_LT(ran.load(), 10000);
    EXPECT_LE(nested_after.load(), ran.load());
    EXPECT_FALSE(after.load());
    EXPECT_FALSE(pool_job_stopped());
}

TEST(PoolStop, RethrowsWhatTheJobThrows) {
    EXPECT_THROW(run_in_pool_until([] { throw std::bad_alloc(); }, [] { return false; }), std::bad_alloc);
    EXPECT_THROW(run_in_pool_until([] { tbb::parallel_for(0, 100, [](int i) { if (i == 50) throw std::length_error("x"); }); },
                                   [] { return false; }),
                 std::length_error);
}

TEST(PoolStop, PlainRunsAreNeverStopped) {
    bool stopped = true;
    run_in_pool([&] {
        stop_point();
        stopped = pool_job_stopped();
    });
    EXPECT_FALSE(stopped);
}

}  // namespace
}  // namespace brindle
