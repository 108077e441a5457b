"""Encode of a pandas DataFrame by its columns against the `values` road, by frame size.

    python bench/small_frames_bench.py [--repeat N] [--only NAME]

Each frame is encoded as it is (brindle picks its road) and through a stand-in class
named DataFrame that offers only `columns`, `shape` and `values` (the `values` road),
one call after the other, alternating; the ratio is time as it is / time through
`values` in the same round, and the table shows medians. Below 1: the frame's own
road is faster. Text columns come as pandas gives them (pandas 3 with pyarrow: its
Arrow-backed `str`) and as object columns.
"""
from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time

import numpy as np
import pandas as pd

import brindle


class DataFrame:
    """Not pandas' DataFrame, so brindle reads it through `values`."""

    def __init__(self, frame):
        self._frame = frame

    columns = property(lambda self: self._frame.columns)
    shape = property(lambda self: self._frame.shape)
    values = property(lambda self: self._frame.values)


def mixed(rows, cols, text_every=3, seed=0):
    """cols columns: every text_every-th text (k = 20, 5 % missing), the rest float64 and int64."""
    rng = np.random.default_rng(seed)
    vocab = np.array([f"label{i}" for i in range(20)], dtype=object)
    data = {}
    for j in range(cols):
        if j % text_every == text_every - 1:
            col = vocab[rng.integers(0, 20, rows)]
            col[rng.random(rows) < 0.05] = None
            data[f"t{j}"] = pd.Series(col, dtype="str")
        elif j % 2:
            data[f"i{j}"] = rng.integers(0, 1000, rows)
        else:
            data[f"f{j}"] = rng.normal(size=rows)
    return pd.DataFrame(data)


def penguins(reps=1):
    from palmerpenguins import load_penguins

    base = load_penguins()
    return pd.concat([base] * reps, ignore_index=True) if reps > 1 else base


def frames():
    out = {}
    try:
        out["penguins"] = lambda: penguins()
        out["penguins x10"] = lambda: penguins(10)
        out["penguins x1000"] = lambda: penguins(1000)
    except ImportError:
        print("palmerpenguins is not installed: no penguins frames", file=sys.stderr)
    for rows, cols in [(10, 5), (100, 8), (300, 8), (1000, 8), (3000, 8), (10_000, 8), (100, 200), (300, 200),
                       (1000, 200), (30, 2000), (8000, 1500)]:
        out[f"{rows}x{cols}"] = lambda rows=rows, cols=cols: mixed(rows, cols)
    return out


def best_repeat(frame, repeat):
    cells = frame.shape[0] * frame.shape[1]
    return max(repeat, min(101, 2_000_000 // max(cells, 1)))


def measure(frame, repeat):
    enc = brindle.Encoder()
    stand_in = DataFrame(frame)
    enc.encode(frame), enc.encode(stand_in)  # warm up
    own, values, ratio = [], [], []
    for i in range(best_repeat(frame, repeat)):
        pair = []
        for target in ((frame, stand_in) if i % 2 == 0 else (stand_in, frame)):
            gc.collect()
            start = time.perf_counter()
            enc.encode(target)
            pair.append(time.perf_counter() - start)
        a, b = pair if i % 2 == 0 else pair[::-1]
        own.append(a)
        values.append(b)
        ratio.append(a / b)
    return statistics.median(own), statistics.median(values), statistics.median(ratio)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    print(f"pandas {pd.__version__}, numpy {np.__version__}")
    print("| frame | text | as it is | `values` road | ratio |")
    print("|---|---|---|---|---|")
    for name, make in frames().items():
        if args.only and args.only != name:
            continue
        base = make()
        text = [c for c in base.columns if base[c].dtype.kind not in "biuf"]
        for label, frame in (("as read", base), ("object", base.astype({c: object for c in text}))):
            own, values, ratio = measure(frame, args.repeat)
            dtype = sorted({str(frame[c].dtype) for c in text})
            print(f"| {name} | {label} ({', '.join(dtype)}) | {own * 1e3:.3f} ms | {values * 1e3:.3f} ms "
                  f"| {ratio:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
