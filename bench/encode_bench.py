"""encode beside pandas.factorize(sort=True) per column, on the same data.

    python bench/encode_bench.py [--rows N] [--repeat R]

Data: 6 text columns of labels 8 to 16 characters long drawn from k distinct
values, plus 2 float columns. Prints the median time of each tool and the
ratio factorize / encode, pair by pair in one run.
"""
import argparse
import statistics
import time

import numpy as np
import pandas as pd

import brindle


def make_data(rows, k, seed=0):
    rng = np.random.default_rng(seed)
    letters = np.array(list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"))
    vocab = np.array(["".join(rng.choice(letters, rng.integers(8, 17))) for _ in range(k)], dtype=object)
    x = np.empty((rows, 8), dtype=object)
    for c in range(6):
        x[:, c] = vocab[rng.integers(0, k, rows)]
    for c in (6, 7):
        x[:, c] = rng.random(rows).tolist()
    return x


def factorize_columns(columns):
    """The peer: factorize(sort=True) per text column, floats copied."""
    out = np.empty((len(columns[0]), len(columns)), dtype=np.float64)
    for i, col in enumerate(columns):
        if i < 6:
            codes, _ = pd.factorize(col, sort=True)
            out[:, i] = codes
        else:
            out[:, i] = col
    return out


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--k", type=int, nargs="*", default=[10, 1000, 100_000])
    args = ap.parse_args()
    print(f"rows={args.rows} cols=8 (6 text, 2 float), median of {args.repeat}")
    print(f"{'k':>8} {'input':>10} {'brindle s':>10} {'factorize s':>12} {'ratio':>7}")
    for k in args.k:
        x = make_data(args.rows, k)
        # dtype=object keeps the text columns object columns: pandas 3 would
        # otherwise infer its string dtype.
        frame = pd.DataFrame(
            {c: (pd.Series(x[:, c], dtype=object) if c < 6 else x[:, c].astype(np.float64)) for c in range(8)}
        )
        array_columns = [x[:, c] for c in range(8)]
        frame_columns = [frame[c] for c in range(8)]
        for name, obj, cols in (("ndarray", x, array_columns), ("DataFrame", frame, frame_columns)):
            enc = brindle.Encoder()
            t_b = timed(lambda: enc.encode(obj), args.repeat)
            t_f = timed(lambda: factorize_columns(cols), args.repeat)
            print(f"{k:>8} {name:>10} {t_b:>10.3f} {t_f:>12.3f} {t_f / t_b:>7.2f}")


if __name__ == "__main__":
    main()
