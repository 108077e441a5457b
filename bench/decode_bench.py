"""decode beside scikit-learn's OrdinalEncoder.inverse_transform and pandas'
categories.take(codes) per column, on the same codes.

    python bench/decode_bench.py [--rows N] [--k K] [--repeat R]

Data: 8 text columns of labels 8 to 16 characters long drawn from k distinct
values. Every tool turns the same codes back into labels as Python str
objects: brindle from the float64 code array (one object array out), the
encoder from the same array, take from the codes of each column already as
integers (one object Index per column out). Each tool runs R times,
interleaved, and the median counts. scikit-learn is needed for this script
only (pip install scikit-learn).
"""
import argparse
import statistics
import time

import numpy as np
import pandas as pd

import brindle


def make_labels(rows, cols, k, seed=0):
    rng = np.random.default_rng(seed)
    letters = np.array(list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"))
    vocab = np.array(["".join(rng.choice(letters, rng.integers(8, 17))) for _ in range(k)], dtype=object)
    x = np.empty((rows, cols), dtype=object)
    for c in range(cols):
        x[:, c] = vocab[rng.integers(0, k, rows)]
    return x


def medians(tools, repeat):
    """Median wall time and median CPU time of this thread, per tool. On a
    shared machine the CPU time is the steadier of the two."""
    wall = {name: [] for name in tools}
    cpu = {name: [] for name in tools}
    for _ in range(repeat):
        for name, fn in tools.items():
            w0, c0 = time.perf_counter(), time.thread_time()
            out = fn()
            cpu[name].append(time.thread_time() - c0)
            wall[name].append(time.perf_counter() - w0)
            del out
    return ({n: statistics.median(t) for n, t in wall.items()}, {n: statistics.median(t) for n, t in cpu.items()})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--cols", type=int, default=8)
    ap.add_argument("--k", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    from sklearn.preprocessing import OrdinalEncoder

    x = make_labels(args.rows, args.cols, args.k)
    enc = brindle.Encoder()
    codes = enc.encode(x)
    ordinal = OrdinalEncoder().fit(x)
    # Both coders number the labels in sorted order, so the codes are shared.
    assert np.array_equal(ordinal.transform(x), codes)
    categories = [pd.Index(cats, dtype=object) for cats in ordinal.categories_]
    int_codes = [np.ascontiguousarray(codes[:, c], dtype=np.intp) for c in range(args.cols)]
    frame_codes = pd.DataFrame(codes, columns=[f"c{i}" for i in range(args.cols)])

    decoded = enc.decode(codes)
    assert np.array_equal(decoded, ordinal.inverse_transform(codes))
    assert all((categories[c].take(int_codes[c]) == decoded[:, c]).all() for c in range(args.cols))

    tools = {
        "brindle decode (ndarray)": lambda: enc.decode(codes),
        "brindle decode (DataFrame)": lambda: enc.decode(frame_codes),
        "OrdinalEncoder.inverse_transform": lambda: ordinal.inverse_transform(codes),
        "categories.take per column": lambda: [categories[c].take(int_codes[c]) for c in range(args.cols)],
    }
    wall, cpu = medians(tools, args.repeat)
    print(f"rows={args.rows} cols={args.cols} (all text) k={args.k}, median of {args.repeat}")
    print(f"{'':>34} {'wall ms':>9} {'cpu ms':>9}")
    for name in tools:
        print(f"{name:>34} {wall[name] * 1e3:9.1f} {cpu[name] * 1e3:9.1f}")
    for peer, label in (("categories.take per column", "take / decode"),
                        ("OrdinalEncoder.inverse_transform", "inverse_transform / decode")):
        ratios = [t[peer] / t["brindle decode (ndarray)"] for t in (wall, cpu)]
        print(f"{label:>34} {ratios[0]:8.2f}x {ratios[1]:8.2f}x")


if __name__ == "__main__":
    main()
