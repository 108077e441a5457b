"""Categorical columns of str categories: encode read from the codes, beside
the same frame read as astype(object) and beside the codes loop a user writes.

    python bench/categorical_bench.py [--rows N] [--repeat 5]

The frame: one categorical column per k (as astype("category") of a column of
str, 5 % missing) and one small object column. Hiding pandas.CategoricalDtype
from brindle sends the categoricals through astype(object), the road every
categorical took before; a frame of categoricals alone took `values`, timed
as "values road". Each k is also timed alone, beside the object column
("k=..." rows). Tools run one after another, the order rotated each round;
ratios are per round, the table shows medians.
"""
from __future__ import annotations

import argparse
import gc
import statistics
import time

import numpy as np
import pandas as pd

import brindle
from small_frames_bench import DataFrame  # a frame brindle reads through `values`

KS = (3, 100, 4_000, 100_000)


def frame(rows, seed=0):
    rng = np.random.default_rng(seed)
    letters = np.array(list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"))
    data = {}
    for k in KS:
        vocab = np.array(["".join(w) for w in letters[rng.integers(0, len(letters), (k, 10))]], dtype=object)
        col = vocab[rng.integers(0, k, rows)]
        col[rng.random(rows) < 0.05] = None
        data[f"k{k}"] = pd.Series(col, dtype="str" if pd.__version__ >= "3" else object).astype("category")
    data["o"] = pd.Series(np.array(["x", "y", "z"], dtype=object)[rng.integers(0, 3, rows)], dtype=object)
    return pd.DataFrame(data)


def codes_by_hand(frame):
    """Per categorical column: its codes, ranked by sorted categories."""
    out = np.empty(frame.shape, dtype=np.float64, order="F")
    for j, (_, col) in enumerate(frame.items()):
        if isinstance(col.dtype, pd.CategoricalDtype):
            cats = col.cat.categories
            rank = np.empty(len(cats), dtype=np.int64)
            rank[cats.argsort()] = np.arange(len(cats))
            codes = col.cat.codes.to_numpy()
            c = rank[codes].astype(np.float64)
            c[codes < 0] = np.nan
        else:
            c, _ = pd.factorize(col, sort=True)
            c = np.where(c < 0, np.nan, c)
        out[:, j] = c
    return pd.DataFrame(out, columns=frame.columns)


def factorize_by_hand(frame):
    out = np.empty(frame.shape, dtype=np.float64, order="F")
    for j, (_, col) in enumerate(frame.items()):
        c, _ = pd.factorize(col, sort=True)
        out[:, j] = np.where(c < 0, np.nan, c)
    return pd.DataFrame(out, columns=frame.columns)


def convert_road(frame):
    hidden = pd.CategoricalDtype
    pd.CategoricalDtype = None
    try:
        return brindle.Encoder().encode(frame)
    finally:
        pd.CategoricalDtype = hidden


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    f = frame(args.rows)
    cats_only = f.drop(columns="o")
    tools = {
        "brindle": lambda: brindle.Encoder().encode(f),
        "convert road": lambda: convert_road(f),
        "codes by hand": lambda: codes_by_hand(f),
        "factorize by hand": lambda: factorize_by_hand(f),
        "brindle, categoricals only": lambda: brindle.Encoder().encode(cats_only),
        "values road, categoricals only": lambda: brindle.Encoder().encode(DataFrame(cats_only)),
    }
    base = {n: "brindle, categoricals only" if "only" in n else "brindle" for n in tools}
    for k in KS:
        one = f[[f"k{k}", "o"]]
        tools[f"brindle, k={k}"] = lambda one=one: brindle.Encoder().encode(one)
        tools[f"convert road, k={k}"] = lambda one=one: convert_road(one)
        tools[f"codes by hand, k={k}"] = lambda one=one: codes_by_hand(one)
        for n in ("brindle", "convert road", "codes by hand"):
            base[f"{n}, k={k}"] = f"brindle, k={k}"
    a, b = brindle.Encoder().encode(f), convert_road(f)
    assert (a.to_numpy().view(np.uint64) == b.to_numpy().view(np.uint64)).all()
    names = list(tools)
    rounds = []
    for i in range(args.repeat):
        times = {}
        for name in names[i % len(names):] + names[: i % len(names)]:
            gc.collect()
            start = time.perf_counter()
            tools[name]()
            times[name] = time.perf_counter() - start
        rounds.append(times)
    print(f"{args.rows:,} rows, categoricals k = {KS} + 1 object column; pandas {pd.__version__}")
    print("| tool | median ms | x brindle |")
    print("|---|---:|---:|")
    for n in names:
        med = statistics.median(r[n] for r in rounds) * 1e3
        ratio = statistics.median(r[n] / r[base[n]] for r in rounds)
        print(f"| {n} | {med:.0f} | {ratio:.2f} |")


if __name__ == "__main__":
    main()
