"""Cost per row as a column's distinct labels grow past the cache.

    python bench/cardinality_bench.py [--quick] [--repeat R] [--only SUBSTRING]

One text column of labels like 'o0012345' drawn uniformly from k of them
(k = 200, 10^5, 10^6), 10^5 to 10^7 rows (--quick: up to 10^6), as a
pandas 3 `str` frame and as an object array (n x 1, cells sharing one str
object per label). Peers, timed in turn with brindle in each round: pandas
factorize(sort=True) on the object column, and pyarrow's dictionary_encode
(no sort) on the Arrow column.

Then an order log of 10^7 x 8 (--quick: 10^6) as a `str` frame: city
k = 200, user k = 10^5, order k = 10^6, a flag, four numbers; beside the
by-hand pandas loop (factorize(sort=True) per text column, numbers copied)
and pyarrow's dictionary_encode with its dictionary sorted and the indices
remapped.

Prints ns/row (medians) and ratios peer / brindle (medians of the per-round
ratios). brindle runs on the pool the environment gives (RAYON_NUM_THREADS).
"""
from __future__ import annotations

import argparse
import gc
import statistics
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

import brindle


def vocab(k, prefix="o"):
    return np.array([f"{prefix}{i:07d}" for i in range(k)], dtype=object)


def column(rows, k, seed):
    rng = np.random.default_rng(seed)
    return vocab(k)[rng.integers(0, k, rows)]


def factorize_sorted(values):
    codes, _ = pd.factorize(values, sort=True)
    out = codes.astype(np.float64)
    out[codes < 0] = np.nan
    return out


