"""brindle beside the label encoders people use today, on the same data.

    scripts/bench.sh [--quick] [--only SUBSTRING] [--out DIR] [--repeat N]
    python bench/peers.py ...            (same options, in an environment that
                                          has brindle and the peers installed)

Every case is generated from a fixed seed inside a worker process, and every
tool is timed in that same process, one call after another, the order rotated
each round. A ratio is peer time / brindle time of the same round; the table
shows the median of those ratios and the median times. The pool size of
brindle is fixed per process, so the one-thread figure comes from a second
worker with RAYON_NUM_THREADS=1 that is called in turn with the first.

Peak memory is measured per tool in a fresh worker: data built and tools
warmed on a small sample, allocator trimmed, the kernel's high-water mark
reset (/proc/self/clear_refs), one call, then VmHWM - VmRSS from before the
call. The result the call returns is part of that peak.

Output: results.md, results.png and results.json in --out (bench/ for the
full run, build/bench-quick/ for --quick).
"""
from __future__ import annotations

import argparse
import ctypes
import dataclasses
import datetime
import gc
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
MARKERS = {"nan", "NaN", "<NA>"}
# Seconds of idle time before each timed call (see the timing loop).
IDLE_PAUSE = 0.05
ALPHABET = np.frombuffer(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", dtype=np.uint8)


# --- cases ---------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Case:
    rows: int
    cols: int = 8
    k: int = 1000           # distinct labels per text column; 0: every cell distinct
    lengths: tuple = (8, 16)
    missing: float = 0.0    # share of text cells replaced by NaN
    layout: str = "text"    # "text", or "mixed": columns cycle text, text, float, int
    kind: str = "array"     # "array" (object ndarray), "frame" (object columns), "string"
    threads: bool = False   # also time brindle on a one-thread pool
    decode: bool = False
    memory: tuple = ()      # tools whose peak memory is measured; ("all",) for every one
    repeats: int = 0        # 0: chosen from the size

    @property
    def cells(self):
        return self.rows * self.cols

    @property
    def name(self):
        k = "distinct" if self.k == 0 else f"k={self.k:,}"
        parts = [self.kind, f"{_short(self.rows)}x{self.cols}", k,
                 f"len {self.lengths[0]}-{self.lengths[1]}"]
        if self.missing:
            parts.append(f"{self.missing:.0%} missing")
        if self.layout != "text":
            parts.append(self.layout)
        return " ".join(parts)

    def runs(self, override):
        if override:
            return override
        if self.repeats:
            return self.repeats
        return 11 if self.cells <= 1_000_000 else 5 if self.cells <= 10_000_000 else 3


def _short(n):
    exp = len(str(n)) - 1
    return f"1e{exp}" if n == 10**exp else f"{n:,}"


def quick_cases():
    r = 100_000
    mem = ("brindle", "factorize", "ordinal", "decode_brindle", "decode_take")
    return [
        Case(r, k=1000, threads=True, decode=True, memory=mem, repeats=7),
        Case(r, k=10, decode=True, repeats=5),
        Case(r, cols=2, k=100_000, repeats=3),
        Case(r, k=1000, lengths=(1, 64), missing=0.1, layout="mixed", decode=True, repeats=5),
        Case(r, k=1000, kind="frame", decode=True, repeats=5),
        Case(r, k=1000, kind="string", repeats=3),
    ]


def full_cases():
    m = 1_000_000
    mem = ("brindle", "factorize", "ordinal", "decode_brindle", "decode_take")
    return [
        Case(m, k=1000, threads=True, decode=True, memory=("all",)),
        Case(m, k=10, threads=True, decode=True),
        Case(m, k=100_000, threads=True, decode=True, memory=mem),
        # All-distinct columns cost every tool far more per cell: one column at 1e6
        # rows, eight at 1e5, to stay within the run's budget.
        Case(m, cols=1, k=0, threads=True, decode=True, memory=("all",), repeats=3),
        Case(100_000, k=0, threads=True, repeats=5),
        Case(m, k=1000, lengths=(1, 64), decode=True),
        Case(100_000, k=0, lengths=(1, 64), repeats=5),
        Case(m, k=1000, missing=0.1, decode=True),
        Case(m, k=1000, layout="mixed", threads=True, decode=True),
        Case(m, k=1000, lengths=(1, 64), missing=0.1, layout="mixed"),
        Case(m, k=10, kind="frame", decode=True),
        Case(m, k=1000, kind="frame", threads=True, decode=True, memory=mem),
        Case(m, k=100_000, kind="frame", decode=True),
        Case(m, k=1000, kind="string", decode=True),
        Case(m, k=1000, missing=0.1, layout="mixed", kind="string"),
        Case(100_000, cols=1, k=1000),
        Case(100_000, k=1000, threads=True, decode=True, repeats=21),
        Case(100_000, cols=64, k=1000, threads=True),
        Case(m, cols=1, k=1000, threads=True),
        Case(m, cols=64, k=1000, threads=True, repeats=3),
        Case(10_000_000, k=1000, threads=True, repeats=3),
    ]


# --- data ----------------------------------------------------------------------------

def make_vocab(rng, k, lengths):
    """k distinct random labels with lengths uniform in `lengths`, no marker among them."""
    lo, hi = lengths
    seen = {}
    while len(seen) < k:
        want = int((k - len(seen)) * 1.05) + 16
        sizes = rng.integers(lo, hi + 1, want)
        text = ALPHABET[rng.integers(0, len(ALPHABET), int(sizes.sum()))].tobytes().decode("ascii")
        ends = np.cumsum(sizes)
        for end, size in zip(ends.tolist(), sizes.tolist()):
            seen[text[end - size:end]] = None
        for m in MARKERS:
            seen.pop(m, None)
    vocab = np.empty(k, dtype=object)
    vocab[:] = list(seen)[:k]
    return vocab


def make_input(case, seed=0):
    """The case's input object and the indices of its text columns."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    n = case.rows
    kinds = ["text"] * case.cols
    if case.layout == "mixed":
        kinds = [("text", "text", "float", "int")[c % 4] for c in range(case.cols)]
    vocab = make_vocab(rng, case.k or n, case.lengths)
    columns = []
    for kind in kinds:
        if kind == "text":
            pick = rng.permutation(n) if case.k == 0 else rng.integers(0, case.k, n)
            col = vocab[pick]
            if case.missing:
                col[rng.random(n) < case.missing] = np.nan
        elif kind == "float":
            col = rng.normal(0, 100, n)
        else:
            col = rng.integers(-1000, 1000, n)
        columns.append(col)
    text = [c for c, kind in enumerate(kinds) if kind == "text"]
    names = [f"c{c}" for c in range(case.cols)]
    if case.kind == "array":
        x = np.empty((n, case.cols), dtype=object)
        for c, col in enumerate(columns):
            # Numbers become Python floats and ints, as in an object array read from a file.
            x[:, c] = col if col.dtype == object else col.tolist()
        return x, text
    frame = {}
    for c, col in enumerate(columns):
        if c in text:
            # pandas 3 infers its string dtype from str objects unless told otherwise.
            col = pd.Series(col, dtype=object if case.kind == "frame" else "str")
        frame[names[c]] = col
    return pd.DataFrame(frame, copy=False), text


# --- tools ---------------------------------------------------------------------------
# Each encode tool returns what brindle returns: a float64 matrix of codes with NaN
# for missing, numeric columns passed through, as an ndarray or a DataFrame like the
# input. Each decode tool turns that matrix back into labels.

class Tools:
    def __init__(self, obj, text):
        import pandas as pd

        self.pd = pd
        self.obj = obj
        self.text = text
        self.is_frame = isinstance(obj, pd.DataFrame)
        self.rows, self.cols = obj.shape
        self.numeric = [c for c in range(self.cols) if c not in text]
        if self.is_frame:
            self.columns = [obj.iloc[:, c] for c in range(self.cols)]
        else:
            self.columns = [obj[:, c] for c in range(self.cols)]
        self.polars_frame = None
        self.arrow_columns = None
        self.decode_state = None
        # Encoders a timed call made; the worker drops them after the clock stops, so
        # no call pays for freeing the books of the one before.
        self.kept = []

    # helpers

    def _new_out(self, dtype=np.float64):
        out = np.empty((self.rows, self.cols), dtype=dtype)
        for c in self.numeric:
            out[:, c] = self.columns[c] if dtype == object else np.asarray(self.columns[c], dtype=np.float64)
        return out

    def _wrap(self, out):
        if not self.is_frame:
            return out
        dtype = None if out.dtype == np.float64 else object
        return self.pd.DataFrame(out, columns=self.obj.columns, dtype=dtype, copy=False)

    @staticmethod
    def _put_codes(out, c, codes):
        out[:, c] = codes
        out[codes < 0, c] = np.nan

    # encode

    def brindle(self):
        import brindle

        encoder = brindle.Encoder()
        self.kept.append(encoder)
        return encoder.encode(self.obj)

    def factorize(self):
        out = self._new_out()
        for c in self.text:
            codes, _ = self.pd.factorize(self.columns[c], sort=True)
            self._put_codes(out, c, codes)
        return self._wrap(out)

    def factorize_bare(self):
        # The calls alone, results left as they come: the floor under `factorize`.
        return [self.pd.factorize(self.columns[c], sort=True) for c in self.text]

    def category(self):
        out = self._new_out()
        for c in self.text:
            col = self.columns[c]
            if not self.is_frame:
                col = self.pd.Series(col, copy=False)
            self._put_codes(out, c, col.astype("category").cat.codes.to_numpy())
        return self._wrap(out)

    def ordinal(self):
        from sklearn.preprocessing import OrdinalEncoder

        out = self._new_out()
        if self.is_frame:
            part = self.obj.iloc[:, self.text]
        else:
            part = self.obj if len(self.text) == self.cols else self.obj[:, self.text]
        encoder = OrdinalEncoder()
        self.kept.append(encoder)
        out[:, self.text] = encoder.fit_transform(part)
        return self._wrap(out)

    def _polars_codes(self, frame):
        import polars as pl

        names = frame.columns
        exprs = [pl.col(names[c]).cast(pl.Categorical).to_physical() if c in self.text
                 else pl.col(names[c]).cast(pl.Float64) for c in range(self.cols)]
        # Nulls come out as NaN: to_numpy widens the u32 codes to float64 then.
        out = frame.select(exprs).to_numpy().astype(np.float64, copy=False)
        return self._wrap(out)

    def _to_polars(self):
        import polars as pl
        import pyarrow as pa

        if self.is_frame:
            return pl.from_pandas(self.obj)
        series = []
        for c, col in enumerate(self.columns):
            if c in self.text:
                series.append(pl.Series(f"c{c}", pa.array(col, from_pandas=True)))
            else:
                series.append(pl.Series(f"c{c}", np.asarray(col, dtype=np.float64)))
        return pl.DataFrame(series)

    def polars_convert(self):
        return self._polars_codes(self._to_polars())

    def polars(self):
        return self._polars_codes(self.polars_frame)

    def _arrow_codes(self, arrays):
        out = self._new_out()
        for c, arr in zip(self.text, arrays):
            indices = arr.dictionary_encode().indices
            out[:, c] = indices.to_numpy(zero_copy_only=False)
        return self._wrap(out)

    def _to_arrow(self):
        import pyarrow as pa

        return [pa.array(self.columns[c], from_pandas=True) for c in self.text]

    def pyarrow_convert(self):
        return self._arrow_codes(self._to_arrow())

    def pyarrow(self):
        return self._arrow_codes(self.arrow_columns)

    # decode

    def decode_brindle(self):
        return self.decode_state["brindle"].decode(self.decode_state["codes"])

    def decode_take(self):
        state = self.decode_state
        codes = state["matrix"]
        out = self._new_out(object)
        for c in self.text:
            v = codes[:, c]
            ints = np.where(np.isnan(v), -1, v).astype(np.intp)
            out[:, c] = state["categories"][c].take(ints, allow_fill=True, fill_value=np.nan)
        return self._wrap(out)

    def decode_take_bare(self):
        # Integer codes ready per column, one Index out per column: the floor under
        # `decode_take`, which starts from the float matrix and builds brindle's output.
        state = self.decode_state
        return [state["categories"][c].take(state["ints"][c], allow_fill=True, fill_value=np.nan)
                for c in self.text]

    def decode_inverse(self):
        codes = self.decode_state["matrix"]
        out = self._new_out(object)
        out[:, self.text] = self.decode_state["ordinal"].inverse_transform(codes[:, self.text])
        return self._wrap(out)

    def prepare(self, tool):
        """Untimed set-up a tool needs: data already in polars or arrow, fitted books."""
        if tool == "polars" and self.polars_frame is None:
            self.polars_frame = self._to_polars()
        elif tool == "pyarrow" and self.arrow_columns is None:
            self.arrow_columns = self._to_arrow()
        elif tool.startswith("decode_") and self.decode_state is None:
            self.kept.clear()
            codes = self.brindle()
            categories = {}
            for c in self.text:
                _, uniques = self.pd.factorize(self.columns[c], sort=True)
                # Keep the uniques' own dtype: pandas 3 would turn object uniques into
                # its string dtype, and every take would then build new str objects.
                categories[c] = self.pd.Index(uniques, dtype=uniques.dtype)
            self.ordinal()
            brindle_encoder, ordinal_encoder = self.kept
            self.kept.clear()
            matrix = np.asarray(codes, dtype=np.float64)
            ints = {c: np.where(np.isnan(matrix[:, c]), -1, matrix[:, c]).astype(np.intp) for c in self.text}
            self.decode_state = {"codes": codes, "matrix": matrix, "ints": ints,
                                 "categories": categories, "brindle": brindle_encoder,
                                 "ordinal": ordinal_encoder}


ENCODERS = {
    "brindle": "brindle",
    "factorize": "pandas factorize(sort=True)",
    "factorize_bare": "pandas factorize(sort=True), calls only",
    "category": "pandas astype('category')",
    "ordinal": "sklearn OrdinalEncoder.fit_transform",
    "polars_convert": "polars Categorical (unsorted), from pandas/numpy",
    "polars": "polars Categorical (unsorted), data in polars",
    "pyarrow_convert": "pyarrow dictionary_encode (unsorted), from pandas/numpy",
    "pyarrow": "pyarrow dictionary_encode (unsorted), data in arrow",
}
DECODERS = {
    "decode_brindle": "brindle decode",
    "decode_take": "pandas categories.take(codes)",
    "decode_take_bare": "pandas categories.take(codes), calls only",
    "decode_inverse": "sklearn OrdinalEncoder.inverse_transform",
}
SORTED_PEERS = {"factorize", "category", "ordinal"}


def tools_for(case):
    names = list(ENCODERS)
    if case.decode:
        names += list(DECODERS)
    return names


# --- checks --------------------------------------------------------------------------

def check(tools, tool, result, reference):
    """'ok', or what differs. Sorted peers must equal brindle exactly; unsorted peers
    must mark the same cells missing and find as many labels per column."""
    if tool == "brindle" or tool.endswith("_bare"):
        return "ok"
    if tool.startswith("decode_"):
        if tool == "decode_brindle":
            return "ok"
        got, want = np.asarray(result, dtype=object), np.asarray(reference, dtype=object)
        codes = tools.decode_state["matrix"]
        for c in tools.text:
            keep = ~np.isnan(codes[:, c])
            if not np.array_equal(got[keep, c], want[keep, c]):
                return f"labels differ in column {c}"
        return "ok"
    got, want = np.asarray(result, dtype=np.float64), np.asarray(reference, dtype=np.float64)
    if got.shape != want.shape:
        return f"shape {got.shape} != {want.shape}"
    if tool in SORTED_PEERS:
        return "ok" if np.array_equal(got, want, equal_nan=True) else "codes differ"
    if not np.array_equal(np.isnan(got), np.isnan(want)):
        return "missing cells differ"
    for c in tools.text:
        a, b = got[:, c], want[:, c]
        if len(np.unique(a[~np.isnan(a)])) != len(np.unique(b[~np.isnan(b)])):
            return f"label count differs in column {c}"
    return "ok (unsorted)"


# --- worker --------------------------------------------------------------------------

def _status_kib(key):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1))


def _trim():
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def worker_main():
    # Replies go through a private copy of stdout; anything a library prints lands on stderr.
    reply = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    import pandas  # noqa: F401  (loaded before any timing)

    state = {}
    for line in sys.stdin:
        msg = json.loads(line)
        op = msg["op"]
        try:
            if op == "setup":
                case = Case(**{**msg["case"], "lengths": tuple(msg["case"]["lengths"])})
                if msg.get("warm"):
                    # Load every lazy import and start every pool on a small sample, so
                    # the measured call allocates only for its own work.
                    small = dataclasses.replace(case, rows=min(case.rows, 2000))
                    t = Tools(*make_input(small))
                    for tool in msg["tools"]:
                        t.prepare(tool)
                        getattr(t, tool)()
                    del t
                    _trim()
                obj, text = make_input(case)
                tools = Tools(obj, text)
                for tool in msg["tools"]:
                    tools.prepare(tool)
                state = {"tools": tools, "checked": {}, "reference": None}
                _trim()
                answer = {"ok": True}
            elif op == "time":
                tools, tool = state["tools"], msg["tool"]
                fn = getattr(tools, tool)
                gc.collect()
                gc.disable()
                t0 = time.perf_counter()
                result = fn()
                elapsed = time.perf_counter() - t0
                gc.enable()
                answer = {"ok": True, "seconds": elapsed}
                if tool not in state["checked"]:
                    if tool in ("brindle", "decode_brindle"):
                        state["reference" if tool == "brindle" else "decoded"] = result
                    ref = state.get("decoded") if tool.startswith("decode_") else state["reference"]
                    state["checked"][tool] = check(tools, tool, result, ref) if ref is not None else "unchecked"
                    answer["check"] = state["checked"][tool]
                del result
                tools.kept.clear()
            elif op == "memory":
                tools = state["tools"]
                fn = getattr(tools, msg["tool"])
                gc.disable()
                before = _status_kib("VmRSS")
                with open("/proc/self/clear_refs", "w") as f:
                    f.write("5")
                result = fn()
                peak = _status_kib("VmHWM")
                gc.enable()
                del result
                tools.kept.clear()
                answer = {"ok": True, "extra_bytes": max(0, peak - before) * 1024}
            elif op == "quit":
                break
            else:
                answer = {"ok": False, "error": f"unknown op {op}"}
        except Exception as e:  # reported to the parent, which records it and goes on
            gc.enable()
            answer = {"ok": False, "error": f"{type(e).__name__}: {e}"}
        reply.write(json.dumps(answer) + "\n")


class Worker:
    def __init__(self, threads):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        self.proc = subprocess.Popen([sys.executable, __file__, "--worker"], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, **msg):
        self.proc.stdin.write(json.dumps(msg) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"worker died (exit {self.proc.wait()})")
        return json.loads(line)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.ask(op="quit")
            except (BrokenPipeError, RuntimeError):
                pass
        self.proc.wait()


# --- runs ----------------------------------------------------------------------------

def log(msg):
    print(f"[peers {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def run_case(case, repeat_override):
    tools = tools_for(case)
    runs = case.runs(repeat_override)
    record = {"case": dataclasses.asdict(case), "name": case.name, "runs": runs,
              "times": {t: [] for t in tools}, "checks": {}, "errors": {}, "memory": {}}
    main = Worker(2)
    single = Worker(1) if case.threads else None
    try:
        setup = main.ask(op="setup", case=record["case"], tools=tools)
        if not setup["ok"]:
            record["errors"]["setup"] = setup["error"]
            return record
        if single:
            ok = single.ask(op="setup", case=record["case"], tools=["brindle"])
            record["times"]["brindle_1"] = []
            if not ok["ok"]:
                record["errors"]["brindle_1"] = ok["error"]
                single.close()
                single = None
        for r in range(runs):
            order = tools[r % len(tools):] + tools[:r % len(tools)]
            for tool in order:
                if tool in record["errors"]:
                    continue
                # A pool that just finished (brindle's, polars', pyarrow's) keeps
                # its threads spinning for a moment; let them go idle first.
                time.sleep(IDLE_PAUSE)
                answer = main.ask(op="time", tool=tool)
                if not answer["ok"]:
                    record["errors"][tool] = answer["error"]
                    continue
                record["times"][tool].append(answer["seconds"])
                if "check" in answer:
                    record["checks"][tool] = answer["check"]
                # The one-thread pool runs right after brindle on two, so each pair
                # sees the same moment of the machine.
                if tool == "brindle" and single:
                    time.sleep(IDLE_PAUSE)
                    one = single.ask(op="time", tool="brindle")
                    if one["ok"]:
                        record["times"]["brindle_1"].append(one["seconds"])
    finally:
        main.close()
        if single:
            single.close()
    if case.memory:
        measured = [t for t in tools if not t.endswith("_bare")] if case.memory == ("all",) else case.memory
        for tool in measured:
            w = Worker(2)
            try:
                ok = w.ask(op="setup", case=record["case"], tools=[tool], warm=True)
                answer = w.ask(op="memory", tool=tool) if ok["ok"] else ok
            finally:
                w.close()
            if answer["ok"]:
                record["memory"][tool] = answer["extra_bytes"]
            else:
                record["errors"][f"memory {tool}"] = answer["error"]
    return record


def summarise(record):
    """Median times, and medians of the per-round ratios peer / brindle."""
    times = record["times"]
    out = {"median": {t: statistics.median(v) for t, v in times.items() if v}, "ratio": {}}
    for tool, values in times.items():
        base = times["brindle"] if tool in ENCODERS or tool == "brindle_1" else times.get("decode_brindle", [])
        pairs = [v / b for v, b in zip(values, base) if b > 0]
        if pairs and tool not in ("brindle", "decode_brindle"):
            out["ratio"][tool] = statistics.median(pairs)
    return out


# --- report --------------------------------------------------------------------------

def environment():
    import importlib.metadata as md

    versions = {}
    for name in ("numpy", "pandas", "scikit-learn", "polars", "pyarrow", "matplotlib"):
        try:
            versions[name] = md.version(name)
        except md.PackageNotFoundError:
            versions[name] = "missing"
    try:
        git = ["git", "-C", str(ROOT)]
        commit = subprocess.run(git + ["rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
        # The build takes the work tree as it is: say so when it is not the commit.
        if subprocess.run(git + ["status", "--porcelain", "src", "CMakeLists.txt", "pyproject.toml"],
                          capture_output=True, text=True).stdout.strip():
            commit += " with uncommitted changes in src/ or the build files"
    except OSError:
        commit = "?"
    cpu = "?"
    try:
        cpu = re.search(r"model name\s*:\s*(.*)", Path("/proc/cpuinfo").read_text()).group(1)
    except (OSError, AttributeError):
        pass
    env = {k: v for k, v in os.environ.items()
           if k.startswith(("OPENBLAS", "OMP_", "POLARS_", "RAYON_"))}
    try:
        import hashlib
        import importlib.util

        module = importlib.util.find_spec("brindle").origin
        digest = hashlib.sha256(Path(module).read_bytes()).hexdigest()[:12]
        versions["brindle"] = f"{commit} (module {digest})"
    except (AttributeError, OSError):
        versions["brindle"] = "missing"
    return {"python": platform.python_version(), "versions": versions, "commit": commit,
            "cpu": cpu, "cpus": os.cpu_count(), "env": env,
            "date": datetime.datetime.now().isoformat(timespec="minutes")}


def fmt_s(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def fmt_x(ratio):
    return "–" if ratio is None else f"{ratio:.1f}x" if ratio < 10 else f"{ratio:.0f}x"


def targets(records):
    """The release targets, each as (what, measured, needed, met)."""
    by = {r["name"]: r for r in records}
    rows = []

    def ratio(name, tool):
        r = by.get(name)
        return r and r["summary"]["ratio"].get(tool)

    base = Case(1_000_000, k=1000).name
    for name, tool, need in [
        (base, "factorize", 4), (base, "ordinal", 15),
        (Case(1_000_000, k=10).name, "factorize", 3),
        (Case(1_000_000, k=100_000).name, "factorize", 3),
        (Case(1_000_000, k=10, kind="frame").name, "factorize", 3),
        (Case(1_000_000, k=1000, kind="frame").name, "factorize", 3),
        (Case(1_000_000, k=100_000, kind="frame").name, "factorize", 3),
        (base, "decode_take", 1.5), (base, "decode_inverse", 2),
    ]:
        got = ratio(name, tool)
        what = "decode" if tool.startswith("decode_") else "encode"
        label = ENCODERS.get(tool) or DECODERS[tool]
        bare = ratio(name, tool + "_bare")
        if bare is not None:
            label += f" (calls only: {bare:.2f}x)"
        rows.append((f"{what} {name}: vs {label}", got, f">= {need}x",
                     None if got is None else got >= need))
    small, large = by.get(Case(100_000, k=1000).name), by.get(Case(10_000_000, k=1000).name)
    if small and large:
        per = lambda r: r["summary"]["median"]["brindle"] / r["case"]["rows"]
        got = per(large) / per(small)
        rows.append(("encode cost per cell, 1e7 / 1e5 rows (8 cols, k=1,000)", got, "<= 1.3x", got <= 1.3))
    got = ratio(base, "brindle_1")
    rows.append((f"encode {base}: 1 -> 2 threads", got, ">= 1.6x", None if got is None else got >= 1.6))
    for name in (base, Case(1_000_000, k=100_000).name, Case(1_000_000, cols=1, k=0).name,
                 Case(1_000_000, k=1000, kind="frame").name):
        r = by.get(name)
        if r and "brindle" in r["memory"]:
            got, budget = r["memory"]["brindle"], memory_budget(r)
            rows.append((f"encode {name}: peak extra memory", got, f"<= {budget / 2**20:.0f} MiB",
                         got <= budget))
    return rows


def memory_budget(record):
    c = record["case"]
    text_cols = sum(1 for i in range(c["cols"]) if c["layout"] == "text" or i % 4 < 2)
    distinct = c["rows"] if c["k"] == 0 else min(c["k"], c["rows"])
    return c["rows"] * c["cols"] * 16 + 64 * distinct * text_cols


def write_markdown(path, records, env, mode):
    load = env["load"]
    lines = [f"# brindle beside its peers ({mode} run)", ""]
    lines += [
        f"{env['date']}, commit {env['commit']}, {env['cpus']} CPUs ({env['cpu']}), "
        f"Python {env['python']}, " + ", ".join(f"{k} {v}" for k, v in env["versions"].items()) + ".",
        f"Load average before / after: {load[0]} / {load[1]}. Environment: "
        + (", ".join(f"{k}={v}" for k, v in env["env"].items()) or "no thread or BLAS variables set") + ".",
    ] + [f"Merged: {m}." for m in env.get("merged", [])] + [
        "",
        "Times are medians of the rounds; a ratio is peer time / brindle time, the median of "
        "the per-round ratios (higher: brindle faster). brindle runs on a two-thread pool; "
        "`1->2 thr` is its one-thread time over its two-thread time. Every peer produces the "
        "same float64 matrix as brindle (codes, NaN for missing, numbers passed through). "
        "polars' Categorical and pyarrow's dictionary_encode number labels in order of first "
        "appearance, not sorted: they do less work and are a speed reference, not a substitute.",
        "",
        "`load` is the one-minute load average at the start and the end of a case. On two "
        "cores anything above 1 means other work took turns with the bench; brindle's "
        "two-thread pool loses more to that than the single-threaded peers, since one "
        "descheduled worker holds up the whole call.",
        "",
        "## Targets", "",
        "| target | measured | needed | met |", "|---|---|---|---|",
    ]
    for what, got, need, met in targets(records):
        if got is None:
            shown = "not run"
        elif "memory" in what:
            shown = f"{got / 2**20:.0f} MiB"
        else:
            shown = f"{got:.2f}x"
        lines.append(f"| {what} | {shown} | {need} | {'–' if met is None else 'yes' if met else '**no**'} |")

    enc_peers = [t for t in ENCODERS if t != "brindle"]
    short = {"factorize": "factorize", "factorize_bare": "factorize calls", "category": "category", "ordinal": "Ordinal",
             "polars_convert": "polars+conv", "polars": "polars", "pyarrow_convert": "arrow+conv",
             "pyarrow": "arrow"}
    lines += ["", "## Encode", "",
              "| case | load | runs | brindle | ns/cell | 1->2 thr | " + " | ".join(short[t] for t in enc_peers) + " |",
              "|---|---|---|---|---|---|" + "---|" * len(enc_peers)]
    for r in records:
        s = r["summary"]
        if "brindle" not in s["median"]:
            lines.append(f"| {r['name']} | {r.get('load', '?')} | – | failed: {r['errors']} |")
            continue
        b = s["median"]["brindle"]
        cells = [fmt_x(s["ratio"].get(t)) for t in enc_peers]
        lines.append(f"| {r['name']} | {r.get('load', '?')} | {r['runs']} | {fmt_s(b)} | {b / (r['case']['rows'] * r['case']['cols']) * 1e9:.0f} | "
                     f"{fmt_x(s['ratio'].get('brindle_1'))} | " + " | ".join(cells) + " |")

    dec = [r for r in records if "decode_brindle" in r["summary"]["median"]]
    if dec:
        lines += ["", "## Decode", "", "| case | brindle | take | take calls | inverse_transform |",
                  "|---|---|---|---|---|"]
        for r in dec:
            s = r["summary"]
            lines.append(f"| {r['name']} | {fmt_s(s['median']['decode_brindle'])} | "
                         + " | ".join(fmt_x(s["ratio"].get(t)) for t in ("decode_take", "decode_take_bare", "decode_inverse"))
                         + " |")

    mem = [r for r in records if r["memory"]]
    if mem:
        tools = [t for t in list(ENCODERS) + list(DECODERS) if any(t in r["memory"] for r in mem)]
        lines += ["", "## Peak extra memory (MiB)", "",
                  "Resident set of a fresh worker, one call, after the data is built. Budget: "
                  "float64 result + the input's pointer array + 64 bytes per distinct label.", "",
                  "| case | budget | " + " | ".join(tools) + " |", "|---|---|" + "---|" * len(tools)]
        for r in mem:
            cells = [f"{r['memory'][t] / 2**20:.0f}" if t in r["memory"] else "–" for t in tools]
            lines.append(f"| {r['name']} | {memory_budget(r) / 2**20:.0f} | " + " | ".join(cells) + " |")

    checks = sorted({(t, c) for r in records for t, c in r["checks"].items() if not c.startswith("ok")})
    errors = [(r["name"], k, v) for r in records for k, v in r["errors"].items()]
    lines += ["", "## Checks", ""]
    if not checks:
        lines.append("Sorted peers gave exactly brindle's codes in every case; unsorted peers "
                     "marked the same cells missing and found as many labels; decoders gave the same labels.")
    for t, c in checks:
        lines.append(f"- {t}: {c}")
    for name, k, v in errors:
        lines.append(f"- {name}, {k}: {v}")
    lines += ["", "Tools: " + "; ".join(f"`{k}` {v}" for k, v in {**ENCODERS, **DECODERS}.items()) + "."]
    path.write_text("\n".join(lines) + "\n")


def write_plot(path, records):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    enc = [r for r in records if "brindle" in r["summary"]["median"]]
    dec = [r for r in records if "decode_brindle" in r["summary"]["median"]]
    series = [(axis, tool) for axis, tools in ((0, ["factorize", "category", "ordinal", "polars", "pyarrow"]),
                                               (1, ["decode_take", "decode_inverse"])) for tool in tools]
    height_in = 0.42 * max(len(enc), 3) + 2.6
    fig, axes = plt.subplots(1, 2, figsize=(15, height_in), gridspec_kw={"width_ratios": [3, 1.4]})
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for axis, (ax, rows, title) in enumerate(((axes[0], enc, "encode"), (axes[1], dec, "decode"))):
        tools = [t for a, t in series if a == axis]
        bar = 0.8 / len(tools)
        for i, tool in enumerate(tools):
            ax.barh([j + i * bar for j in range(len(rows))],
                    [r["summary"]["ratio"].get(tool, 0) for r in rows], height=bar,
                    color=colours[[t for _, t in series].index(tool)],
                    label=ENCODERS.get(tool) or DECODERS[tool])
        ax.set_yticks([j + 0.4 - bar / 2 for j in range(len(rows))], [r["name"] for r in rows], fontsize=8)
        ax.set_ylim(len(rows) - bar / 2 + 0.1, -bar / 2 - 0.1)
        ax.set_xscale("log")
        ticks = [0.05, 0.1, 0.2, 0.5, 1, 2, 3, 5, 10, 20, 50, 100]
        ax.xaxis.set_major_locator(matplotlib.ticker.FixedLocator(ticks))
        ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
        ax.axvline(1, color="black", lw=1)
        ax.grid(axis="x", alpha=0.3)
        ax.set_title(title)
    axes[0].set_xlabel("peer time / brindle time (log; right of the line: brindle faster)")
    axes[1].set_xlabel("peer time / brindle time (log)")
    handles = [h for ax in axes for h in ax.get_legend_handles_labels()[0]]
    labels = [lab for ax in axes for lab in ax.get_legend_handles_labels()[1]]
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize=8)
    fig.suptitle("brindle beside its peers: same data, same process, brindle on 2 threads "
                 "(median of per-round ratios)")
    fig.tight_layout(rect=(0, 0.5 / height_in, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small cases, under two minutes")
    ap.add_argument("--only", action="append",
                    help="run only the cases whose name contains this text (repeatable)")
    ap.add_argument("--out", type=Path, help="where results.* go")
    ap.add_argument("--repeat", type=int, default=0, help="rounds per case (default: by size)")
    ap.add_argument("--merge", action="store_true",
                    help="replace only the cases run now in the results already in --out "
                         "(same module build only)")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker_main()

    mode = "quick" if args.quick else "full"
    out = args.out or (ROOT / "build" / "bench-quick" if args.quick else HERE)
    out.mkdir(parents=True, exist_ok=True)
    cases = quick_cases() if args.quick else full_cases()
    if args.only:
        cases = [c for c in cases if any(text in c.name for text in args.only)]
    env = environment()
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    previous = None
    if args.merge:
        previous = json.loads((out / "results.json").read_text())
        def module(e):
            return re.search(r"module (\w+)", e["versions"].get("brindle", "")).group(1)

        if module(previous["env"]) != module(env):
            sys.exit(f"peers.py: --merge needs the same build: {out / 'results.json'} has "
                     f"{previous['env']['versions'].get('brindle')}, this run {env['versions'].get('brindle')}")
        mode = previous["mode"]
    started = time.perf_counter()
    records = []
    for i, case in enumerate(cases, 1):
        load = os.getloadavg()[0]
        log(f"{i}/{len(cases)} {case.name} (load {load:.2f})")
        record = run_case(case, args.repeat)
        record["summary"] = summarise(record)
        record["load"] = f"{load:.1f}-{os.getloadavg()[0]:.1f}"
        record["time"] = time.strftime("%H:%M")
        records.append(record)
        s = record["summary"]
        if "brindle" in s["median"]:
            log("   brindle " + fmt_s(s["median"]["brindle"]) + "; "
                + ", ".join(f"{t} {fmt_x(v)}" for t, v in s["ratio"].items()))
        for k, v in record["errors"].items():
            log(f"   error in {k}: {v}")
    load_after = " ".join(f"{x:.2f}" for x in os.getloadavg())
    env["elapsed_s"] = round(time.perf_counter() - started)
    if previous:
        fresh = {r["name"]: r for r in records}
        kept = [fresh.pop(r["name"], r) for r in previous["records"]]
        records = kept + list(fresh.values())
        env["merged"] = previous["env"].get("merged", []) + [
            f"{env['date']}: {', '.join(c.name for c in cases)} re-measured (load {load_before} / {load_after})"]
        load_before, load_after = previous["env"]["load"]
        env["date"] = previous["env"]["date"]
    env["load"] = (load_before, load_after)
    (out / "results.json").write_text(json.dumps({"mode": mode, "env": env, "records": records}, indent=1))
    write_markdown(out / "results.md", records, env, mode)
    write_plot(out / "results.png", records)
    log(f"done in {env['elapsed_s']} s: {out / 'results.md'}, {out / 'results.png'}")


if __name__ == "__main__":
    main()
