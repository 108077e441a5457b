"""A fitted encoder on a real table: fit on its first half, transform the second.

The table is frames_bench.py's table-str (read_csv, pandas' str columns), so the
second half meets both known labels and labels the fit never saw (the columns of
4,000 and 100,000 labels); unknown labels take -1 everywhere. Tools, timed in
alternating order, medians of the rounds, 2 threads unless RAYON_NUM_THREADS says:

  transform     brindle_books.FittedEncoder.transform(test, unknown=-1)
  encode        brindle.Encoder().encode(test) (no fixed books: the floor to beat)
  by_hand       per text column pd.Categorical(col, categories=book).codes, numbers to float64
  sklearn       ColumnTransformer(OrdinalEncoder(unknown -1), remainder="passthrough")
  polars_enum   the test half already in polars, text columns cast to pl.Enum(book)
  sklearn_wrap  brindle_sklearn.OrdinalEncoder in the same ColumnTransformer role, if present
  arrow forms   transform of the test half as a polars frame and a pyarrow Table, if read

plus fit_transform(train) against encode(train), and one row of the test half:
the native transform and the estimators' transform.

    python bench/fitted_bench.py [--quick] [--rounds N]
"""

import argparse
import gc
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "2")
sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import brindle  # noqa: E402
import brindle_books  # noqa: E402
from frames_bench import frames, text_columns  # noqa: E402


def timed(f, repeat=1):
    gc.collect()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - start)
    return best


def tools_for(train, test):
    text = text_columns(train)
    fitted = brindle_books.FittedEncoder().fit(train)
    books = {c: cats for c, cats in zip(train.columns, fitted.categories()) if cats is not None}
    tools = {
        "transform": lambda: fitted.transform(test, unknown=-1),
        "encode": lambda: brindle.Encoder().encode(test),
    }

    def by_hand():
        out = np.empty(test.shape, dtype=np.float64, order="F")
        for j, (name, col) in enumerate(test.items()):
            if name in books:
                with warnings.catch_warnings():  # pandas 3 warns of labels outside the categories
                    warnings.simplefilter("ignore")
                    codes = pd.Categorical(col, categories=books[name]).codes.astype(np.float64)
                codes[(codes < 0) & col.notna().to_numpy()] = -1
                codes[col.isna().to_numpy()] = np.nan
                out[:, j] = codes
            else:
                out[:, j] = col.to_numpy(dtype=np.float64, na_value=np.nan)
        return out

    tools["by_hand"] = by_hand
    one = test.iloc[[0]].reset_index(drop=True)
    one_array = one.to_numpy(dtype=object)
    serving = {"native_row": lambda: fitted.transform(one, unknown=-1),
               "native_row_numpy": lambda: fitted.transform(one_array, unknown=-1)}
    try:
        from sklearn.compose import ColumnTransformer
        from sklearn.preprocessing import OrdinalEncoder

        obj = {c: object for c in text}
        ct = ColumnTransformer([("text", OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1,
                                                        encoded_missing_value=np.nan), text)],
                               remainder="passthrough")
        ct.fit(train.astype(obj))
        tools["sklearn"] = lambda: ct.transform(test.astype(obj))
        row = one.astype(obj)
        serving["sklearn_row"] = lambda: ct.transform(row)
    except ImportError:
        print("scikit-learn is not installed: no sklearn rows", file=sys.stderr)
    try:
        import brindle_sklearn

        est = brindle_sklearn.OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(train)
        tools["sklearn_wrap"] = lambda: est.transform(test)
        serving["sklearn_wrap_row"] = lambda: est.transform(one)
    except ImportError:
        pass
    try:
        import polars as pl

        ptest = pl.from_pandas(test)
        exprs = [pl.col(c).cast(pl.Enum(books[c]), strict=False).to_physical().cast(pl.Float64) if c in books
                 else pl.col(c).cast(pl.Float64) for c in ptest.columns]
        tools["polars_enum"] = lambda: ptest.select(exprs).to_numpy()
        try:
            fitted.transform(ptest.head(2), unknown=-1)
            tools["polars_form"] = lambda: fitted.transform(ptest, unknown=-1)
            import pyarrow as pa

            atest = pa.Table.from_pandas(test, preserve_index=False)
            tools["pyarrow_form"] = lambda: fitted.transform(atest, unknown=-1)
        except (TypeError, brindle_books.InternalError):
            print("FittedEncoder reads no Arrow tables in this build", file=sys.stderr)
    except ImportError:
        print("polars is not installed: no polars rows", file=sys.stderr)
    fit = {
        "fit_transform": lambda: brindle_books.FittedEncoder().fit_transform(train),
        "encode_train": lambda: brindle.Encoder().encode(train),
    }
    return tools, fit, serving


def medians(tools, rounds, repeat=1):
    times = {name: [] for name in tools}
    order = list(tools)
    for r in range(rounds):
        for name in order if r % 2 == 0 else order[::-1]:
            slow = name.startswith("sklearn") and name not in ("sklearn_wrap", "sklearn_wrap_row")
            if slow and r >= 1 and repeat == 1:
                continue  # one call costs as much as all the rest
            times[name].append(timed(tools[name], max(repeat // 10, 1) if slow else repeat))
    return {name: statistics.median(t) for name, t in times.items() if t}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10^5 rows instead of 10^6")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    table = frames(args.quick, only="table-str")["table-str"]
    half = len(table) // 2
    train, test = table.iloc[:half].reset_index(drop=True), table.iloc[half:].reset_index(drop=True)
    tools, fit, serving = tools_for(train, test)
    print(f"pandas {pd.__version__}, numpy {np.__version__}, {len(test):,} rows x {test.shape[1]} to transform, "
          f"{os.environ['RAYON_NUM_THREADS']} threads")
    t = medians(tools, args.rounds)
    print("\n| tool | ms | transform is faster by |\n|---|---|---|")
    for name, s in t.items():
        print(f"| {name} | {s * 1e3:.1f} | {s / t['transform']:.2f}x |")
    f = medians(fit, args.rounds)
    print(f"\nfit_transform(train) {f['fit_transform'] * 1e3:.1f} ms, encode(train) {f['encode_train'] * 1e3:.1f} ms: "
          f"ratio {f['fit_transform'] / f['encode_train']:.3f}")
    s = medians(serving, args.rounds, repeat=200)
    print("\n| one row | µs |\n|---|---|")
    for name, v in s.items():
        print(f"| {name} | {v * 1e6:.0f} |")


if __name__ == "__main__":
    main()
