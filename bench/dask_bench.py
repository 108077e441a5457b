"""brindle_dask on a local cluster beside one in-memory Encoder call and Dask's own
categorize() + cat.codes, on the same Parquet data.

    python bench/dask_bench.py [--rows N] [--parts P] [--repeat R] [--data DIR]

Data: N rows x 8 columns in P Parquet files (written once into DIR): four text
columns (200 city names, 100,000 user ids, 1,000,000 order ids, a yes/no/missing
flag) and four numeric (two float64, one with 10 % NaN, int64, int32). Each Dask
method reads the files lazily and materialises its codes on two worker processes
(one thread each) with persist(); the in-memory call reads the whole table first
(not timed) and times Encoder().encode alone. Prints the median time of R runs and
the largest peak resident memory of a worker (of the process, reading included, for
the in-memory call); a worker's peak includes the codes it holds at the end.

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


def peak_kib():
    """The process's resident high-water mark since start or the last reset_peak()."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def run_dask(client, path, method):
    import dask.dataframe as dd
    from distributed import wait

    import brindle_dask

    ddf = dd.read_parquet(path)
    start = time.perf_counter()
    if method == "brindle_dask":
        codes, books = brindle_dask.encode(ddf)
    else:
        cat = ddf.categorize(columns=TEXT)
        codes = cat.assign(**{c: cat[c].cat.codes for c in TEXT})
    codes = codes.persist()
    wait(codes)
    took = time.perf_counter() - start
    del codes
    return took


def in_memory(path):
    """Runs in a fresh process: peak memory of reading plus one encode."""
    import brindle

    frame = pd.read_parquet(path)
    for c in TEXT:  # the columns a pandas user would hold: object, as written
        frame[c] = frame[c].astype(object)
    start = time.perf_counter()
    brindle.Encoder().encode(frame)
    took = time.perf_counter() - start
    print(json.dumps({"seconds": took, "peak_kib": peak_kib()}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--parts", type=int, default=40)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--data", default="build/dask-bench-data")
    ap.add_argument("--in-memory", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    path = os.path.join(args.data, f"{args.rows}x8-{args.parts}")
    if args.in_memory:
        return in_memory(path)
    write_data(path, args.rows, args.parts)

    from distributed import Client, LocalCluster

    results = {}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=40) as cluster, Client(cluster) as client:
        for method in ("brindle_dask", "categorize"):
            times, peaks = [], []
            for _ in range(args.repeat):
                client.restart()
                client.run(reset_peak)  # each run's own peak, whatever came before
                times.append(run_dask(client, path, method))
                peaks.append(max(client.run(peak_kib).values()))
            results[method] = (statistics.median(times), max(peaks))
            print(method, results[method], file=sys.stderr)
    times, peaks = [], []
    for _ in range(args.repeat):
        out = subprocess.run([sys.executable, __file__, "--in-memory", "--rows", str(args.rows),
                              "--parts", str(args.parts), "--data", args.data],
                             check=True, capture_output=True, text=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        times.append(r["seconds"])
        peaks.append(r["peak_kib"])
    results["Encoder, in memory"] = (statistics.median(times), max(peaks))

    base = results["brindle_dask"][0]
    print(f"{args.rows:,} rows x 8 columns, {args.parts} partitions, median of {args.repeat}\n")
    print("| method | time (s) | vs brindle_dask | peak memory per worker (MiB) |")
    print("|---|---|---|---|")
    for name, (t, kib) in results.items():
        print(f"| {name} | {t:.2f} | {t / base:.2f}x | {kib / 1024:.0f} |")


if __name__ == "__main__":
    main()
