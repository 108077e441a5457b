"""brindle_dask on a local cluster beside one in-memory Encoder call and Dask's own
categorize() + cat.codes, on the same Parquet data.

    python bench/dask_bench.py [--rows N] [--partitions P] [--repeat R] [--data DIR] [--case C]

Cases: "table", N rows x 8 columns in P Parquet files (written once into DIR): four
text columns (200 city names, 100,000 user ids, 1,000,000 order ids, a yes/no/missing
flag) and four numeric (two float64, one with 10 % NaN, int64, int32); "distinct", N
rows of one text column holding N/2 distinct labels (each twice) beside one float64.
Each Dask method reads the files lazily and materialises its codes on two worker
processes (one thread each) with persist(); brindle_dask also on one worker. The
in-memory call runs in a fresh process and is timed with its read_parquet and
without. Prints the median time of R runs, brindle_dask's phases (pass 1 with the
merge, the books on the client, pass 2), the largest peak resident memory of a
worker and the client's peak above its resident size before the run.

categorize() numbers categories in its own order, so it is a speed reference only.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import pandas as pd

TEXT = ["city", "user", "order", "flag"]


def write_data(path, rows, parts, seed=0):
    done = os.path.join(path, "_done")
    if os.path.exists(done):
        return
    os.makedirs(path, exist_ok=True)
    rng = np.random.default_rng(seed)
    cities = np.array([f"city-{i:03d}-{rng.integers(1e6):06d}" for i in range(200)], dtype=object)
    users = np.array([f"user{i:06d}" for i in range(100_000)], dtype=object)
    flags = np.array(["yes", "no", None], dtype=object)
    per = rows // parts
    for p in range(parts):
        n = per if p < parts - 1 else rows - per * (parts - 1)
        orders = rng.integers(0, 1_000_000, n)
        part = pd.DataFrame({
            "city": pd.Series(cities[rng.integers(0, 200, n)], dtype=object),
            "x": rng.normal(size=n),
            "user": pd.Series(users[rng.integers(0, 100_000, n)], dtype=object),
            "y": np.where(rng.random(n) < 0.1, np.nan, rng.random(n)),
            "order": pd.Series([f"o{k:07d}" for k in orders], dtype=object),
            "count": rng.integers(0, 1000, n, dtype=np.int64),
            "flag": pd.Series(flags[rng.integers(0, 3, n)], dtype=object),
            "small": rng.integers(-50, 50, n, dtype=np.int32),
        })
        part.to_parquet(os.path.join(path, f"part-{p:03d}.parquet"), index=False)
    open(done, "w").close()


def write_distinct(path, rows, parts, seed=0):
    done = os.path.join(path, "_done")
    if os.path.exists(done):
        return
    os.makedirs(path, exist_ok=True)
    rng = np.random.default_rng(seed)
    ids = rng.permutation(np.arange(rows) // 2)
    per = rows // parts
    for p in range(parts):
        chunk = ids[p * per : rows if p == parts - 1 else (p + 1) * per]
        part = pd.DataFrame({
            "id": pd.Series([f"id{k:09d}" for k in chunk], dtype=object),
            "x": rng.normal(size=len(chunk)),
        })
        part.to_parquet(os.path.join(path, f"part-{p:03d}.parquet"), index=False)
    open(done, "w").close()


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def peak_kib():
    """The process's resident high-water mark since start or the last reset_peak()."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def run_dask(client, path, method, text):
    """Seconds to materialised codes, with brindle_dask's phases."""
    import dask.dataframe as dd
    from distributed import wait

    import brindle_dask

    ddf = dd.read_parquet(path)
    phases = {}
    start = time.perf_counter()
    if method == "brindle_dask":
        names = brindle_dask._checked_names(ddf, "encode")
        learned, dtypes = brindle_dask._learn_exactly(ddf, names)
        phases["pass 1 + merge"] = time.perf_counter() - start
        # encode() from here on: the books as lists on the client, then pass 2.
        codes, books = brindle_dask._encode_learned(ddf, names, learned, dtypes)
        phases["books on the client"] = time.perf_counter() - start - phases["pass 1 + merge"]
    else:
        cat = ddf.categorize(columns=text)
        codes = cat.assign(**{c: cat[c].cat.codes for c in text})
    before = time.perf_counter()
    codes = codes.persist()
    wait(codes)
    took = time.perf_counter() - start
    if method == "brindle_dask":
        phases["pass 2"] = time.perf_counter() - before
    del codes
    return took, phases