def arrow_sorted(arr):
    """dictionary_encode, the dictionary sorted and the indices remapped."""
    d = pc.dictionary_encode(arr).combine_chunks() if isinstance(arr, pa.ChunkedArray) else pc.dictionary_encode(arr)
    order = pc.array_sort_indices(d.dictionary)
    rank = np.empty(len(order), dtype=np.float64)
    rank[order.to_numpy()] = np.arange(len(order), dtype=np.float64)
    idx = d.indices.to_numpy(zero_copy_only=False)
    return rank[idx]


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def peak_extra_mib(fn):
    """Peak resident growth of one call: the kernel's high-water mark reset
    first (/proc/self/clear_refs), then VmHWM - VmRSS before the call. The
    result the call returns counts."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_kib("VmRSS")
    out = fn()
    peak = _status_kib("VmHWM")
    del out
    return (peak - before) / 1024


def rounds(tools, repeat):
    """tools: name -> callable; brindle first. Medians of times and ratios."""
    times = {name: [] for name in tools}
    names = list(tools)
    for r in range(repeat):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            gc.collect()
            time.sleep(0.02)
            t0 = time.perf_counter()
            tools[name]()
            times[name].append(time.perf_counter() - t0)
    med = {name: statistics.median(t) for name, t in times.items()}
    ratios = {name: statistics.median(p / b for p, b in zip(times[name], times["brindle"]))
              for name in names if name != "brindle"}
    return med, ratios


def single_column(rows, k, repeat, only, memory=False):
    results = []
    obj = column(rows, k, seed=k + rows)
    arrays = obj.reshape(-1, 1)
    for form in ("str frame", "object array"):
        name = f"k={k:,} rows={rows:.0e} {form}"
        if only and only not in name:
            continue
        if form == "str frame":
            frame = pd.DataFrame({"a": pd.Series(obj, dtype="str")})
            arrow = pa.chunked_array(frame["a"].array._pa_array.chunks)
            enc = brindle.Encoder()
            tools = {
                "brindle": lambda: enc.encode(frame),
                "arrow dict": lambda: pc.dictionary_encode(arrow),
            }
        else:
            enc = brindle.Encoder()
            tools = {
                "brindle": lambda: enc.encode(arrays),
                "factorize": lambda: factorize_sorted(obj),
            }
        med, ratios = rounds(tools, repeat)
        results.append((name, rows, med, ratios))
        line = f"{name:<40} brindle {med['brindle'] / rows * 1e9:8.1f} ns/row"
        for peer, ratio in ratios.items():
            line += f"   {peer} {med[peer] / rows * 1e9:7.1f} ns/row ({ratio:5.2f}x)"
        if memory and rows >= 10**6:
            # Budget: the float64 result, 64 bytes per distinct label, 16 per cell.
            budget = (8 * rows + 64 * min(k, rows) + 16 * rows) / 2**20
            line += f"   peak extra {peak_extra_mib(tools['brindle']):6.0f} MiB (budget {budget:.0f})"
        print(line, flush=True)
    return results


def order_log(rows, repeat):
    rng = np.random.default_rng(7)
    frame = pd.DataFrame({
        "city": pd.Series(vocab(200, "c")[rng.integers(0, 200, rows)], dtype="str"),
        "user": pd.Series(vocab(100_000, "u")[rng.integers(0, 100_000, rows)], dtype="str"),
        "order": pd.Series(vocab(1_000_000, "o")[rng.integers(0, 1_000_000, rows)], dtype="str"),
        "flag": pd.Series(np.array(["yes", "no"], dtype=object)[rng.integers(0, 2, rows)], dtype="str"),
        "qty": rng.integers(1, 10, rows).astype(np.float64),
        "price": rng.random(rows) * 100,
        "discount": rng.random(rows),
        "weight": rng.random(rows) * 5,
    })
    text = ["city", "user", "order", "flag"]

    def by_hand():
        out = np.empty((rows, frame.shape[1]), dtype=np.float64)
        for i, c in enumerate(frame.columns):
            if c in text:
                codes, _ = pd.factorize(frame[c], sort=True)
                out[:, i] = codes
            else:
                out[:, i] = frame[c].to_numpy()
        return pd.DataFrame(out, columns=frame.columns)

    chunked = {c: pa.chunked_array(frame[c].array._pa_array.chunks) for c in text}

    def arrow():
        out = np.empty((rows, frame.shape[1]), dtype=np.float64)
        for i, c in enumerate(frame.columns):
            out[:, i] = arrow_sorted(chunked[c]) if c in text else frame[c].to_numpy()
        return pd.DataFrame(out, columns=frame.columns)

    enc = brindle.Encoder()
    order_only = frame[["order"]]
    enc_order = brindle.Encoder()
    med, ratios = rounds({"brindle": lambda: enc.encode(frame), "pandas loop": by_hand,
                          "arrow dict+sort": arrow}, repeat)
    print(f"{'order log ' + f'{rows:.0e}' + ' x 8':<40} brindle {med['brindle'] * 1e3:8.0f} ms"
          f"   pandas loop {med['pandas loop'] * 1e3:7.0f} ms ({ratios['pandas loop']:5.2f}x)"
          f"   arrow dict+sort {med['arrow dict+sort'] * 1e3:7.0f} ms ({ratios['arrow dict+sort']:5.2f}x)", flush=True)
    t0 = time.perf_counter()
    enc_order.encode(order_only)
    print(f"{'  of which the order column alone':<40} brindle {(time.perf_counter() - t0) * 1e3:8.0f} ms")
    return med, ratios


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="rows up to 10^6")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="", help="cases whose name holds this")
    ap.add_argument("--no-order-log", action="store_true")
    ap.add_argument("--memory", action="store_true", help="also brindle's peak extra memory (rows >= 10^6)")
    args = ap.parse_args()
    sizes = (10**5, 10**6) if args.quick else (10**5, 10**6, 10**7)
    print(f"pandas {pd.__version__}, pyarrow {pa.__version__}, numpy {np.__version__}; medians of {args.repeat}")
    per_row = {}
    for k in (200, 100_000, 1_000_000):
        for rows in sizes:
            if k > rows:
                continue
            for name, n, med, _ in single_column(rows, k, args.repeat, args.only, args.memory):
                per_row[name] = med["brindle"] / n
    # Flatness: the cost per row at the largest size over that at 10^6.
    top = sizes[-1]
    if top > 10**6:
        for k in (200, 100_000, 1_000_000):
            for form in ("str frame", "object array"):
                a = per_row.get(f"k={k:,} rows={top:.0e} {form}")
                b = per_row.get(f"k={k:,} rows={10**6:.0e} {form}")
                if a and b:
                    print(f"k={k:,} {form}: ns/row at {top:.0e} over 1e+06: {a / b:.2f}x")
    if not args.no_order_log and not args.only:
        order_log(10**6 if args.quick else 10**7, args.repeat)


if __name__ == "__main__":
    main()
