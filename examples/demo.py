"""Encode and decode a real data set: the Palmer penguins.

    python examples/demo.py [--scale N]

The data (344 penguins, 3 text and 5 numeric columns, a few values missing;
CC0) ships with the PyPI package palmerpenguins. The demo encodes the frame,
decodes the codes back to labels, checks that every label came back, and
times both calls (median of five), on the data as it is and on N copies of it
stacked.
"""
import argparse
import math
import statistics
import time

import numpy as np
import pandas as pd
from palmerpenguins import load_penguins

import brindle


def timed(fn, runs=5):
    """fn's result and its median time over `runs` calls."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return out, statistics.median(times)


def check_round_trip(original, decoded, text_columns):
    """Counts the labels that came back; raises if any cell differs."""
    labels = missing = 0
    for name in original.columns:
        before, after = original[name].tolist(), decoded[name].tolist()
        for b, a in zip(before, after):
            if name in text_columns:
                if isinstance(b, str):
                    assert a == b, (name, b, a)
                    labels += 1
                else:
                    assert a is None, (name, b, a)
                    missing += 1
            else:
                assert a == b or (math.isnan(a) and math.isnan(b)), (name, b, a)
    return labels, missing


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=int, default=1000, help="copies stacked for the timing at scale")
    args = ap.parse_args()
    pd.set_option("display.width", 120)
    pd.set_option("display.max_columns", 20)

    penguins = load_penguins()
    print(f"Palmer penguins: DataFrame of {penguins.shape[0]} rows x {penguins.shape[1]} columns")

    enc = brindle.Encoder()
    codes, t_encode = timed(lambda: enc.encode(penguins))
    decoded, t_decode = timed(lambda: enc.decode(codes))

    text_columns = [name for name in decoded.columns if decoded[name].dtype == object]
    numeric_columns = [name for name in decoded.columns if name not in text_columns]
    print("text columns found:")
    for name in text_columns:
        labels = sorted(decoded[name].dropna().unique())
        print(f"  {name:<8} {len(labels)} labels: {', '.join(labels)}")
    print(f"numeric columns: {', '.join(numeric_columns)}")

    print("\ninput, first rows:")
    print(penguins.head().to_string())
    print("\nencode() -> float64 codes:")
    print(codes.head().to_string())
    print("\ndecode() -> labels back:")
    print(decoded.head().to_string())

    labels, missing = check_round_trip(penguins, decoded, text_columns)
    print(f"\nround trip: all {labels} labels back; {missing} missing values came back as None")

    print(f"\ntime, {len(penguins)} rows: encode {t_encode * 1e3:.2f} ms, decode {t_decode * 1e3:.2f} ms")
    if args.scale > 1:
        big = pd.concat([penguins] * args.scale, ignore_index=True)
        big_codes, t_encode = timed(lambda: enc.encode(big))
        big_decoded, t_decode = timed(lambda: enc.decode(big_codes))
        assert big_decoded.iloc[: len(penguins)].equals(decoded)
        codes_array = big_codes.to_numpy()
        _, t_array = timed(lambda: enc.decode(codes_array))
        print(
            f"time, {len(big):,} rows ({args.scale} copies): encode {t_encode * 1e3:.0f} ms, "
            f"decode {t_decode * 1e3:.0f} ms (as a NumPy array: {t_array * 1e3:.0f} ms)"
        )
    print(f"numpy {np.__version__}, pandas {pd.__version__}")


if __name__ == "__main__":
    main()
