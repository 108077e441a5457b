"""brindle on DataFrames shaped like real tables, beside what users do by hand.

    scripts/bench.sh --frames [--quick] [--repeat N]
    python bench/frames_bench.py ...   (in an environment with brindle, pandas,
                                        pyarrow, scikit-learn and polars)

Frames:
  table-str     1e6 rows: 7 int64, 7 float64 (5 % NaN), 5 text columns (k = 3,
                100, 4,000, 100,000, and a date-time text of 7,000 values, 5 %
                missing), through read_csv: pandas 3 gives its Arrow-backed str
  table-object  the same CSV read with dtype=object for the text columns
  table-category  table-str with its text columns astype("category")
  wide          8,000 rows x 1,500 columns: 1,350 float64, 150 text (k = 50)
  penguins      palmerpenguins repeated to 1e6 rows, as read_csv gives it

Every tool is timed in this one process, one call after another, the order
rotated each round; a ratio is peer time / brindle time of the same round, and
the table shows medians. Peak extra memory of encode is measured in a fresh
process per frame (high-water mark reset through /proc/self/clear_refs).
"""
from __future__ import annotations

import argparse
import gc
import io
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
CACHE = Path(os.environ.get("BRINDLE_BENCH_CACHE", "/tmp/brindle-bench-frames"))


# --- frames ----------------------------------------------------------------------------

def _labels(rng, k, width=10):
    letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", dtype=np.uint8)
    return ["".join(map(chr, letters[rng.integers(0, len(letters), width)])) for _ in range(k)]


def _csv_table(rows, seed=0):
    rng = np.random.default_rng(seed)
    data = {}
    for i in range(7):
        data[f"int{i}"] = rng.integers(-1000, 100_000, rows)
    for i in range(7):
        x = rng.normal(size=rows).round(4)
        x[rng.random(rows) < 0.05] = np.nan
        data[f"float{i}"] = x
    for k in (3, 100, 4000, 100_000):
        vocab = np.array(_labels(rng, k), dtype=object)
        col = vocab[rng.integers(0, k, rows)]
        col[rng.random(rows) < 0.05] = None
        data[f"text_k{k}"] = col
    stamps = pd.date_range("2024-01-01", periods=7000, freq="37min").strftime("%Y-%m-%d %H:%M").to_numpy(object)
    col = stamps[rng.integers(0, len(stamps), rows)]
    col[rng.random(rows) < 0.05] = None
    data["when"] = col
    return pd.DataFrame(data)


