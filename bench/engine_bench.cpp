// Timing harness for the engine alone (not a test): ns per label for column
// coding at several cardinalities and sizes, on 1 and 2 threads, beside the
// sort-everything algorithm and beside other hashers for the row maps.
// Every figure is the median of several runs made in this process.
//
//   build/engine-bench/engine_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <ctime>
#include <string_view>
#include <vector>

#include <absl/hash/hash.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/dedupe.hpp"
#include "lib/engine/partition_dedupe.hpp"
#include "lib/engine/engine.hpp"
#include "lib/engine/hashing.hpp"

namespace {

using namespace brindle;

int g_runs = 5;

// n labels of 8 to 16 bytes drawn uniformly from k distinct ones. Every row
// holds its own copy, in one buffer, as a scan of per-cell texts would.
struct Column {
    std::string storage;
    std::vector<std::string_view> labels;
};

Column make_column(std::size_t n, std::size_t k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> dict(k);
    for (std::string& s : dict) {
        s.resize(8 + rng() % 9);
        for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    }
    std::vector<std::size_t> pick(n);
    std::size_t bytes = 0;
    for (std::size_t& p : pick) {
        p = rng() % k;
        bytes += dict[p].size();
    }
    Column col;
    col.storage.reserve(bytes);
    for (std::size_t p : pick) col.storage += dict[p];
    std::size_t at = 0;
    for (std::size_t p : pick) {
        col.labels.emplace_back(col.storage.data() + at, dict[p].size());
        at += dict[p].size();
    }
    return col;
}

double process_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timing {
    double wall;   // median wall seconds
    double cores;  // CPU seconds over wall seconds in that run
};

// Runs the variants in turns, so that a neighbour's load on the machine
// falls on all of them alike; returns each one's median run.
std::vector<Timing> interleaved(const std::vector<std::function<void()>>& variants) {
    std::vector<std::vector<Timing>> runs(variants.size());
    for (int r = 0; r < g_runs; ++r) {
        for (std::size_t v = 0; v != variants.size(); ++v) {
            const double cpu = process_cpu_seconds();
            const auto start = std::chrono::steady_clock::now();
            variants[v]();
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            runs[v].push_back(Timing{wall, (process_cpu_seconds() - cpu) / wall});
        }
    }
    std::vector<Timing> medians;
    for (auto& t : runs) {
        std::sort(t.begin(), t.end(), [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
        medians.push_back(t[t.size() / 2]);
    }
    return medians;
}

double median_seconds(const std::function<void()>& f) { return interleaved({f})[0].wall; }

double ns_per_label(std::size_t n, const std::function<void()>& f) { return median_seconds(f) * 1e9 / n; }

template <class F>
void in_arena(int threads, F&& f) {
    tbb::task_arena arena(threads);
    arena.execute(f);
}

// The textbook road: sort every label, drop repeats, number, then look every
// row up in the book. Serial.
void sort_everything(std::span<const std::string_view> labels, std::vector<double>& out) {
    std::vector<std::string_view> sorted(labels.begin(), labels.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    absl::flat_hash_map<std::string, std::optional<Code>, LabelHash, std::equal_to<>> book;
    book.reserve(sorted.size());
    Code next = 0;
    for (std::string_view s : sorted) book.emplace(std::string(s), is_marker(s) ? std::nullopt : std::optional(next++));
    for (std::size_t i = 0; i != labels.size(); ++i) {
        const auto& code = book.find(labels[i])->second;
        out[i] = code ? static_cast<double>(*code) : missing_code();
    }
}

struct SipHash13 {
    std::size_t operator()(std::string_view s) const noexcept {
        return detail::siphash<1, 3>(s, detail::sip_key());
    }
};
struct AbslHash {
    std::size_t operator()(std::string_view s) const noexcept {
        return absl::Hash<absl::string_view>{}(absl::string_view(s.data(), s.size()));
    }
};

std::function<void()> coding(const Column& col, std::vector<double>& out, int threads,
                             detail::Road road = detail::Road::hashed) {
    out.resize(col.labels.size());
    return [&col, &out, threads, road] {
        in_arena(threads, [&] { detail::code_column(col.labels, out.data(), false, road); });
    };
}

double code_ns(const Column& col, int threads) {
    std::vector<double> out;
    return ns_per_label(col.labels.size(), coding(col, out, threads));
}

template <class Hash>
double dedupe_ns(const Column& col) {
    return ns_per_label(col.labels.size(), [&] {
        in_arena(1, [&] { (void)detail::dedupe<Hash>(col.labels); });
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_runs = std::max(1, std::atoi(argv[1]));
    std::printf("engine bench: median of %d runs per figure, ns per label; variants compared in one\n"
                "line run in turns; \"cores used\" is CPU time over wall time (the machine may be shared)\n\n",
                g_runs);
    const std::size_t n = 1000000;

    // Columns whose distinct labels outgrow the cache: the engine's road
    // beside the one-map and sort roads, and the de-duplication alone.
    std::printf("columns past the cache, 2 threads, labels of 8-16 bytes (engine / one_map / sorted / dedupe)\n");
    for (std::size_t rows : {1000000u, 10000000u}) {
        for (std::size_t k : {100000u, 1000000u}) {
            const Column col = make_column(rows, k, k + rows);
            std::vector<double> a, b, c;
            const auto t = interleaved({coding(col, a, 2), coding(col, b, 2, detail::Road::one_map),
                                        coding(col, c, 2, detail::Road::sorted), [&] {
                                            in_arena(2, [&] { (void)detail::dedupe_partitioned(col.labels); });
                                        }});
            std::printf("  n = %8zu k = %8zu %8.1f %8.1f %8.1f %8.1f\n", rows, k, t[0].wall * 1e9 / rows,
                        t[1].wall * 1e9 / rows, t[2].wall * 1e9 / rows, t[3].wall * 1e9 / rows);
        }
    }
    std::printf("partitioned de-duplication alone, 2 threads, parts from the column / 1,024 parts\n");
    for (std::size_t rows : {1000000u, 10000000u}) {
        for (std::size_t k : {100000u, 1000000u}) {
            const Column col = make_column(rows, k, k + rows);
            const auto t = interleaved({[&] { in_arena(2, [&] { (void)detail::dedupe_partitioned(col.labels); }); },
                                        [&] {
                                            in_arena(2, [&] {
                                                (void)detail::dedupe_partitioned(col.labels, detail::FastShortHash{},
                                                                                 detail::kMaxPartBits);
                                            });
                                        }});
            std::printf("  n = %8zu k = %8zu %8.1f %8.1f   cpu %8.1f %8.1f\n", rows, k, t[0].wall * 1e9 / rows,
                        t[1].wall * 1e9 / rows, t[0].cores * t[0].wall * 1e9 / rows, t[1].cores * t[1].wall * 1e9 / rows);
        }
    }
    if (argc > 2) return 0;

    std::printf("one column, n = 1e6, labels of 8-16 bytes\n");
    std::printf("%10s %12s %12s %10s\n", "k", "1 thread", "2 threads", "speedup");
    for (std::size_t k : {10u, 1000u, 100000u}) {
        const Column col = make_column(n, k, k);
        std::vector<double> out1, out2;
        const auto t = interleaved({coding(col, out1, 1), coding(col, out2, 2)});
        std::printf("%10zu %12.1f %12.1f %9.2fx   (cores used %.2f, %.2f)\n", k, t[0].wall * 1e9 / n,
                    t[1].wall * 1e9 / n, t[0].wall / t[1].wall, t[0].cores, t[1].cores);
    }

    {
        const Column col = make_column(n, 1000, 1000);
        std::vector<double> out(n), out_sorted, out_engine;
        const auto t = interleaved({[&] { sort_everything(col.labels, out); },
                                    coding(col, out_sorted, 1, detail::Road::sorted), coding(col, out_engine, 1)});
        const double reference = t[0].wall * 1e9 / n;
        const double sort_road = t[1].wall * 1e9 / n;
        const double engine = t[2].wall * 1e9 / n;
        std::printf("\nn = 1e6, k = 1,000, 1 thread\n");
        std::printf("  sort-everything reference  %8.1f\n", reference);
        std::printf("  engine, sort road          %8.1f\n", sort_road);
        std::printf("  engine                     %8.1f   %.1fx faster than the reference (target >= 5x)\n",
                    engine, reference / engine);
    }

    {
        const std::size_t cols = 8;
        std::vector<Column> columns;
        ColumnScan scan;
        scan.reset(n, cols);
        for (std::size_t c = 0; c != cols; ++c) columns.push_back(make_column(n, 1000, 100 + c));
        for (std::size_t c = 0; c != cols; ++c) {
            scan.is_text[c] = 1;
            scan.strings[c].assign(columns[c].labels.begin(), columns[c].labels.end());
        }
        // Every row its own list entry, as for labels that share no object;
        // the step overwrites the entries, so each run lays them out again.
        std::vector<double> matrix(n * cols);
        const auto step = [&](int threads) {
            return [&, threads] {
                for (std::size_t r = 0; r != n; ++r)
                    for (std::size_t c = 0; c != cols; ++c) put_label_index(&matrix[r * cols + c], r);
                in_arena(threads, [&] { (void)detail::encode_columns_here(scan, matrix.data()); });
            };
        };
        const auto t = interleaved({step(1), step(2)});
        const double one = t[0].wall * 1e9 / (n * cols);
        const double two = t[1].wall * 1e9 / (n * cols);
        const double one_cores = t[0].cores;
        const double two_cores = t[1].cores;
        std::printf("\n8 columns x 1e6 rows, k = 1,000 each, whole column step\n");
        std::printf("  1 thread %8.1f   2 threads %8.1f   speedup %.2fx (target >= 1.7x)\n", one, two, one / two);
        std::printf("  cores actually used: %.2f and %.2f\n", one_cores, two_cores);
    }

    {
        std::printf("\ngrowth with n, k = 1,000, 1 thread\n");
        double first = 0;
        for (std::size_t rows : {100000u, 1000000u, 10000000u}) {
            const Column col = make_column(rows, 1000, rows);
            const double ns = code_ns(col, 1);
            if (!first) first = ns;
            std::printf("  n = %8zu %8.1f   x%.2f of n = 1e5\n", rows, ns, ns / first);
        }
        std::printf("  (target: n = 1e7 at most 1.3x of n = 1e5)\n");
    }

    std::printf("\nrow de-duplication alone, 1 thread, by hasher\n");
    std::printf("%10s %12s %12s %12s\n", "k", "fast+guard", "siphash13", "absl::Hash");
    for (std::size_t k : {1000u, 100000u}) {
        const Column col = make_column(n, k, 7 * k);
        std::printf("%10zu %12.1f %12.1f %12.1f\n", k, dedupe_ns<detail::FastHash>(col), dedupe_ns<SipHash13>(col),
                    dedupe_ns<AbslHash>(col));
    }
    return 0;
}