def in_memory(path, text):
    """Runs in a fresh process: reading plus one encode, and its peak memory."""
    import brindle

    start = time.perf_counter()
    frame = pd.read_parquet(path)
    for c in text:  # the columns a pandas user would hold: object, as written
        frame[c] = frame[c].astype(object)
    read = time.perf_counter() - start
    start = time.perf_counter()
    brindle.Encoder().encode(frame)
    took = time.perf_counter() - start
    print(json.dumps({"seconds": took, "read": read, "peak_kib": peak_kib()}))


def measure(path, text, methods, workers, repeat, pool_threads=None):
    import dask.dataframe  # noqa: F401 - imported before the client's peaks are taken
    from distributed import Client, LocalCluster

    import brindle_dask  # noqa: F401

    results = {}
    # brindle's pool and Arrow's CPU pool (which reads the Parquet files) in each
    # worker: as many threads as the machine has cores unless --pool-threads says
    # otherwise.
    env = {} if pool_threads is None else {"RAYON_NUM_THREADS": str(pool_threads),
                                           "OMP_NUM_THREADS": str(pool_threads)}
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, env=env,
                      dashboard_address=None, silence_logs=40) as cluster, Client(cluster) as client:
        for method in methods:
            times, peaks, clients, phases = [], [], [], []
            for _ in range(repeat):
                client.restart()
                client.run(reset_peak)  # each run's own peak, whatever came before
                reset_peak()
                base = rss_kib()
                took, ph = run_dask(client, path, method, text)
                times.append(took)
                phases.append(ph)
                peaks.append(max(client.run(peak_kib).values()))
                clients.append(peak_kib() - base)
            mid = sorted(range(repeat), key=lambda i: times[i])[repeat // 2]
            results[method] = (statistics.median(times), max(peaks), max(clients), phases[mid])
            print(method, workers, results[method], file=sys.stderr)
    return results


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--partitions", type=int, default=40)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--data", default="build/dask-bench-data")
    ap.add_argument("--case", choices=["table", "distinct"], default="table")
    ap.add_argument("--pool-threads", type=int, default=None,
                    help="threads of brindle's pool and of Arrow's CPU pool in each worker "
                         "(default: all cores)")
    ap.add_argument("--in-memory", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.case == "table":
        path, text = os.path.join(args.data, f"{args.rows}x8-{args.partitions}"), TEXT
    else:
        path, text = os.path.join(args.data, f"{args.rows}-distinct-{args.partitions}"), ["id"]
    if args.in_memory:
        return in_memory(path, text)
    (write_data if args.case == "table" else write_distinct)(path, args.rows, args.partitions)

    two = measure(path, text, ["brindle_dask", "categorize"], 2, args.repeat, args.pool_threads)
    one = measure(path, text, ["brindle_dask"], 1, args.repeat, args.pool_threads)
    runs = []
    for _ in range(args.repeat):
        out = subprocess.run([sys.executable, __file__, "--in-memory", "--rows", str(args.rows),
                              "--partitions", str(args.partitions), "--data", args.data, "--case", args.case],
                             check=True, capture_output=True, text=True).stdout
        runs.append(json.loads(out.strip().splitlines()[-1]))
    mem_encode = statistics.median(r["seconds"] for r in runs)
    mem_total = statistics.median(r["seconds"] + r["read"] for r in runs)
    mem_peak = max(r["peak_kib"] for r in runs)

    base = two["brindle_dask"][0]
    rows = [
        ("brindle_dask, 2 workers", two["brindle_dask"]),
        ("brindle_dask, 1 worker", one["brindle_dask"]),
        ("Dask `categorize()` + `cat.codes`, 2 workers", two["categorize"]),
    ]
    pool = "all cores" if args.pool_threads is None else args.pool_threads
    print(f"{args.case}: {args.rows:,} rows, {args.partitions} partitions, median of {args.repeat}, "
          f"brindle's and Arrow's pools per worker: {pool}\n")
    print("| method | time (s) | vs brindle_dask, 2 workers | peak per worker (MiB) | client peak (MiB) |")
    print("|---|---|---|---|---|")
    for name, (t, kib, client_kib, _) in rows:
        print(f"| {name} | {t:.2f} | {t / base:.2f}x | {kib / 1024:.0f} | {client_kib / 1024:.0f} |")
    print(f"| `Encoder`, in memory, read_parquet counted | {mem_total:.2f} | {mem_total / base:.2f}x "
          f"| {mem_peak / 1024:.0f} (one process) | |")
    print(f"| `Encoder`, in memory, encode alone | {mem_encode:.2f} | {mem_encode / base:.2f}x | | |")
    print()
    for name, (_, _, _, phases) in rows[:2]:
        print(f"{name} phases (s): " + ", ".join(f"{k} {v:.2f}" for k, v in phases.items()))


if __name__ == "__main__":
    main()