def _via_csv(name, make, text_as_object=False):
    """The frame as read_csv gives it, the CSV cached on disk."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"{name}.csv"
    if not path.exists():
        make().to_csv(path, index=False)
    if not text_as_object:
        return pd.read_csv(path)
    header = pd.read_csv(path, nrows=100)
    return pd.read_csv(path, dtype={c: object for c in text_columns(header)})


def frames(quick, only=""):
    rows = 100_000 if quick else 1_000_000
    out = {}
    if "table" in only or not only:
        out["table-str"] = _via_csv(f"table-{rows}", lambda: _csv_table(rows))
        out["table-object"] = _via_csv(f"table-{rows}", lambda: _csv_table(rows), text_as_object=True)
        # The text columns as astype("category") makes them.
        out["table-category"] = out["table-str"].astype({c: "category" for c in text_columns(out["table-str"])})
    if only and "wide" not in only and "penguins" not in only:
        return out
    rng = np.random.default_rng(1)
    wide_rows = 800 if quick else 8000
    cols = {}
    vocab = np.array(_labels(rng, 50), dtype=object)
    for j in range(1500):
        if j % 10 == 9:
            cols[f"t{j}"] = vocab[rng.integers(0, 50, wide_rows)]
        else:
            cols[f"x{j}"] = rng.normal(size=wide_rows).round(3)
    out["wide"] = _via_csv(f"wide-{wide_rows}", lambda: pd.DataFrame(cols))
    try:
        import palmerpenguins

        base = palmerpenguins.load_penguins()
        reps = rows // len(base) + 1
        out["penguins"] = _via_csv(f"penguins-{rows}",
                                   lambda: pd.concat([base] * reps, ignore_index=True).iloc[:rows])
    except ImportError:
        print("palmerpenguins is not installed: no penguins frame", file=sys.stderr)
    return out


def text_columns(frame):
    return [c for c in frame.columns if frame[c].dtype.kind not in "biuf"]


# --- tools -----------------------------------------------------------------------------

def by_hand(frame):
    """Numbers to_numpy(float), text factorize(sort=True), into one float64 frame."""
    out = np.empty(frame.shape, dtype=np.float64, order="F")
    for j, (_, col) in enumerate(frame.items()):
        if col.dtype.kind in "biuf":
            out[:, j] = col.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            codes, _ = pd.factorize(col, sort=True)
            c = codes.astype(np.float64)
            c[codes < 0] = np.nan
            out[:, j] = c
    return pd.DataFrame(out, columns=frame.columns)


def sklearn_tool(frame):
    from sklearn.compose import ColumnTransformer
    from sklearn.preprocessing import OrdinalEncoder

    text = text_columns(frame)
    ct = ColumnTransformer([("text", OrdinalEncoder(), text)], remainder="passthrough")
    # Object text: sklearn's encoder sorts Python objects and treats None as a value.
    return ct.fit_transform(frame.astype({c: object for c in text}).fillna({c: "" for c in text}))


def polars_tool(frame):
    import polars as pl

    text = set(text_columns(frame))
    pf = pl.from_pandas(frame)
    exprs = [pl.col(c).cast(pl.Categorical).to_physical().cast(pl.Float64) if c in text
             else pl.col(c).cast(pl.Float64) for c in pf.columns]
    return pf.select(exprs).to_numpy()


def decode_by_hand(codes_frame, categories):
    """Per column Categorical.from_codes(...).astype(object), into one frame."""
    out = {}
    for j, (name, col) in enumerate(codes_frame.items()):
        cats = categories.get(j)
        if cats is None:
            out[j] = col.to_numpy()
            continue
        x = col.to_numpy()
        codes = np.where(np.isnan(x), -1, x).astype(np.int64)
        out[j] = pd.Categorical.from_codes(codes, cats).astype(object)
    result = pd.DataFrame(out)
    result.columns = codes_frame.columns
    return result


# --- timing ----------------------------------------------------------------------------

# Timed in the first round only: one call of it takes as long as all the rest.
ONCE = {"sklearn"}


def time_round(tools, order, first):
    times = {}
    for name in order:
        if name in ONCE and not first:
            continue
        gc.collect()
        time.sleep(0.05)
        start = time.perf_counter()
        tools[name]()
        times[name] = time.perf_counter() - start
    return times


def measure(frame, repeat):
    import brindle

    enc = brindle.Encoder()
    coded = enc.encode(frame)
    text_pos = [j for j, c in enumerate(frame.columns) if frame[c].dtype.kind not in "biuf"]
    categories = {j: pd.Index(sorted(set(frame.iloc[:, j].dropna().tolist()))) for j in text_pos}
    dec_enc = brindle.Encoder()
    dec_enc.encode(frame)

    tools = {
        "brindle": lambda: brindle.Encoder().encode(frame),
        "by_hand": lambda: by_hand(frame),
        "polars": lambda: polars_tool(frame),
        "sklearn": lambda: sklearn_tool(frame),
        "values": lambda: frame.values,
        "decode_brindle": lambda: dec_enc.decode(coded),
        "decode_by_hand": lambda: decode_by_hand(coded, categories),
    }
    for name in list(tools):  # warm up, and drop a tool that cannot run here
        try:
            tools[name]()
        except Exception as exc:  # noqa: BLE001 - reported, not fatal
            print(f"  {name} skipped: {type(exc).__name__}: {exc}", file=sys.stderr)
            del tools[name]
    rounds = []
    names = list(tools)
    for i in range(repeat):
        order = names[i % len(names):] + names[: i % len(names)]
        rounds.append(time_round(tools, order, first=i == 0))
    med = {n: statistics.median(r[n] for r in rounds if n in r) for n in names}
    ratio = {}
    for n in names:
        base = "decode_brindle" if n.startswith("decode") else "brindle"
        ratio[n] = statistics.median(r[n] / r[base] for r in rounds if n in r)
    return med, ratio


def peak_memory(name, quick):
    """Extra peak RSS of one encode, in a fresh process."""
    code = f"""
import gc, sys, ctypes
sys.path.insert(0, {str(HERE)!r})
import frames_bench as fb, brindle
f = fb.frames({quick!r}, {name!r})[{name!r}]
brindle.Encoder().encode(f.iloc[:1000])
gc.collect(); ctypes.CDLL('libc.so.6').malloc_trim(0)
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key): return int(line.split()[1]) * 1024
open('/proc/self/clear_refs', 'w').write('5')
before = status('VmRSS:')
out = brindle.Encoder().encode(f)
peak = status('VmHWM:')
text = fb.text_columns(f)
distinct = sum(f[c].nunique() for c in text)
print(peak - before, f.shape[0] * f.shape[1] * 8, distinct, f.shape[0] * len(text))
"""
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    extra, result, distinct, text_cells = map(int, res.stdout.split())
    return extra, result + 64 * distinct + 16 * text_cells


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--only", default="")
    ap.add_argument("--json", type=Path)
    args = ap.parse_args()
    records = {}
    for name, frame in frames(args.quick, args.only).items():
        if args.only not in name:
            continue
        print(f"{name}: {frame.shape}, text dtypes "
              f"{sorted({str(frame[c].dtype) for c in text_columns(frame)})}", file=sys.stderr)
        med, ratio = measure(frame, args.repeat)
        extra, budget = peak_memory(name, args.quick)
        records[name] = {"median_s": med, "ratio": ratio, "peak_extra": extra, "budget": budget}
        line = ", ".join(f"{n} {med[n] * 1e3:.0f} ms ({ratio[n]:.2f}x)" for n in med)
        print(f"  {line}; memory {extra / 2**20:.0f} MiB of {budget / 2**20:.0f} MiB", file=sys.stderr)
    if args.json:
        args.json.write_text(json.dumps(records, indent=1))
    print(json.dumps(records))


if __name__ == "__main__":
    main()
